#include "store/maildir/maildir_properties.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>

#include "store/sqlite_support.h"
#include "store/store_errors.h"

namespace corvalith::store::maildir {
namespace {

constexpr char kPropertiesSchema[] = R"sql(
CREATE TABLE properties(
  folder TEXT NOT NULL,
  item TEXT NOT NULL,
  name TEXT NOT NULL,
  type INTEGER NOT NULL,
  value,
  PRIMARY KEY(folder, item, name)) WITHOUT ROWID;
)sql";

// Rows in the order they were written (the rowid), so that the oldest are found at once.
constexpr char kFilesSchema[] = R"sql(
CREATE TABLE files(
  folder TEXT NOT NULL,
  item TEXT NOT NULL,
  file TEXT NOT NULL,
  placed INTEGER NOT NULL,
  UNIQUE(folder, item));
CREATE INDEX files_by_item ON files(item);
)sql";

constexpr int64_t kFileRowSeconds = int64_t{kFileRowDays} * 24 * 60 * 60;

}  // namespace

class PropertyTable::Database {
 public:
  // One use of a statement the handle prepares once (SQL literals only: the address is the
  // key), reset when it goes out of scope. A statement is never in use twice at a time.
  class Statement : public SqliteQuery {
   public:
    Statement(Database& db, const char* sql)
        : SqliteQuery(db.handle_, db.Prepared(sql), db.path_) {}
    ~Statement() {
      sqlite3_reset(statement());
      sqlite3_clear_bindings(statement());
    }

    Statement& Owner(int first, const PropertyOwner& owner) {
      Bind(first, owner.folder).Bind(first + 1, owner.item);
      return *this;
    }
  };

  Database(const std::string& path, bool create)
      : path_(path), handle_(OpenSqlite(path, create)) {}
  ~Database() {
    for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
    sqlite3_close_v2(handle_);
  }

  void Exec(const std::string& sql) {
    int rc = sqlite3_exec(handle_, sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) throw SqliteFailure(handle_, rc, sql + " on " + path_);
  }
  // Rolls back an open transaction; used on the way out of a failure, so it never throws.
  void Abandon() noexcept {
    if (!sqlite3_get_autocommit(handle_))
      sqlite3_exec(handle_, "ROLLBACK", nullptr, nullptr, nullptr);
  }

  sqlite3_stmt* Prepared(const char* sql) {
    auto known = statements_.find(sql);
    if (known != statements_.end()) return known->second;
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v2(handle_, sql, -1, &stmt, nullptr);
    if (rc != SQLITE_OK) throw SqliteFailure(handle_, rc, path_);
    statements_.emplace(sql, stmt);
    return stmt;
  }

  // False for a new, empty file; throws for a file that is not ours or too new.
  bool HasSchema() { return HasOwnSchema(handle_, path_, kApplicationId, kSchemaVersion); }
  int64_t Version() {
    Statement query(*this, "PRAGMA user_version");
    return query.Step() ? query.Int(0) : 0;
  }

 private:
  std::string path_;
  sqlite3* handle_ = nullptr;
  std::map<const char*, sqlite3_stmt*> statements_;
};

PropertyTable::PropertyTable(std::string path) : path_(std::move(path)) {}
PropertyTable::~PropertyTable() = default;

bool PropertyTable::Open(bool create) {
  if (db_) return true;
  if (!create && access(path_.c_str(), F_OK) != 0) return false;
  auto db = std::make_unique<Database>(path_, create);
  const bool ours = db->HasSchema();
  db->Exec("PRAGMA journal_mode = WAL");
  db->Exec("PRAGMA synchronous = NORMAL");
  if (!ours || db->Version() < kSchemaVersion) {
    db->Exec("BEGIN IMMEDIATE");
    try {
      // Another process may have made or brought up the schema since the check above.
      if (!db->HasSchema()) {
        db->Exec(kPropertiesSchema);
        db->Exec(kFilesSchema);
        db->Exec("PRAGMA application_id = " + std::to_string(kApplicationId));
      } else if (db->Version() < kSchemaVersion) {
        db->Exec(kFilesSchema);
      }
      db->Exec("PRAGMA user_version = " + std::to_string(kSchemaVersion));
      db->Exec("COMMIT");
    } catch (...) {
      db->Abandon();
      throw;
    }
  }
  struct stat st;
  if (stat(path_.c_str(), &st) != 0) {
    throw StoreFailure(StoreError::kStorageFault, path_ + " vanished while it was opened");
  }
  device_ = st.st_dev;
  inode_ = st.st_ino;
  db_ = std::move(db);
  return true;
}

bool PropertyTable::StillAtPath() const {
  if (!db_) return true;
  struct stat st;
  return stat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_;
}

PropertyTableShelf& PropertyTableShelf::Instance() {
  // Never destroyed: sessions may give tables back while the process exits.
  static PropertyTableShelf* shelf = new PropertyTableShelf();
  return *shelf;
}

std::unique_ptr<PropertyTable> PropertyTableShelf::Take(const std::string& path) {
  std::unique_ptr<PropertyTable> kept;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (auto it = tables_.begin(); it != tables_.end(); ++it) {
      if ((*it)->path() != path) continue;
      kept = std::move(*it);
      tables_.erase(it);
      break;
    }
  }
  // A table of a file that went is closed here, outside the lock.
  if (kept && kept->StillAtPath()) return kept;
  return std::make_unique<PropertyTable>(path);
}

void PropertyTableShelf::Give(std::unique_ptr<PropertyTable> table) {
  std::unique_ptr<PropertyTable> dropped;
  std::lock_guard<std::mutex> guard(mutex_);
  tables_.push_front(std::move(table));
  if (tables_.size() > kCapacity) {
    dropped = std::move(tables_.back());
    tables_.pop_back();
  }
}

std::optional<Variant> PropertyTable::Read(const PropertyOwner& owner, const std::string& name) {
  if (!Open(/*create=*/false)) return std::nullopt;
  Database::Statement query(
      *db_, "SELECT type, value FROM properties WHERE folder = ?1 AND item = ?2 AND name = ?3");
  query.Owner(1, owner).Bind(3, name);
  if (!query.Step()) return std::nullopt;
  return query.Property(0, name);
}

std::optional<std::string> PropertyTable::File(const PropertyOwner& owner) {
  if (!Open(/*create=*/false)) return std::nullopt;
  Database::Statement query(*db_, "SELECT file FROM files WHERE folder = ?1 AND item = ?2");
  query.Owner(1, owner);
  if (!query.Step()) return std::nullopt;
  return query.Bytes(0);
}

std::vector<FileRow> PropertyTable::FilesNamed(const std::string& item) {
  std::vector<FileRow> rows;
  if (!Open(/*create=*/false)) return rows;
  Database::Statement query(*db_, "SELECT folder, file FROM files WHERE item = ?1");
  query.Bind(1, item);
  while (query.Step()) rows.push_back(FileRow{query.Bytes(0), query.Bytes(1)});
  return rows;
}

std::vector<std::pair<std::string, Variant>> PropertyTable::Properties(const PropertyOwner& owner) {
  Database::Statement query(
      *db_, "SELECT name, type, value FROM properties WHERE folder = ?1 AND item = ?2");
  query.Owner(1, owner);
  std::vector<std::pair<std::string, Variant>> properties;
  while (query.Step()) {
    std::string name = query.Bytes(0);
    Variant value = query.Property(1, name);
    properties.emplace_back(std::move(name), std::move(value));
  }
  return properties;
}

std::vector<PropertyChange> PropertyTable::Apply(const std::vector<PropertyChange>& changes) {
  if (changes.empty()) return {};
  Open(/*create=*/true);
  db_->Exec("BEGIN IMMEDIATE");
  std::vector<std::vector<PropertyChange>> inverses;
  inverses.reserve(changes.size());
  try {
    for (const PropertyChange& change : changes) {
      inverses.push_back(Inverse(change));
      Execute(change);
    }
    db_->Exec("COMMIT");
  } catch (...) {
    db_->Abandon();
    throw;
  }
  // Undone last change first.
  std::vector<PropertyChange> undo;
  for (auto inverse = inverses.rbegin(); inverse != inverses.rend(); ++inverse) {
    undo.insert(undo.end(), inverse->begin(), inverse->end());
  }
  return undo;
}

std::vector<PropertyChange> PropertyTable::Inverse(const PropertyChange& change) {
  std::vector<PropertyChange> inverse;
  switch (change.kind) {
    case PropertyChange::Kind::kSet:
      inverse.push_back(PropertyChange::Set(change.owner, change.name,
                                            Read(change.owner, change.name).value_or(Variant())));
      break;
    case PropertyChange::Kind::kClear:
      for (const auto& [name, value] : Properties(change.owner)) {
        inverse.push_back(PropertyChange::Set(change.owner, name, value));
      }
      break;
    case PropertyChange::Kind::kCopy:
      inverse.push_back(PropertyChange::Clear(change.to));
      for (const auto& [name, value] : Properties(change.to)) {
        inverse.push_back(PropertyChange::Set(change.to, name, value));
      }
      break;
    case PropertyChange::Kind::kFile:
      inverse.push_back(PropertyChange::File(change.owner, File(change.owner).value_or("")));
      break;
  }
  return inverse;
}

void PropertyTable::Execute(const PropertyChange& change) {
  switch (change.kind) {
    case PropertyChange::Kind::kSet:
      if (change.value.IsEmpty()) {
        Database::Statement remove(
            *db_, "DELETE FROM properties WHERE folder = ?1 AND item = ?2 AND name = ?3");
        remove.Owner(1, change.owner).Bind(3, change.name).Run();
      } else {
        Database::Statement put(*db_,
                                "INSERT OR REPLACE INTO properties(folder, item, name, type, "
                                "value) VALUES(?1, ?2, ?3, ?4, ?5)");
        put.Owner(1, change.owner).Bind(3, change.name).BindProperty(4, change.value).Run();
      }
      break;
    case PropertyChange::Kind::kClear: {
      Database::Statement clear(*db_, "DELETE FROM properties WHERE folder = ?1 AND item = ?2");
      clear.Owner(1, change.owner).Run();
      break;
    }
    case PropertyChange::Kind::kCopy: {
      if (change.owner == change.to) break;
      Database::Statement clear(*db_, "DELETE FROM properties WHERE folder = ?1 AND item = ?2");
      clear.Owner(1, change.to).Run();
      Database::Statement copy(*db_,
                               "INSERT INTO properties(folder, item, name, type, value) "
                               "SELECT ?3, ?4, name, type, value FROM properties "
                               "WHERE folder = ?1 AND item = ?2");
      copy.Owner(1, change.owner).Owner(3, change.to).Run();
      break;
    }
    case PropertyChange::Kind::kFile: {
      if (change.file.empty()) {
        Database::Statement remove(*db_, "DELETE FROM files WHERE folder = ?1 AND item = ?2");
        remove.Owner(1, change.owner).Run();
        break;
      }
      const int64_t now = time(nullptr);
      Database::Statement put(
          *db_, "INSERT OR REPLACE INTO files(folder, item, file, placed) VALUES(?1, ?2, ?3, ?4)");
      put.Owner(1, change.owner).Bind(3, change.file).Bind(4, now).Run();
      // Each new row takes up to two expired ones with it: the table keeps to the mail of the
      // last kFileRowDays, whatever the mailbox holds.
      Database::Statement expire(*db_,
                                 "DELETE FROM files WHERE rowid IN (SELECT rowid FROM files "
                                 "ORDER BY rowid LIMIT 2) AND placed < ?1");
      expire.Bind(1, now - kFileRowSeconds).Run();
      break;
    }
  }
}

}  // namespace corvalith::store::maildir
