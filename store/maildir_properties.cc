#include "store/maildir_properties.h"

#include <sqlite3.h>
#include <unistd.h>

#include "store/store_errors.h"

namespace corvalith::store::maildir {
namespace {

constexpr int kBusyTimeoutMs = 10000;

constexpr char kSchema[] = R"sql(
CREATE TABLE properties(
  folder TEXT NOT NULL,
  item TEXT NOT NULL,
  name TEXT NOT NULL,
  type INTEGER NOT NULL,
  value,
  PRIMARY KEY(folder, item, name)) WITHOUT ROWID;
)sql";

Failure DatabaseFailure(sqlite3* db, int rc, const std::string& context) {
  const std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  const StoreError kind = (rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED
                              ? StoreError::kBusy
                          : (rc & 0xff) == SQLITE_NOTADB ? StoreError::kNotAStore
                                                         : StoreError::kStorageFault;
  return StoreFailure(kind, context + " (" + message + ")");
}

}  // namespace

class PropertyTable::Database {
 public:
  // One prepared statement, finalized when it goes out of scope.
  class Statement {
   public:
    Statement(Database& db, const char* sql) : db_(db) {
      int rc = sqlite3_prepare_v2(db.handle_, sql, -1, &stmt_, nullptr);
      if (rc != SQLITE_OK) throw DatabaseFailure(db.handle_, rc, db.path_);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Text(int index, const std::string& text) {
      Check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT));
      return *this;
    }
    Statement& Owner(int first, const PropertyOwner& owner) {
      return Text(first, owner.folder).Text(first + 1, owner.item);
    }
    Statement& Value(int type_index, const Variant& value) {
      Check(sqlite3_bind_int(stmt_, type_index, static_cast<int>(value.type())));
      switch (value.type()) {
        case Variant::Type::kEmpty:
        case Variant::Type::kNull:
          Check(sqlite3_bind_null(stmt_, type_index + 1));
          break;
        case Variant::Type::kInt16:
        case Variant::Type::kInt32:
          Check(sqlite3_bind_int(stmt_, type_index + 1, value.ToInt32()));
          break;
        case Variant::Type::kBool:
          Check(sqlite3_bind_int(stmt_, type_index + 1, value.DiffersFromEmpty() ? 1 : 0));
          break;
        case Variant::Type::kString: {
          const std::string bytes = value.ToString();
          // A zero-length blob must stay a blob, not NULL: pass a non-null pointer.
          Check(sqlite3_bind_blob(stmt_, type_index + 1, bytes.empty() ? "" : bytes.data(),
                                  static_cast<int>(bytes.size()), SQLITE_TRANSIENT));
          break;
        }
      }
      return *this;
    }
    bool Step() {
      int rc = sqlite3_step(stmt_);
      if (rc == SQLITE_ROW) return true;
      if (rc == SQLITE_DONE) return false;
      throw DatabaseFailure(db_.handle_, rc, db_.path_);
    }
    int Int(int column) { return sqlite3_column_int(stmt_, column); }
    std::string Bytes(int column) {
      const void* data = sqlite3_column_blob(stmt_, column);
      const int size = sqlite3_column_bytes(stmt_, column);
      return data ? std::string(static_cast<const char*>(data), static_cast<size_t>(size))
                  : std::string();
    }

   private:
    void Check(int rc) {
      if (rc != SQLITE_OK) throw DatabaseFailure(db_.handle_, rc, db_.path_);
    }
    Database& db_;
    sqlite3_stmt* stmt_ = nullptr;
  };

  Database(const std::string& path, bool create) : path_(path) {
    const int flags =
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    int rc = sqlite3_open_v2(path.c_str(), &handle_, flags, nullptr);
    if (rc != SQLITE_OK) {
      Failure failure = DatabaseFailure(handle_, rc, "open " + path);
      sqlite3_close_v2(handle_);
      throw failure;
    }
    sqlite3_busy_timeout(handle_, kBusyTimeoutMs);
  }
  ~Database() { sqlite3_close_v2(handle_); }

  void Exec(const std::string& sql) {
    int rc = sqlite3_exec(handle_, sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) throw DatabaseFailure(handle_, rc, sql + " on " + path_);
  }
  int Pragma(const char* sql) {
    Statement query(*this, sql);
    return query.Step() ? query.Int(0) : 0;
  }
  // Rolls back an open transaction; used on the way out of a failure, so it never throws.
  void Abandon() noexcept {
    if (!sqlite3_get_autocommit(handle_))
      sqlite3_exec(handle_, "ROLLBACK", nullptr, nullptr, nullptr);
  }

  // False for a new, empty file; throws for a file that is not ours or too new.
  bool HasSchema() {
    const int application = Pragma("PRAGMA application_id");
    const int version = Pragma("PRAGMA user_version");
    const int objects = Pragma("SELECT count(*) FROM sqlite_master");
    if (application == 0 && version == 0 && objects == 0) return false;
    if (application != kApplicationId) {
      throw StoreFailure(StoreError::kNotAStore, path_ + " belongs to another application");
    }
    if (version > kSchemaVersion) {
      throw StoreFailure(StoreError::kNewerSchema,
                         path_ + " has schema version " + std::to_string(version));
    }
    return true;
  }

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  sqlite3* handle_ = nullptr;
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
  if (!ours) {
    db->Exec("BEGIN IMMEDIATE");
    try {
      // Another process may have made the schema since the check above.
      if (!db->HasSchema()) {
        db->Exec(kSchema);
        db->Exec("PRAGMA application_id = " + std::to_string(kApplicationId));
        db->Exec("PRAGMA user_version = " + std::to_string(kSchemaVersion));
      }
      db->Exec("COMMIT");
    } catch (...) {
      db->Abandon();
      throw;
    }
  }
  db_ = std::move(db);
  return true;
}

std::optional<Variant> PropertyTable::Read(const PropertyOwner& owner, const std::string& name) {
  if (!Open(/*create=*/false)) return std::nullopt;
  Database::Statement query(
      *db_, "SELECT type, value FROM properties WHERE folder = ?1 AND item = ?2 AND name = ?3");
  query.Owner(1, owner).Text(3, name);
  if (!query.Step()) return std::nullopt;
  switch (static_cast<Variant::Type>(query.Int(0))) {
    case Variant::Type::kEmpty:
      return Variant();
    case Variant::Type::kNull:
      return Variant::Null();
    case Variant::Type::kInt16:
      return Variant::Int16(static_cast<int16_t>(query.Int(1)));
    case Variant::Type::kInt32:
      return Variant::Int32(query.Int(1));
    case Variant::Type::kBool:
      return Variant::Bool(query.Int(1) != 0);
    case Variant::Type::kString:
      return Variant::String(query.Bytes(1));
  }
  throw StoreFailure(StoreError::kPropertyUnreadable,
                     name + " has unknown type " + std::to_string(query.Int(0)));
}

void PropertyTable::Apply(const std::vector<PropertyChange>& changes) {
  if (changes.empty()) return;
  Open(/*create=*/true);
  db_->Exec("BEGIN IMMEDIATE");
  try {
    for (const PropertyChange& change : changes) {
      switch (change.kind) {
        case PropertyChange::Kind::kSet:
          if (change.value.IsEmpty()) {
            Database::Statement remove(
                *db_, "DELETE FROM properties WHERE folder = ?1 AND item = ?2 AND name = ?3");
            remove.Owner(1, change.owner).Text(3, change.name).Step();
          } else {
            Database::Statement put(*db_,
                                    "INSERT OR REPLACE INTO properties(folder, item, name, type, "
                                    "value) VALUES(?1, ?2, ?3, ?4, ?5)");
            put.Owner(1, change.owner).Text(3, change.name).Value(4, change.value).Step();
          }
          break;
        case PropertyChange::Kind::kClear: {
          Database::Statement clear(*db_, "DELETE FROM properties WHERE folder = ?1 AND item = ?2");
          clear.Owner(1, change.owner).Step();
          break;
        }
        case PropertyChange::Kind::kMove: {
          if (change.owner == change.to) break;
          Database::Statement clear(*db_, "DELETE FROM properties WHERE folder = ?1 AND item = ?2");
          clear.Owner(1, change.to).Step();
          Database::Statement move(
              *db_, "UPDATE properties SET folder = ?3, item = ?4 WHERE folder = ?1 AND item = ?2");
          move.Owner(1, change.owner).Owner(3, change.to).Step();
          break;
        }
      }
    }
    db_->Exec("COMMIT");
  } catch (...) {
    db_->Abandon();
    throw;
  }
}

}  // namespace corvalith::store::maildir
