#include "store/sqlite/sqlite_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <unordered_map>

#include "store/mailbox_url.h"
#include "store/sqlite_support.h"
#include "store/store_errors.h"
#include "store/store_session.h"

namespace corvalith::store {
namespace {

constexpr int64_t kFolder = 0;
constexpr int64_t kItem = 1;

constexpr char kSchema[] = R"sql(
CREATE TABLE nodes(
  id INTEGER PRIMARY KEY,
  url TEXT NOT NULL UNIQUE,
  parent TEXT NOT NULL,
  kind INTEGER NOT NULL);
CREATE INDEX nodes_by_parent ON nodes(parent, kind);
CREATE TABLE contents(
  node_id INTEGER PRIMARY KEY,
  bytes BLOB NOT NULL);
CREATE TABLE properties(
  node_id INTEGER NOT NULL,
  name TEXT NOT NULL,
  type INTEGER NOT NULL,
  value,
  PRIMARY KEY(node_id, name)) WITHOUT ROWID;
)sql";

// Where a removed mailbox's rows are kept: the level in place of the mailbox level.
constexpr char kRemovedLevel[] = "REMOVED";

std::string SetAsideUrl(const std::string& mailbox_root) {
  std::optional<MailboxUrl> parts = ParseMailboxUrl(mailbox_root);
  if (!parts || !parts->below.empty()) {
    throw StoreFailure(StoreError::kBadArgument, "not a mailbox root: " + mailbox_root);
  }
  return kStoreUrlPrefix + parts->domain + "/" + kRemovedLevel + "/" + parts->user;
}

// The mailbox root that the URL of a removed mailbox's rows had; nullopt for any other URL.
std::optional<std::string> RootOfSetAside(const std::string& url) {
  const std::string prefix = kStoreUrlPrefix;
  if (!url.starts_with(prefix)) return std::nullopt;
  const std::string rest = url.substr(prefix.size());
  const std::string level = std::string("/") + kRemovedLevel + "/";
  const size_t slash = rest.find('/');
  if (slash == 0 || slash == std::string::npos || rest.compare(slash, level.size(), level) != 0) {
    return std::nullopt;
  }
  const std::string user = rest.substr(slash + level.size());
  if (user.empty() || user.find('/') != std::string::npos) return std::nullopt;
  return MailboxRootUrl(rest.substr(0, slash), user);
}

}  // namespace

// One database handle with its prepared statements. Used by one thread at a time.
class SqliteDatabase {
 public:
  // A statement from the cache, bound for one use and reset when the query goes out of scope.
  class Query : public SqliteQuery {
   public:
    Query(SqliteDatabase& db, const char* sql) : SqliteQuery(db.db_, db.Prepare(sql), sql) {}
    ~Query() {
      sqlite3_reset(statement());
      sqlite3_clear_bindings(statement());
    }
  };

  SqliteDatabase(const std::string& path, bool create)
      : path_(path), db_(OpenSqlite(path, create)) {}
  ~SqliteDatabase() {
    for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
    // Closing rolls back an unfinished transaction: a half-written delivery never lands.
    sqlite3_close_v2(db_);
  }

  void Exec(const char* sql) {
    char* error = nullptr;
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
      std::string message = error ? error : sqlite3_errstr(rc);
      sqlite3_free(error);
      Failure failure = SqliteFailure(nullptr, rc, std::string(sql) + " on " + path_);
      throw Failure(failure.description() + " " + message, failure.number());
    }
  }
  bool HasSchema() {
    return HasOwnSchema(db_, path_, SqliteStore::kApplicationId, SqliteStore::kSchemaVersion);
  }

  // Runs `body` as one atomic write: a transaction of its own, or a savepoint inside the
  // transaction already open on this handle.
  template <class Body>
  auto Write(Body&& body) {
    const bool own = sqlite3_get_autocommit(db_) != 0;
    Exec(own ? "BEGIN IMMEDIATE" : "SAVEPOINT write");
    try {
      if constexpr (std::is_void_v<decltype(body())>) {
        body();
        Exec(own ? "COMMIT" : "RELEASE write");
      } else {
        auto result = body();
        Exec(own ? "COMMIT" : "RELEASE write");
        return result;
      }
    } catch (...) {
      Undo(own);
      throw;
    }
  }

  // The data operations shared by the sessions and the store's own inspection calls.
  std::optional<Node> Find(const std::string& url) {
    Query query(*this, "SELECT id, kind FROM nodes WHERE url = ?1");
    query.Bind(1, url);
    if (!query.Step()) return std::nullopt;
    return Node{query.Int(0), query.Int(1) == kFolder ? NodeKind::kFolder : NodeKind::kItem};
  }
  bool IsFolder(const std::string& url) {
    std::optional<Node> node = Find(url);
    return node && node->kind == NodeKind::kFolder;
  }
  bool NodeExists(NodeId id) {
    Query query(*this, "SELECT 1 FROM nodes WHERE id = ?1");
    query.Bind(1, id);
    return query.Step();
  }
  void CheckNode(NodeId id) {
    if (!NodeExists(id)) throw StoreFailure(StoreError::kNotFound, "node " + std::to_string(id));
  }
  // REQUIRES: inside Write.
  Node Insert(const std::string& url, int64_t kind) {
    if (Find(url)) throw StoreFailure(StoreError::kAlreadyExists, url);
    if (!IsMailboxRoot(url) && !IsFolder(ParentUrl(url))) {
      throw StoreFailure(StoreError::kParentMissing, url);
    }
    Query insert(*this, "INSERT INTO nodes(url, parent, kind) VALUES(?1, ?2, ?3)");
    insert.Bind(1, url).Bind(2, ParentUrl(url)).Bind(3, kind).Run();
    NodeId id = sqlite3_last_insert_rowid(db_);
    if (kind == kItem) {
      Query content(*this, "INSERT INTO contents(node_id, bytes) VALUES(?1, ?2)");
      content.Bind(1, id).BindBlob(2, "").Run();
    }
    return Node{id, kind == kFolder ? NodeKind::kFolder : NodeKind::kItem};
  }
  std::optional<Variant> ReadProperty(NodeId id, const std::string& name) {
    Query query(*this, "SELECT type, value FROM properties WHERE node_id = ?1 AND name = ?2");
    query.Bind(1, id).Bind(2, name);
    if (!query.Step()) return std::nullopt;
    return query.Property(0, name);
  }
  // REQUIRES: inside Write.
  void WriteProperty(NodeId id, const std::string& name, const Variant& value) {
    if (value.IsEmpty()) {
      Query remove(*this, "DELETE FROM properties WHERE node_id = ?1 AND name = ?2");
      remove.Bind(1, id).Bind(2, name).Run();
      return;
    }
    Query put(*this,
              "INSERT OR REPLACE INTO properties(node_id, name, type, value) "
              "VALUES(?1, ?2, ?3, ?4)");
    put.Bind(1, id).Bind(2, name).BindProperty(3, value);
    put.Run();
  }
  std::string ReadContent(NodeId id) {
    Query query(*this,
                "SELECT c.bytes FROM nodes n LEFT JOIN contents c ON c.node_id = n.id "
                "WHERE n.id = ?1");
    query.Bind(1, id);
    if (!query.Step()) throw StoreFailure(StoreError::kNotFound, "node " + std::to_string(id));
    return query.Bytes(0);
  }
  // REQUIRES: inside Write.
  void WriteContent(NodeId id, const std::string& bytes) {
    Query put(*this, "INSERT OR REPLACE INTO contents(node_id, bytes) VALUES(?1, ?2)");
    put.Bind(1, id).BindBlob(2, bytes, /*keep=*/true).Run();
  }

  sqlite3* handle() { return db_; }

 private:
  sqlite3_stmt* Prepare(const char* sql) {
    auto it = statements_.find(sql);
    if (it != statements_.end()) return it->second;
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) throw SqliteFailure(db_, rc, sql);
    statements_.emplace(sql, stmt);
    return stmt;
  }
  void Undo(bool own) noexcept {
    // Undoing can only fail when the database is already gone; the original failure is the
    // one worth reporting.
    if (own) {
      if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    } else {
      sqlite3_exec(db_, "ROLLBACK TO write; RELEASE write", nullptr, nullptr, nullptr);
    }
  }

  std::string path_;
  sqlite3* db_ = nullptr;
  // Keyed by the address of the SQL text: every statement is a string literal.
  std::unordered_map<const char*, sqlite3_stmt*> statements_;
};

namespace {

class SqliteSession : public Session {
 public:
  SqliteSession(const std::string& path, FileSystem& files)
      : db_(path, /*create=*/false), files_(files) {
    db_.Exec("PRAGMA synchronous = NORMAL");
  }

  std::optional<Node> Find(const std::string& url) override { return db_.Find(url); }
  Node CreateFolder(const std::string& url) override {
    return db_.Write([&] { return db_.Insert(url, kFolder); });
  }
  Node CreateItem(const std::string& url, bool overwrite) override {
    return db_.Write([&] {
      std::optional<Node> existing = db_.Find(url);
      if (!existing) return db_.Insert(url, kItem);
      if (!overwrite || existing->kind != NodeKind::kItem) {
        throw StoreFailure(StoreError::kAlreadyExists, url);
      }
      SqliteDatabase::Query clear(db_, "DELETE FROM properties WHERE node_id = ?1");
      clear.Bind(1, existing->id).Run();
      db_.WriteContent(existing->id, "");
      return *existing;
    });
  }
  std::optional<Variant> ReadProperty(NodeId id, const std::string& name) override {
    return db_.ReadProperty(id, name);
  }
  void WriteProperties(NodeId id, const PropertyValues& values) override {
    if (values.empty()) return;
    db_.Write([&] {
      db_.CheckNode(id);
      for (const auto& [name, value] : values) db_.WriteProperty(id, name, value);
    });
  }
  std::string ReadContent(NodeId id) override { return db_.ReadContent(id); }
  void WriteContent(NodeId id, const std::string& bytes) override {
    db_.Write([&] {
      db_.CheckNode(id);
      db_.WriteContent(id, bytes);
    });
  }
  void MoveItem(NodeId id, const std::string& destination) override {
    db_.Write([&] {
      db_.CheckNode(id);
      if (db_.Find(destination)) throw StoreFailure(StoreError::kAlreadyExists, destination);
      if (!db_.IsFolder(ParentUrl(destination))) {
        throw StoreFailure(StoreError::kParentMissing, destination);
      }
      SqliteDatabase::Query move(db_, "UPDATE nodes SET url = ?1, parent = ?2 WHERE id = ?3");
      move.Bind(1, destination).Bind(2, ParentUrl(destination)).Bind(3, id).Run();
    });
  }

  // IMMEDIATE: the host's delivery takes the write lock up front, so its writes cannot fail
  // later on a snapshot another process made stale.
  void Begin() override { db_.Exec("BEGIN IMMEDIATE"); }
  void Commit() override { db_.Exec("COMMIT"); }
  void Rollback() override {
    if (!sqlite3_get_autocommit(db_.handle())) db_.Exec("ROLLBACK");
  }

  FileSystem& files() override { return files_; }

 private:
  SqliteDatabase db_;
  FileSystem& files_;
};

}  // namespace

SqliteStore::SqliteStore(const std::string& path, FileSystem& files)
    : path_(path), files_(files), db_(std::make_unique<SqliteDatabase>(path, /*create=*/true)) {
  SqliteDatabase& db = *db_;
  // Only read until the file is known to be ours: a foreign database must stay untouched.
  if (!db.HasSchema()) {
    db.Write([&] {
      // Another process may have created the schema since the check above.
      if (db.HasSchema()) return;
      db.Exec(kSchema);
      db.Exec(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
      db.Exec(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
    });
  }
  db.Exec("PRAGMA journal_mode = WAL");
  db.Exec("PRAGMA synchronous = NORMAL");
}

SqliteStore::~SqliteStore() = default;

std::unique_ptr<Connection> SqliteStore::Connect() {
  return NewSessionConnection(std::make_unique<SqliteSession>(path_, files_));
}

void SqliteStore::CreateFolder(const std::string& url) {
  std::lock_guard lock(mu_);
  db_->Write([&] {
    std::vector<std::string> missing =
        MissingFolders(url, [&](const std::string& folder) -> std::optional<NodeKind> {
          std::optional<Node> node = db_->Find(folder);
          if (!node) return std::nullopt;
          return node->kind;
        });
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      // The topmost missing folder has no parent by construction; insert it directly.
      SqliteDatabase::Query insert(*db_, "INSERT INTO nodes(url, parent, kind) VALUES(?1, ?2, ?3)");
      insert.Bind(1, *it).Bind(2, ParentUrl(*it)).Bind(3, kFolder).Run();
    }
  });
}

void SqliteStore::PutItem(const std::string& url, const std::map<std::string, Variant>& properties,
                          const std::string& content) {
  const std::string item = CanonicalUrl(url);
  if (!Exists(item)) CreateFolder(ParentUrl(item));
  std::lock_guard lock(mu_);
  db_->Write([&] {
    std::optional<Node> node = db_->Find(item);
    NodeId id = node ? node->id : db_->Insert(item, kItem).id;
    for (const auto& [name, value] : properties) db_->WriteProperty(id, name, value);
    if (!content.empty()) db_->WriteContent(id, content);
  });
}

bool SqliteStore::Exists(const std::string& url) const {
  std::lock_guard lock(mu_);
  return db_->Find(CanonicalUrl(url)).has_value();
}

std::optional<Variant> SqliteStore::Property(const std::string& url,
                                             const std::string& name) const {
  std::lock_guard lock(mu_);
  std::optional<Node> node = db_->Find(CanonicalUrl(url));
  if (!node) return std::nullopt;
  return db_->ReadProperty(node->id, name);
}

std::string SqliteStore::Content(const std::string& url) const {
  std::lock_guard lock(mu_);
  std::optional<Node> node = db_->Find(CanonicalUrl(url));
  return node ? db_->ReadContent(node->id) : std::string();
}

std::vector<std::string> SqliteStore::Children(const std::string& folder_url) const {
  std::lock_guard lock(mu_);
  SqliteDatabase::Query query(*db_, "SELECT url FROM nodes WHERE parent = ?1 ORDER BY url");
  query.Bind(1, CanonicalUrl(folder_url));
  std::vector<std::string> children;
  while (query.Step()) children.push_back(query.Bytes(0));
  return children;
}

std::vector<SqliteStore::FolderInfo> SqliteStore::Folders(const std::string& mailbox_root) const {
  std::lock_guard lock(mu_);
  // The folders below the root are the URLs between root + "/" and root + "0" ('0' follows
  // '/'), a range the url index answers without a scan.
  SqliteDatabase::Query query(
      *db_,
      "SELECT f.url, (SELECT count(*) FROM nodes i WHERE i.parent = f.url AND i.kind = 1) "
      "FROM nodes f WHERE f.kind = 0 AND (f.url = ?1 OR (f.url >= ?2 AND f.url < ?3)) "
      "ORDER BY f.url");
  const std::string root = CanonicalUrl(mailbox_root);
  const std::string low = root + "/", high = root + "0";
  query.Bind(1, root).Bind(2, low).Bind(3, high);
  std::vector<FolderInfo> folders;
  while (query.Step()) folders.push_back(FolderInfo{query.Bytes(0), query.Int(1)});
  return folders;
}

std::vector<std::string> SqliteStore::FolderUrls() const {
  SqliteDatabase::Query query(
      *db_, "SELECT url FROM nodes WHERE kind = 0 AND url >= ?1 AND url < ?2 ORDER BY url");
  // Every URL that starts with the prefix sorts below the prefix with its final "/" raised to "0".
  const std::string prefix = kStoreUrlPrefix;
  query.Bind(1, prefix).Bind(2, prefix.substr(0, prefix.size() - 1) + "0");
  std::vector<std::string> urls;
  while (query.Step()) urls.push_back(query.Bytes(0));
  return urls;
}

std::vector<std::string> SqliteStore::Mailboxes() const {
  std::lock_guard lock(mu_);
  std::vector<std::string> roots;
  for (std::string& url : FolderUrls()) {
    if (IsMailboxRoot(url)) roots.push_back(std::move(url));
  }
  return roots;
}

std::optional<SqliteStore::ItemInfo> SqliteStore::FindItem(const std::string& url) const {
  std::lock_guard lock(mu_);
  SqliteDatabase::Query query(
      *db_,
      "SELECT n.url, n.parent, length(c.bytes) FROM nodes n "
      "LEFT JOIN contents c ON c.node_id = n.id WHERE n.url = ?1 AND n.kind = 1");
  query.Bind(1, CanonicalUrl(url));
  if (!query.Step()) return std::nullopt;
  return ItemInfo{query.Bytes(0), query.Bytes(1), query.Int(2)};
}

std::vector<Store::ItemInfo> SqliteStore::Items(const std::string& folder_url) const {
  std::lock_guard lock(mu_);
  SqliteDatabase::Query query(
      *db_,
      "SELECT n.url, n.parent, length(c.bytes) FROM nodes n "
      "LEFT JOIN contents c ON c.node_id = n.id WHERE n.parent = ?1 AND n.kind = 1 "
      "ORDER BY n.url");
  query.Bind(1, CanonicalUrl(folder_url));
  std::vector<ItemInfo> items;
  while (query.Step()) items.push_back(ItemInfo{query.Bytes(0), query.Bytes(1), query.Int(2)});
  return items;
}

std::optional<std::string> SqliteStore::FindItemInMailbox(const std::string& mailbox_root,
                                                          const std::string& item_name) const {
  std::lock_guard lock(mu_);
  // The folder tree through the parent index (a range of URLs would walk every item too).
  SqliteDatabase::Query query(
      *db_,
      "WITH RECURSIVE folders(url) AS (SELECT ?1 UNION ALL SELECT n.url FROM nodes n "
      "JOIN folders f ON n.parent = f.url AND n.kind = 0) "
      "SELECT i.url FROM folders f JOIN nodes i ON i.url = f.url || '/' || ?2 AND i.kind = 1 "
      "ORDER BY f.url LIMIT 1");
  query.Bind(1, CanonicalUrl(mailbox_root)).Bind(2, item_name);
  if (!query.Step()) return std::nullopt;
  return query.Bytes(0);
}

namespace {

// The queries name the mailbox's nodes by ?1 (the root), ?2 (root + "/") and ?3 (root + "0",
// since '0' follows '/'): a range the url index answers. The statement cache keys on the
// text's address, so each query is one literal.
void BindSubtree(SqliteQuery& query, const std::string& root) {
  query.Bind(1, root).Bind(2, root + "/").Bind(3, root + "0");
}

// Renames the mailbox's nodes from one root to another, inside the caller's write.
void MoveSubtree(SqliteDatabase& db, const std::string& from, const std::string& to) {
  // length() and substr() both count characters of the text, so the cut falls after `from`.
  SqliteDatabase::Query move(
      db,
      "UPDATE nodes SET url = ?4 || substr(url, length(?1) + 1), parent = CASE WHEN url = ?1 "
      "THEN ?5 ELSE ?4 || substr(parent, length(?1) + 1) END "
      "WHERE url = ?1 OR (url >= ?2 AND url < ?3)");
  BindSubtree(move, from);
  move.Bind(4, to).Bind(5, ParentUrl(to)).Run();
}

void DeleteSubtree(SqliteDatabase& db, const std::string& root) {
  for (const char* sql : {"DELETE FROM properties WHERE node_id IN "
                          "(SELECT id FROM nodes WHERE url = ?1 OR (url >= ?2 AND url < ?3))",
                          "DELETE FROM contents WHERE node_id IN "
                          "(SELECT id FROM nodes WHERE url = ?1 OR (url >= ?2 AND url < ?3))",
                          "DELETE FROM nodes WHERE url = ?1 OR (url >= ?2 AND url < ?3)"}) {
    SqliteDatabase::Query remove(db, sql);
    BindSubtree(remove, root);
    remove.Run();
  }
}

}  // namespace

std::string SqliteStore::SetMailboxAside(const std::string& mailbox_root) {
  const std::string root = CanonicalUrl(mailbox_root);
  const std::string aside = SetAsideUrl(root);
  std::lock_guard lock(mu_);
  db_->Write([&] {
    if (!db_->Find(root)) throw StoreFailure(StoreError::kNotFound, root);
    if (db_->Find(aside)) throw StoreFailure(StoreError::kAlreadyExists, aside);
    MoveSubtree(*db_, root, aside);
  });
  return path_ + ", as " + aside;
}

std::vector<std::string> SqliteStore::MailboxesSetAside() const {
  std::lock_guard lock(mu_);
  std::vector<std::string> roots;
  for (const std::string& url : FolderUrls()) {
    if (std::optional<std::string> root = RootOfSetAside(url)) roots.push_back(*root);
  }
  std::sort(roots.begin(), roots.end());
  return roots;
}

void SqliteStore::RestoreMailbox(const std::string& mailbox_root) {
  const std::string root = CanonicalUrl(mailbox_root);
  const std::string aside = SetAsideUrl(root);
  std::lock_guard lock(mu_);
  db_->Write([&] {
    if (!db_->Find(aside)) throw StoreFailure(StoreError::kNotFound, aside);
    if (db_->Find(root)) throw StoreFailure(StoreError::kAlreadyExists, root);
    MoveSubtree(*db_, aside, root);
  });
}

bool SqliteStore::DeleteMailbox(const std::string& mailbox_root) {
  const std::string root = CanonicalUrl(mailbox_root);
  const std::string aside = SetAsideUrl(root);
  std::lock_guard lock(mu_);
  return db_->Write([&] {
    bool found = false;
    for (const std::string& top : {root, aside}) {
      if (!db_->Find(top)) continue;
      found = true;
      DeleteSubtree(*db_, top);
    }
    return found;
  });
}

}  // namespace corvalith::store
