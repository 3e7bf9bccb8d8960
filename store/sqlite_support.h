// What the stores that keep their data in SQLite do the same way: open a file, map SQLite's
// result codes onto store failures, recognise their own schema, and lay a typed property into
// a row and read it back.
//
// A property takes two adjacent columns: the Variant type as an integer, then the value
// (NULL for empty and null, an integer for the integers and Boolean, a blob of the bytes for
// a string, so that text with NUL bytes or invalid UTF-8 comes back unchanged).
#ifndef CORVALITH_STORE_SQLITE_SUPPORT_H_
#define CORVALITH_STORE_SQLITE_SUPPORT_H_

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "platform/failure.h"
#include "platform/variant.h"

namespace corvalith::store {

// Busy and locked are kBusy (another writer held the file past the busy timeout), a file that
// is not a database kNotAStore, anything else kStorageFault; the description is `context`
// followed by SQLite's own message.
Failure SqliteFailure(sqlite3* db, int rc, const std::string& context);

// Opens `path` for reading and writing, creating it only when `create`, for use by one thread
// at a time, waiting up to 10 s for other writers. Throws the failure of the open.
sqlite3* OpenSqlite(const std::string& path, bool create);

// False for a new, empty file; true for a file marked with `application_id` and a schema
// version from 1 to `schema_version`. Throws kNotAStore for a file that is not ours and
// kNewerSchema for one written by a newer version. Only reads: a foreign file stays untouched.
bool HasOwnSchema(sqlite3* db, const std::string& path, int64_t application_id,
                  int64_t schema_version);

// Binds the property's two columns, the type at `type_index`; returns the first SQLite error.
int BindPropertyValue(sqlite3_stmt* stmt, int type_index, const Variant& value);

// The property in the two columns from `type_column` of the current row; throws
// kPropertyUnreadable, naming `name`, for a type this program does not know.
Variant ColumnPropertyValue(sqlite3_stmt* stmt, int type_column, const std::string& name);

// A text or blob column as bytes; "" for NULL.
std::string ColumnBytes(sqlite3_stmt* stmt, int column);

// One use of a prepared statement: binds by position, steps through the rows and reads their
// columns, throwing the store's failures with `context` (the SQL, a path) in the description.
// Holds neither the statement nor the handle: whoever prepared the statement finalizes or
// resets it.
class SqliteQuery {
 public:
  SqliteQuery(sqlite3* db, sqlite3_stmt* stmt, std::string context)
      : db_(db), stmt_(stmt), context_(std::move(context)) {}
  SqliteQuery(const SqliteQuery&) = delete;
  SqliteQuery& operator=(const SqliteQuery&) = delete;

  SqliteQuery& Bind(int index, int64_t value);
  SqliteQuery& Bind(int index, const std::string& text);
  // Copies the bytes, unless `keep` promises they outlive the query (content, which can be
  // large).
  SqliteQuery& BindBlob(int index, const std::string& bytes, bool keep = false);
  SqliteQuery& BindProperty(int type_index, const Variant& value);

  // True while there is a row.
  bool Step();
  // Steps to the end, for statements that return no rows.
  void Run();
  int64_t Int(int column) { return sqlite3_column_int64(stmt_, column); }
  std::string Bytes(int column) { return ColumnBytes(stmt_, column); }
  Variant Property(int type_column, const std::string& name) {
    return ColumnPropertyValue(stmt_, type_column, name);
  }

 protected:
  sqlite3_stmt* statement() const { return stmt_; }

 private:
  void Check(int rc) const;

  sqlite3* db_;
  sqlite3_stmt* stmt_;
  std::string context_;
};

// A statement prepared for one query and finalized with it. Throws the failure of the
// preparation, with `context` in its description.
class SqliteStatement {
 public:
  SqliteStatement(sqlite3* db, const char* sql, const std::string& context);
  ~SqliteStatement() { sqlite3_finalize(stmt_); }
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  SqliteQuery& query() { return *query_; }
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  std::optional<SqliteQuery> query_;
};

}  // namespace corvalith::store

#endif  // CORVALITH_STORE_SQLITE_SUPPORT_H_
