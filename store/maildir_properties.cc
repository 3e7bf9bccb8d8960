#include "store/maildir_properties.h"

#include <sqlite3.h>
#include <unistd.h>

#include "store/sqlite_support.h"

namespace corvalith::store::maildir {
namespace {

constexpr char kSchema[] = R"sql(
CREATE TABLE properties(
  folder TEXT NOT NULL,
  item TEXT NOT NULL,
  name TEXT NOT NULL,
  type INTEGER NOT NULL,
  value,
  PRIMARY KEY(folder, item, name)) WITHOUT ROWID;
)sql";

}  // namespace

class PropertyTable::Database {
 public:
  // One prepared statement, finalized when it goes out of scope.
  class Statement : public SqliteQuery {
   public:
    Statement(Database& db, const char* sql)
        : SqliteQuery(db.handle_, Prepare(db, sql), db.path_) {}
    ~Statement() { sqlite3_finalize(statement()); }

    Statement& Owner(int first, const PropertyOwner& owner) {
      Bind(first, owner.folder).Bind(first + 1, owner.item);
      return *this;
    }

   private:
    static sqlite3_stmt* Prepare(Database& db, const char* sql) {
      sqlite3_stmt* stmt = nullptr;
      const int rc = sqlite3_prepare_v2(db.handle_, sql, -1, &stmt, nullptr);
      if (rc != SQLITE_OK) throw SqliteFailure(db.handle_, rc, db.path_);
      return stmt;
    }
  };

  Database(const std::string& path, bool create)
      : path_(path), handle_(OpenSqlite(path, create)) {}
  ~Database() { sqlite3_close_v2(handle_); }

  void Exec(const std::string& sql) {
    int rc = sqlite3_exec(handle_, sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) throw SqliteFailure(handle_, rc, sql + " on " + path_);
  }
  // Rolls back an open transaction; used on the way out of a failure, so it never throws.
  void Abandon() noexcept {
    if (!sqlite3_get_autocommit(handle_))
      sqlite3_exec(handle_, "ROLLBACK", nullptr, nullptr, nullptr);
  }

  // False for a new, empty file; throws for a file that is not ours or too new.
  bool HasSchema() { return HasOwnSchema(handle_, path_, kApplicationId, kSchemaVersion); }

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
  query.Owner(1, owner).Bind(3, name);
  if (!query.Step()) return std::nullopt;
  return query.Property(0, name);
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
