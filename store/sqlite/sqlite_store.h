// The persistent mailbox store: one SQLite database file holding the folders and items of
// every mailbox, their content and their typed properties, behind the same record interface
// as the in-memory store (store_session.h).
//
// Layout (schema version 1, PRAGMA user_version; PRAGMA application_id 'CVST' marks the file
// as ours):
//   nodes(id, url UNIQUE, parent, kind)   folders (kind 0) and items (kind 1) share one id
//                                         space, so properties attach to either, and an id
//                                         survives a move (only url and parent change)
//   contents(node_id, bytes)              an item's raw content, kept apart from nodes so
//                                         that lookups and listings never page through it
//   properties(node_id, name, type, value) one row per property, the Variant type kept
//
// Concurrency: WAL mode, a 10 s busy timeout. Each connection has its own database handle
// (and so its own transaction); a write outside a transaction is a transaction of its own
// (BEGIN IMMEDIATE, so that concurrent writers queue instead of failing on a stale snapshot),
// inside a host transaction it is a SAVEPOINT, so that a failed write undoes only itself.
// Several processes may use one file. A SqliteStore may be used from several threads; each
// connection (with its records) by one thread at a time.
#ifndef CORVALITH_STORE_SQLITE_SQLITE_STORE_H_
#define CORVALITH_STORE_SQLITE_SQLITE_STORE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/variant.h"
#include "store/store.h"

namespace corvalith::store {

class SqliteDatabase;

class SqliteStore : public Store {
 public:
  static constexpr int kSchemaVersion = 1;
  static constexpr int32_t kApplicationId = 0x43565354;  // "CVST"

  // Opens the store at `path`, creating the file when missing. Throws a store failure
  // kNotAStore for a file that is not a database or another application's database,
  // kNewerSchema for a store written by a newer version. `files` (Stream::LoadFromFile)
  // must outlive the store.
  SqliteStore(const std::string& path, FileSystem& files);
  ~SqliteStore() override;
  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

  // A new connection with its own database handle. It may outlive the store object.
  std::unique_ptr<Connection> Connect() override;

  void CreateFolder(const std::string& url) override;
  void PutItem(const std::string& url, const std::map<std::string, Variant>& properties,
               const std::string& content = "") override;
  bool Exists(const std::string& url) const override;
  std::optional<Variant> Property(const std::string& url, const std::string& name) const override;
  std::string Content(const std::string& url) const override;
  std::vector<std::string> Children(const std::string& folder_url) const override;
  std::vector<FolderInfo> Folders(const std::string& mailbox_root) const override;
  std::vector<std::string> Mailboxes() const override;
  std::optional<ItemInfo> FindItem(const std::string& url) const override;
  std::vector<ItemInfo> Items(const std::string& folder_url) const override;
  // One look at the URL index per folder of the mailbox, whatever the folders hold.
  std::optional<std::string> FindItemInMailbox(const std::string& mailbox_root,
                                               const std::string& item_name) const override;
  // A removed mailbox's rows stay, moved from <domain>/MBX/<user> to <domain>/REMOVED/<user>:
  // outside every mailbox, since no mailbox URL has that level.
  std::string SetMailboxAside(const std::string& mailbox_root) override;
  std::vector<std::string> MailboxesSetAside() const override;
  void RestoreMailbox(const std::string& mailbox_root) override;
  bool DeleteMailbox(const std::string& mailbox_root) override;

  const std::string& path() const { return path_; }

 private:
  // Every folder's URL, mailbox roots and those set aside among them; the caller holds mu_.
  std::vector<std::string> FolderUrls() const;

  std::string path_;
  FileSystem& files_;
  mutable std::mutex mu_;               // guards db_
  std::unique_ptr<SqliteDatabase> db_;  // the handle of the inspection calls
};

}  // namespace corvalith::store

#endif  // CORVALITH_STORE_SQLITE_SQLITE_STORE_H_
