#include "store/sqlite_support.h"

#include "store/store_errors.h"

namespace corvalith::store {
namespace {

constexpr int kBusyTimeoutMs = 10000;

// The integer in the first column of the query's only row, 0 when there is none.
int64_t QueryInt(sqlite3* db, const char* sql, const std::string& path) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  if (rc != SQLITE_OK) throw SqliteFailure(db, rc, path);
  rc = sqlite3_step(stmt);
  const int64_t value = rc == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : 0;
  sqlite3_finalize(stmt);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw SqliteFailure(db, rc, path);
  return value;
}

}  // namespace

Failure SqliteFailure(sqlite3* db, int rc, const std::string& context) {
  const std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return StoreFailure(StoreError::kBusy, context + " (" + message + ")");
    case SQLITE_NOTADB:
      return StoreFailure(StoreError::kNotAStore, context + " (" + message + ")");
    default:
      return StoreFailure(StoreError::kStorageFault, context + " (" + message + ")");
  }
}

sqlite3* OpenSqlite(const std::string& path, bool create) {
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    Failure failure = SqliteFailure(db, rc, "open " + path);
    sqlite3_close_v2(db);
    throw failure;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  return db;
}

bool HasOwnSchema(sqlite3* db, const std::string& path, int64_t application_id,
                  int64_t schema_version) {
  const int64_t application = QueryInt(db, "PRAGMA application_id", path);
  const int64_t version = QueryInt(db, "PRAGMA user_version", path);
  const int64_t objects = QueryInt(db, "SELECT count(*) FROM sqlite_master", path);
  if (application == 0 && version == 0 && objects == 0) return false;
  if (application != application_id) {
    throw StoreFailure(StoreError::kNotAStore, path + " belongs to another application");
  }
  if (version > schema_version) {
    throw StoreFailure(StoreError::kNewerSchema,
                       path + " has schema version " + std::to_string(version) +
                           ", this program knows up to " + std::to_string(schema_version));
  }
  if (version < 1) throw StoreFailure(StoreError::kNotAStore, path + " has no schema version");
  return true;
}

int BindPropertyValue(sqlite3_stmt* stmt, int type_index, const Variant& value) {
  const int rc = sqlite3_bind_int(stmt, type_index, static_cast<int>(value.type()));
  if (rc != SQLITE_OK) return rc;
  const int value_index = type_index + 1;
  switch (value.type()) {
    case Variant::Type::kEmpty:
    case Variant::Type::kNull:
      return sqlite3_bind_null(stmt, value_index);
    case Variant::Type::kInt16:
    case Variant::Type::kInt32:
      return sqlite3_bind_int(stmt, value_index, value.ToInt32());
    case Variant::Type::kBool:
      return sqlite3_bind_int(stmt, value_index, value.DiffersFromEmpty() ? 1 : 0);
    case Variant::Type::kString: {
      const std::string bytes = value.ToString();
      // A zero-length blob must stay a blob, not NULL: pass a non-null pointer.
      return sqlite3_bind_blob(stmt, value_index, bytes.empty() ? "" : bytes.data(),
                               static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    }
  }
  return SQLITE_MISUSE;
}

Variant ColumnPropertyValue(sqlite3_stmt* stmt, int type_column, const std::string& name) {
  const int type = sqlite3_column_int(stmt, type_column);
  const int value_column = type_column + 1;
  switch (static_cast<Variant::Type>(type)) {
    case Variant::Type::kEmpty:
      return Variant();
    case Variant::Type::kNull:
      return Variant::Null();
    case Variant::Type::kInt16:
      return Variant::Int16(static_cast<int16_t>(sqlite3_column_int(stmt, value_column)));
    case Variant::Type::kInt32:
      return Variant::Int32(sqlite3_column_int(stmt, value_column));
    case Variant::Type::kBool:
      return Variant::Bool(sqlite3_column_int(stmt, value_column) != 0);
    case Variant::Type::kString:
      return Variant::String(ColumnBytes(stmt, value_column));
  }
  throw StoreFailure(StoreError::kPropertyUnreadable,
                     name + " has unknown type " + std::to_string(type));
}

std::string ColumnBytes(sqlite3_stmt* stmt, int column) {
  const void* data = sqlite3_column_blob(stmt, column);
  const int size = sqlite3_column_bytes(stmt, column);
  return data ? std::string(static_cast<const char*>(data), static_cast<size_t>(size))
              : std::string();
}

SqliteQuery& SqliteQuery::Bind(int index, int64_t value) {
  Check(sqlite3_bind_int64(stmt_, index, value));
  return *this;
}

SqliteQuery& SqliteQuery::Bind(int index, const std::string& text) {
  Check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT));
  return *this;
}

SqliteQuery& SqliteQuery::BindBlob(int index, const std::string& bytes, bool keep) {
  // A zero-length blob must still be a blob, not NULL: pass a non-null pointer.
  Check(sqlite3_bind_blob(stmt_, index, bytes.empty() ? "" : bytes.data(),
                          static_cast<int>(bytes.size()), keep ? SQLITE_STATIC : SQLITE_TRANSIENT));
  return *this;
}

SqliteQuery& SqliteQuery::BindProperty(int type_index, const Variant& value) {
  Check(BindPropertyValue(stmt_, type_index, value));
  return *this;
}

bool SqliteQuery::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  throw SqliteFailure(db_, rc, context_);
}

void SqliteQuery::Run() {
  while (Step()) {
  }
}

void SqliteQuery::Check(int rc) const {
  if (rc != SQLITE_OK) throw SqliteFailure(db_, rc, context_);
}

SqliteStatement::SqliteStatement(sqlite3* db, const char* sql, const std::string& context) {
  const int rc = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(stmt_);
    throw SqliteFailure(db, rc, context);
  }
  query_.emplace(db, stmt_, context);
}

}  // namespace corvalith::store
