// Where the Maildir store keeps what a mailbox URL names:
//
//   file://./backofficestorage/<domain>/MBX/<user>   <root>/<domain>/<user>/Maildir
//   …/<user>/Inbox                                    <root>/<domain>/<user>/Maildir (cur/ …)
//   …/<user>/Junk E-mail                              …/Maildir/.Junk E-mail
//   …/<user>/<folder path>/<item name>                a file in the folder's new/ or cur/
//                                                     whose name starts with the item name
//   properties no file holds                          <root>/<domain>/<user>/
//                                                       corvalith-properties.db
//   a removed mailbox, kept                           <root>/<domain>/.removed-<user>
//                                                     (a dot-name is never a mailbox's)
//
// A folder exists when its directory has cur/ (the mailbox root: when Maildir/ exists), as
// Dovecot sees it. Everything in a Maildir that is not laid out this way (dot-files, files
// whose names are no message names, links, tmp/) is someone else's and ignored.
#ifndef CORVALITH_STORE_MAILDIR_MAILDIR_LAYOUT_H_
#define CORVALITH_STORE_MAILDIR_MAILDIR_LAYOUT_H_

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/maildir/maildir_names.h"

namespace corvalith::store::maildir {

inline constexpr char kMaildirName[] = "Maildir";
inline constexpr char kPropertiesFileName[] = "corvalith-properties.db";
inline constexpr char kRemovedMailboxPrefix[] = ".removed-";
// Bounds on what a Maildir may make the store read. A folder's new/ and cur/ have no bound on
// their entries: they are read one entry at a time, and a large folder is legitimate.
inline constexpr size_t kMaxMessageBytes = size_t{256} << 20;
inline constexpr size_t kMaxDirectoryEntries = 1000000;  // of a directory of mailboxes or folders
// How often a lookup or a change is tried again when the file it works on was renamed under it.
inline constexpr int kMaxAttempts = 8;

// A folder (item empty) or an item of one mailbox.
struct Place {
  std::string domain;
  std::string user;
  FolderPath folder;
  std::string item;

  bool operator==(const Place&) const = default;
  bool SameMailbox(const Place& other) const {
    return domain == other.domain && user == other.user;
  }
  Place Folder() const { return Place{domain, user, folder, ""}; }
  std::string Url() const;
  // One string per place, for maps.
  std::string Key() const;
  // The folder path as the property table keeps it: the levels joined with "/".
  std::string FolderText() const;
};

// The mailbox and the path below its root that a URL names: nullopt for a URL outside any
// mailbox, or whose domain or user cannot be a directory name, or with an empty level.
std::optional<Place> PlaceOfUrl(const std::string& url);
// The item a place below a folder would name (its last level): nullopt for the mailbox root
// and its direct children, which are folders or nothing, and for a name no message file can
// start with.
std::optional<Place> ItemPlace(const Place& place);
// The folder path of Place::FolderText.
FolderPath FolderPathOfText(std::string_view text);

// The folder directories and files of a store rooted at one directory.
class Layout {
 public:
  explicit Layout(std::string root) : root_(std::move(root)) {}

  const std::string& root() const { return root_; }
  // <root>/<domain>/<user>: the mailbox's home, which holds the Maildir and the property table.
  std::string MailboxDirectory(const Place& place) const;
  std::string MaildirDirectory(const Place& place) const;
  std::string PropertiesPath(const Place& place) const;
  // Where a removed mailbox's directory is kept: beside the mailboxes, under a name that no
  // mailbox can have.
  std::string SetAsideDirectory(const Place& place) const;
  // The folder's directory; nullopt for a path the Maildir cannot hold. The mailbox root's
  // directory is the Maildir (which has no messages of its own: those are Inbox's).
  std::optional<std::string> FolderDirectoryOf(const Place& place) const;
  bool FolderExists(const Place& place) const;

  // Creates the folder's directories. Throws kAlreadyExists when it exists, kBadArgument for
  // a path the Maildir cannot hold. REQUIRES: the parent exists (the mailbox root excepted,
  // which is created with the directories above it).
  void CreateFolder(const Place& place) const;

  // The folders directly in a folder, sorted.
  std::vector<Place> ChildFolders(const Place& folder) const;

 private:
  std::string root_;
};

// A message file of a folder: `directory` is "new" or "cur".
struct MessageFile {
  std::string directory;
  std::string name;
  std::string Path(const std::string& folder_directory) const {
    return folder_directory + "/" + directory + "/" + name;
  }
};

// The file of the item in the folder, from new/ then cur/ (Dovecot only ever moves files that
// way, so a file renamed during the scan is seen at least once); nullopt when none is there.
// Reads the whole folder: a lookup tries the mailbox's index first (maildir_index.h).
std::optional<MessageFile> ScanForItem(const std::string& folder_directory,
                                       const std::string& item);
// Calls `visit` with every message file of the folder, from new/ then cur/.
void ForEachMessage(const std::string& folder_directory,
                    const std::function<void(const MessageFile&)>& visit);

}  // namespace corvalith::store::maildir

#endif  // CORVALITH_STORE_MAILDIR_MAILDIR_LAYOUT_H_
