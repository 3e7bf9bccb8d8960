// Finding an item's message file by its name without reading its folder: the mailbox's
// property table (maildir_properties.h) keeps, for every file the store puts into a folder,
// the file's name, written before the file arrives there. A lookup stats the file a row names
// and reads the folder (new/ then cur/, one entry at a time) only when the item has no row or
// its row is stale.
//
// A row is a hint: Dovecot renames a file when its flags change, and moves and expunges
// messages, without telling the store; a lookup that finds the named file gone looks for the
// item as if there were no row and, having found it, points the row at it (for a name the
// index knows), so that a message Dovecot renamed or moved costs one read of its folder, not
// one on every later lookup. The index's silence is believed only where the caller expects
// the name to be free (a new item, the target of a move, a retried delivery): every file the
// store puts into a folder has its row first, and the names the host gives out are never given
// out again, so a name the index does not know in any folder is no message the store stored in
// the last kFileRowDays. A copy Dovecot made of one of them keeps the name, and its original's
// row sends the lookup to the folders.
#ifndef CORVALITH_STORE_MAILDIR_MAILDIR_INDEX_H_
#define CORVALITH_STORE_MAILDIR_MAILDIR_INDEX_H_

#include <chrono>
#include <optional>
#include <string>

#include "store/maildir/maildir_layout.h"
#include "store/maildir/maildir_properties.h"

namespace corvalith::store::maildir {

PropertyOwner OwnerOf(const Place& place);
// A file as its row names it.
std::string FileRowText(const MessageFile& file);

// What a lookup expects to find, so that it looks the cheaper way first.
enum class Expect { kPresent, kMissing };

// The file of the item in its folder; `table` is the item's mailbox's. Without a row that
// names an existing file, the folder is read, at once under its lock when the name is expected
// to be free, else first without it and then, when that found nothing (a rename by Dovecot
// during the read may have hidden the file), under it. kMissing answers nullopt at once for a
// name without any row. REQUIRES: the item's folder exists.
std::optional<MessageFile> LocateItem(const Layout& layout, PropertyTable& table, const Place& item,
                                      Expect expect, std::chrono::milliseconds lock_timeout);

// The item named `item_name` in any folder of the mailbox whose root is `root`, as a retried
// delivery looks for an earlier try: nullopt at once for a name without any row. A stale row
// sends the lookup through the folder it names, then through every folder (without their locks:
// a message Dovecot renames at that moment may be missed).
std::optional<Place> LocateInMailbox(const Layout& layout, PropertyTable& table, const Place& root,
                                     const std::string& item_name);

}  // namespace corvalith::store::maildir

#endif  // CORVALITH_STORE_MAILDIR_MAILDIR_INDEX_H_
