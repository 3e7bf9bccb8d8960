// The mailbox store in memory, for tests: the same record behaviour as the persistent store
// (both sit on store_session.h), plus fault injection by URL.
//
// Thread-safe: connections may be used from several threads and the inspection calls may run
// at the same time. A transaction snapshots the whole store and a rollback restores it, so
// writes of other connections made meanwhile are rolled back too; tests that need isolation
// between connections use the persistent store.
#ifndef CORVALITH_STORE_MEMORY_MEMORY_STORE_H_
#define CORVALITH_STORE_MEMORY_MEMORY_STORE_H_

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/variant.h"
#include "store/store.h"

namespace corvalith::store {

class MemoryStore : public Store {
 public:
  // Stream::LoadFromFile reads through `files`, which must outlive the store.
  explicit MemoryStore(FileSystem& files);
  ~MemoryStore() override;
  MemoryStore(const MemoryStore&) = delete;
  MemoryStore& operator=(const MemoryStore&) = delete;

  // The connection and its records must not outlive the store.
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

  // Fault injection, by exact URL (as stored, without a trailing "/"). Opens and updates can
  // be refused after a number of calls that still succeed, so that a test can fail the second
  // of two steps.
  void RefuseOpen(const std::string& url, int after = 0);
  void RefuseCreate(const std::string& url);
  void RefuseUpdate(const std::string& url, int after = 0);
  void RefuseMove(const std::string& source_url);
  void MakeUnreadable(const std::string& url, const std::string& name);
  int move_attempts() const;
  // OpenRecord calls for the URL exactly as the caller passed it.
  int open_calls(const std::string& url) const;

 private:
  class MemorySession;
  struct Data;

  mutable std::mutex mu_;
  FileSystem& files_;
  std::unique_ptr<Data> data_;
  // URL -> calls still allowed before every further call is refused.
  std::map<std::string, int> refuse_open_, refuse_update_;
  std::set<std::string> refuse_create_, refuse_move_;
  std::set<std::pair<std::string, std::string>> unreadable_;
  int move_attempts_ = 0;
  std::map<std::string, int> open_calls_;
};

}  // namespace corvalith::store

#endif  // CORVALITH_STORE_MEMORY_MEMORY_STORE_H_
