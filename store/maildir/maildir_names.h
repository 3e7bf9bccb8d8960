// The names of the Maildir store: how a folder path of a mailbox URL becomes a Maildir++
// directory, and how a message file name splits into the item name, the fields Dovecot reads
// and the flags. Pure functions, no file access.
//
// Folders (Maildir++, as Dovecot lays it out by default): the mailbox's Maildir is INBOX
// itself; every other folder is a directory directly in it, named "." and the folder path with
// "." between the levels, each level in IMAP's modified UTF-7 (RFC 3501 5.1.3). Children of
// INBOX live under "INBOX": ".INBOX.Projects". A level therefore cannot hold a ".", and a
// top-level folder cannot be called INBOX in any case but the URL's own "Inbox".
//
// Message files: "<base>" in new/, "<base>:2,<flags>" in cur/, where Dovecot may append
// ",<fields>" after the flags. The base starts with the item name (the URL's last segment)
// and may go on with ",<field>" parts (Dovecot reads ",S=<size>" and ",W=<vsize>"), so the
// item name ends at the first "," or ":" and survives every rename: Dovecot keeps the base
// when it changes flags and when it copies or moves a message between folders.
#ifndef CORVALITH_STORE_MAILDIR_MAILDIR_NAMES_H_
#define CORVALITH_STORE_MAILDIR_MAILDIR_NAMES_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvalith::store::maildir {

// Longest name a directory entry can have on the file systems a Maildir lives on.
inline constexpr size_t kMaxFileNameBytes = 255;
// An item name leaves room in the file name for the fields and flags the store adds.
inline constexpr size_t kMaxItemNameBytes = 160;

// Modified UTF-7 of valid UTF-8 text; nullopt for text that is not valid UTF-8.
std::optional<std::string> EncodeMailboxName(std::string_view utf8);
// The UTF-8 text of a modified UTF-7 name; nullopt unless the name is exactly what
// EncodeMailboxName would write for it, so that every directory has one folder name.
std::optional<std::string> DecodeMailboxName(std::string_view encoded);

// A folder path below the mailbox root, one string per level ({"Junk E-mail"},
// {"Inbox", "Projects"}); the empty path is the mailbox root.
using FolderPath = std::vector<std::string>;

// The directory of a folder relative to the Maildir: "" for Inbox, ".Junk E-mail",
// ".INBOX.Projects". nullopt for the root and for a path this layout cannot hold (an empty
// level, a level with "." or a control character, text that is not UTF-8, a top-level INBOX
// spelt otherwise than "Inbox", a directory name over kMaxFileNameBytes).
std::optional<std::string> FolderDirectory(const FolderPath& path);
// The folder path of a directory entry of the Maildir; nullopt for anything that is not a
// folder directory as FolderDirectory writes it (dot-files Dovecot keeps there included).
std::optional<FolderPath> FolderOfDirectory(std::string_view name);

// A message file name taken apart; the views point into the name.
struct MessageFileName {
  std::string_view item;    // up to the first "," or ":"
  std::string_view base;    // up to ":" (the item name and its fields)
  std::string_view flags;   // the letters after ":2,"; "" without an info part
  std::string_view fields;  // Dovecot's ",…" after the flags, kept as they are
  bool has_info;            // the name has ":2,"
};
// nullopt for a name that is no message: a dot-file, an empty item name, a control
// character, an info part other than ":2," followed by letters.
std::optional<MessageFileName> ParseMessageFileName(std::string_view name);

// Whether a message file name can start with this item name: not empty, no leading ".", no
// "/", ":" or "," and no control character. The store gives new items names of at most
// kMaxItemNameBytes.
bool IsItemName(std::string_view name);

// The file name of a message: "<base>:2,<flags><fields>" with an info part, else the base.
std::string MessageFileNameOf(std::string_view base, std::string_view flags,
                              std::string_view fields, bool with_info);

// Sorted, without duplicates, as the Maildir convention wants the flags written.
std::string SortedFlags(std::string_view letters);

}  // namespace corvalith::store::maildir

#endif  // CORVALITH_STORE_MAILDIR_MAILDIR_NAMES_H_
