// A mailbox store as its owner sees it: connections for the record interface (store/record.h),
// through which the filter and the host read and write, and direct calls by URL for setting up,
// inspecting and listing. The in-memory, SQLite and Maildir stores implement it, so that the
// host and the tests work on any of them.
//
// Every call may throw Failure (store_errors.h). Thread safety: as each store says.
#ifndef CORVALITH_STORE_STORE_H_
#define CORVALITH_STORE_STORE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/variant.h"
#include "store/record.h"

namespace corvalith::store {

class Store {
 public:
  virtual ~Store() = default;

  // A new connection; whether it may outlive the store, each store says.
  virtual std::unique_ptr<Connection> Connect() = 0;

  // Creates the folder and every missing folder above it, up to the mailbox root (or the
  // first segment after the scheme for URLs outside a mailbox). A folder already there is
  // left as it is.
  virtual void CreateFolder(const std::string& url) = 0;
  // Creates an item (and its folder) with these properties and content. On an existing item
  // or folder the properties are merged in (a Null value is stored as Null, an empty variant
  // removes the property) and the content is replaced only when `content` is not empty.
  virtual void PutItem(const std::string& url, const std::map<std::string, Variant>& properties,
                       const std::string& content = "") = 0;
  virtual bool Exists(const std::string& url) const = 0;
  virtual std::optional<Variant> Property(const std::string& url,
                                          const std::string& name) const = 0;
  // "" for a folder or a missing item.
  virtual std::string Content(const std::string& url) const = 0;
  // The URLs of the folders and items directly in the folder, sorted.
  virtual std::vector<std::string> Children(const std::string& folder_url) const = 0;

  struct FolderInfo {
    std::string url;
    int64_t items;  // items directly in the folder
  };
  // The mailbox root and every folder below it, sorted by URL.
  virtual std::vector<FolderInfo> Folders(const std::string& mailbox_root) const = 0;
  // The root URLs of all mailboxes, sorted.
  virtual std::vector<std::string> Mailboxes() const = 0;

  struct ItemInfo {
    std::string url;
    std::string folder_url;
    int64_t size;  // content bytes
  };
  // nullopt for a folder or nothing at the URL.
  virtual std::optional<ItemInfo> FindItem(const std::string& url) const = 0;
  // The items directly in the folder, sorted by URL: one look at the folder, however many
  // items it holds.
  virtual std::vector<ItemInfo> Items(const std::string& folder_url) const = 0;
  // The URL of the item named `item_name` (the last segment of its URL) in any folder of the
  // mailbox; nullopt when no folder holds one. A store may answer nullopt for an item that
  // another program is renaming at that very moment: a caller that must not miss one holds
  // the item's folder still some other way. The Maildir store answers for the items it
  // stored itself in the last weeks only (maildir_store.h): what a retried delivery needs.
  virtual std::optional<std::string> FindItemInMailbox(const std::string& mailbox_root,
                                                       const std::string& item_name) const;

  // A removed mailbox keeps its mail, set aside where no URL and no listing of mailboxes finds
  // it, until it is restored or deleted. Setting aside answers where the mail is kept, for the
  // administrator (a directory, or the database and the URL). kNotFound for no mailbox at the
  // root, kAlreadyExists when a mailbox of that root is set aside already. A store that cannot
  // keep a removed mailbox throws kRefused (the default).
  virtual std::string SetMailboxAside(const std::string& mailbox_root);
  // The root URLs that the mailboxes set aside had, sorted.
  virtual std::vector<std::string> MailboxesSetAside() const;
  // Makes the mailbox set aside a mailbox again, with its mail. kNotFound when none is set
  // aside for the root, kAlreadyExists when a mailbox is there (or something in its way).
  virtual void RestoreMailbox(const std::string& mailbox_root);
  // Deletes the mailbox at the root and the one set aside for it, with all their mail; false
  // when there was neither.
  virtual bool DeleteMailbox(const std::string& mailbox_root);
};

}  // namespace corvalith::store

#endif  // CORVALITH_STORE_STORE_H_
