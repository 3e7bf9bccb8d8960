// The Maildir mailbox store: the record interface of the in-memory and SQLite stores
// (store_session.h) over Maildir++ mailboxes laid out as Dovecot reads them, so that Dovecot
// serves the mail the filter sorted and the filter learns from the moves Dovecot makes for
// IMAP clients. URLs and folder names stay those of the filter; maildir_layout.h maps them to
// directories (<root>/<domain>/<user>/Maildir, ".Junk E-mail", …) and maildir_names.h to
// file names (the item name is the start of the file name, up to "," or ":", and survives
// every rename).
//
// Properties, by where they live:
//  - derived from the message file (store/message_import.h): from, subject, the header block, the
//    plain and HTML bodies, and the sender address type ("SMTP": everything here arrived by
//    mail). A value written for one of them that equals the derived value is not stored.
//  - Dovecot keywords in the file name, which survive a move Dovecot makes (it copies the
//    keywords and maps their letters through the destination's dovecot-keywords):
//      mail marker "urn:schemas:mailheader:X-Corvalith" 2 (SPAM)  Corvalith-Spam + $Junk
//                                                       1 (HAM)   Corvalith-Ham + $NotJunk
//                                                       0, empty  neither Corvalith keyword
//      hidden flag proptag x67aa000b true                          Corvalith-Hidden
//    $Junk and $NotJunk, the registered IMAP keywords, show the verdict to mail clients; the
//    marker reads only the Corvalith keywords, since a client may set $Junk on its own. The
//    marker reads back as a 32-bit integer (0 as a missing property), the hidden flag as true
//    or missing; the marker takes 0, 1 or 2, the hidden flag a Boolean.
//    A folder has 26 keyword letters. When none is left for a Corvalith keyword, the file goes
//    without it and the value is kept in the property table instead, as any other property
//    is (for $Junk and $NotJunk, nothing is kept). Such a row, where there is one, is the
//    value: the store removes it whenever it writes the value into keywords again (it does so
//    with the next change of the item that has a letter free), so the two disagree only when
//    something else changed the keywords. Like every row, it follows the store's moves only.
//  - everything else (folder properties, other item properties): the mailbox's property table
//    (maildir_properties.h), keyed by folder path and item name. It follows the store's own
//    moves, not Dovecot's.
//
// Writing, the Maildir way (maildir_control.h for Dovecot's locks):
//  - A message is written into the folder's tmp/, flushed, and renamed into new/ (into cur/
//    with its keywords when it has any); the directory is flushed after the rename. Message
//    files are never changed: new content is a new file under a new name (",S=<size>,C=<unique
//    token>" follow the item name), and the old file goes.
//  - Changing keywords renames the file into cur/ (from new/ or within cur/); a move renames it
//    into the other folder's cur/, keeping its flags and mapping its keyword letters to the
//    destination's. The base of the name stays (unless the move renames the item), so that
//    Dovecot keeps the message's UID when its keywords change.
//    Both happen under the source folder's dovecot-uidlist.lock, as does removing a file, so
//    that a Dovecot scanning the folder never misses a message. New keyword names go into
//    the destination's dovecot-keywords (under that folder's lock) before a file uses them.
//    A keyword of someone else's that gets no letter in the destination fails the move
//    (kStorageFault): leaving it out would take a mail client's label off the message.
//  - A transaction keeps new messages in tmp/ and every other change in the session until
//    CommitTrans, which applies them item by item; RollbackTrans removes the files in tmp/.
//    For each item, the property table is written first (the item's rows and the index row
//    of its new file) and the rename that puts the file in place comes last: the rename is
//    the commit point. When it fails, or the directory cannot be flushed after it, the rows
//    are put back (and the file taken back), so that a failed commit never leaves the
//    message in the folder and nobody sees a message without its properties. A failed
//    commit may have applied the changes of the items before the one that failed. Folders
//    are created at once, outside any transaction.
//
// Reading: an item's file is found by name through the mailbox's index (maildir_index.h): the
// file the store last put it in, checked with one stat. Without a row, or when Dovecot has
// renamed, moved or expunged the file since, the folder is read (new/, then cur/, one entry
// at a time, however many it holds) without a lock, and when nothing is found, once more under
// the folder's lock, since a rename by Dovecot during the read may have hidden it. A file that
// vanishes between the lookup and the read is looked up again. Reads are bounded (message
// size, the entries of directories that hold mailboxes and folders, control file sizes:
// maildir_layout.h, maildir_control.cc).
//
// Not supported: moves between mailboxes and items directly in the mailbox root (kRefused);
// folder names with "." (kBadArgument); dovecot control files moved by mail_control_path.
//
// Relied on: Dovecot's documentation of its Maildir format (the Maildir++ layout and INBOX in
// the Maildir root, file name extensions, dovecot-keywords, dovecot-uidlist and its lock, why
// Dovecot locks while scanning, what a delivering program needs), the Maildir delivery
// protocol it quotes, IMAP's modified UTF-7 for mailbox names, and Dovecot's dotlock rules for
// a lock's owner and staleness.
//
// Thread-safe: the store keeps no state of its own; each connection (with its records) is
// used by one thread at a time. A connection remembers every item it has looked at, content
// included, until it goes, and copies what it remembers at each BeginTrans: a long-lived user
// opens a new one every few transactions. Any number of processes and a running Dovecot may share it.
#ifndef CORVALITH_STORE_MAILDIR_MAILDIR_STORE_H_
#define CORVALITH_STORE_MAILDIR_MAILDIR_STORE_H_

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/variant.h"
#include "store/store.h"

namespace corvalith::store {

namespace maildir {
class Layout;
struct MessageFile;
struct Place;
}  // namespace maildir

inline constexpr char kSpamKeyword[] = "Corvalith-Spam";
inline constexpr char kHamKeyword[] = "Corvalith-Ham";
inline constexpr char kHiddenKeyword[] = "Corvalith-Hidden";
inline constexpr char kJunkKeyword[] = "$Junk";
inline constexpr char kNotJunkKeyword[] = "$NotJunk";

struct MaildirOptions {
  // How long to wait for a folder's lock held by Dovecot (or another writer) before failing
  // with kBusy. Dovecot itself waits up to two minutes; a delivery can be retried sooner.
  std::chrono::milliseconds lock_timeout{30000};
};

class MaildirStore : public Store {
 public:
  // The store under `root`, which is created with the first mailbox. Stream::LoadFromFile
  // reads through `files`, which must outlive the store.
  MaildirStore(std::string root, FileSystem& files, MaildirOptions options = {});
  MaildirStore(const MaildirStore&) = delete;
  MaildirStore& operator=(const MaildirStore&) = delete;

  // The connection may outlive the store object.
  std::unique_ptr<Connection> Connect() override;

  void CreateFolder(const std::string& url) override;
  void PutItem(const std::string& url, const std::map<std::string, Variant>& properties,
               const std::string& content = "") override;
  bool Exists(const std::string& url) const override;
  std::optional<Variant> Property(const std::string& url, const std::string& name) const override;
  std::string Content(const std::string& url) const override;
  std::vector<std::string> Children(const std::string& folder_url) const override;
  // Item counts and listings take each folder's lock in turn, as Children does.
  std::vector<FolderInfo> Folders(const std::string& mailbox_root) const override;
  // The mailboxes are the <domain>/<user> directories of the root that hold a Maildir.
  std::vector<std::string> Mailboxes() const override;
  std::optional<ItemInfo> FindItem(const std::string& url) const override;
  std::vector<ItemInfo> Items(const std::string& folder_url) const override;
  // Through the mailbox's index: nullopt at once for a name the store has not put into any
  // folder in the last kFileRowDays. When Dovecot has renamed, moved or expunged the file
  // since, looks through the folders without their locks: new/ before cur/, so that a message
  // Dovecot moves from one to the other meanwhile is seen; one that Dovecot renames within
  // cur/ at that moment (a flag change) may be missed.
  std::optional<std::string> FindItemInMailbox(const std::string& mailbox_root,
                                               const std::string& item_name) const override;

  // A removed mailbox's directory <root>/<domain>/<user> (its Maildir and property table) is
  // renamed to <root>/<domain>/.removed-<user>, which the store never takes for a mailbox and
  // Dovecot's mail location never names; restoring renames it back. Deleting removes the
  // directories without following a symbolic link out of them.
  std::string SetMailboxAside(const std::string& mailbox_root) override;
  std::vector<std::string> MailboxesSetAside() const override;
  void RestoreMailbox(const std::string& mailbox_root) override;
  bool DeleteMailbox(const std::string& mailbox_root) override;

  // <root>/<domain>/<user>/Maildir: what Dovecot's mail location must name.
  std::string MaildirPath(const std::string& domain, const std::string& user) const;

 private:
  // The items of a folder, each with the file it was found in, read under the folder's lock.
  std::map<std::string, maildir::MessageFile> ItemFiles(const maildir::Layout& layout,
                                                        const maildir::Place& folder) const;

  std::string root_;
  FileSystem& files_;
  MaildirOptions options_;
};

}  // namespace corvalith::store

#endif  // CORVALITH_STORE_MAILDIR_MAILDIR_STORE_H_
