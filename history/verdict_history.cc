#include "history/verdict_history.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "logging/control_characters.h"
#include "platform/failure.h"
#include "platform/unicode.h"
#include "store/sqlite_support.h"

namespace corvalith::history {

namespace {

constexpr int32_t kApplicationId = 0x43564848;  // "CVHH"
constexpr int kSchemaVersion = 1;

constexpr char kSchema[] =
    "CREATE TABLE verdicts("
    " id INTEGER PRIMARY KEY,"
    " time INTEGER NOT NULL,"
    " mailbox TEXT NOT NULL,"
    " domain TEXT NOT NULL,"
    " folder TEXT NOT NULL,"
    " item TEXT NOT NULL,"
    " message_id TEXT NOT NULL,"
    " sender TEXT NOT NULL,"
    " subject TEXT NOT NULL,"
    " event TEXT NOT NULL,"
    " verdict TEXT NOT NULL,"
    " marker INTEGER NOT NULL,"
    " reason TEXT NOT NULL,"
    " trusted TEXT NOT NULL,"
    " moved INTEGER NOT NULL,"
    " score REAL,"
    " earlier_verdict TEXT,"
    " correction TEXT NOT NULL);"
    "CREATE INDEX verdicts_by_time ON verdicts(time);"
    "CREATE INDEX verdicts_by_mailbox ON verdicts(mailbox, time);";

constexpr char kColumns[] =
    "time, mailbox, domain, folder, item, message_id, sender, subject, event, verdict, marker,"
    " reason, trusted, moved, score, earlier_verdict, correction";

// One use of a statement that stays prepared: reset and unbound whatever happens.
class Use {
 public:
  Use(sqlite3* db, sqlite3_stmt* stmt, const std::string& path)
      : stmt_(stmt), query_(db, stmt, path) {}
  ~Use() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  store::SqliteQuery& query() { return query_; }

 private:
  sqlite3_stmt* stmt_;
  store::SqliteQuery query_;
};

void BindText(sqlite3* db, sqlite3_stmt* stmt, int index, const std::string& text,
              const std::string& path) {
  const int rc =
      sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) throw store::SqliteFailure(db, rc, path);
}

void BindOptional(sqlite3* db, sqlite3_stmt* stmt, int index, const std::optional<double>& value,
                  const std::string& path) {
  const int rc = value ? sqlite3_bind_double(stmt, index, *value) : sqlite3_bind_null(stmt, index);
  if (rc != SQLITE_OK) throw store::SqliteFailure(db, rc, path);
}

std::string Text(sqlite3_stmt* stmt, int column) { return store::ColumnBytes(stmt, column); }

void Exec(sqlite3* db, const std::string& sql, const std::string& path) {
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) throw store::SqliteFailure(db, rc, path);
}

void MakeSchema(sqlite3* db, const std::string& path) {
  Exec(db, kSchema, path);
  Exec(db, "PRAGMA application_id = " + std::to_string(kApplicationId), path);
  Exec(db, "PRAGMA user_version = " + std::to_string(kSchemaVersion), path);
}

// A new history appears whole: made under a name of its own, its schema written and its
// journal switched to WAL (kept in the file: readers and writers then never wait for each
// other, and a commit appends to the log without flushing it), then linked into place. Writers
// starting at the same time never meet a file half made or still changing its journal; the
// first link wins and the others' files go. Born private, as everything in the home (SQLite
// would create it world-readable).
void CreateHistoryFile(const std::string& path) {
  if (::access(path.c_str(), F_OK) == 0) return;
  static std::atomic<uint32_t> sequence{0};
  const std::string temporary =
      path + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(sequence.fetch_add(1));
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) throw Failure::FromErrno("cannot create " + temporary, errno);
  ::close(fd);
  auto remove_temporary = [&] {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
      ::unlink((temporary + suffix).c_str());
    }
  };
  try {
    sqlite3* db = store::OpenSqlite(temporary, /*create=*/false);
    try {
      MakeSchema(db, temporary);
      Exec(db, "PRAGMA journal_mode = WAL", temporary);
    } catch (...) {
      sqlite3_close_v2(db);
      throw;
    }
    sqlite3_close_v2(db);
    if (::link(temporary.c_str(), path.c_str()) != 0 && errno != EEXIST) {
      throw Failure::FromErrno("cannot create " + path, errno);
    }
  } catch (...) {
    remove_temporary();
    throw;
  }
  remove_temporary();
}

}  // namespace

std::string CleanHistoryText(std::string_view text, size_t max_bytes) {
  std::string out;
  for (size_t pos = 0; pos < text.size();) {
    const size_t length = Utf8SequenceLength(text, pos);
    std::string piece;
    if (length == 0) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(text[pos]));
      piece = escape;
      pos += 1;
    } else {
      piece = EscapeControlCharacters(text.substr(pos, length));
      pos += length;
    }
    if (out.size() + piece.size() > max_bytes) break;
    out += piece;
  }
  return out;
}

std::unique_ptr<VerdictHistory> VerdictHistory::OpenForWriting(const std::string& path,
                                                               int64_t keep_days) {
  CreateHistoryFile(path);
  std::unique_ptr<VerdictHistory> history(
      new VerdictHistory(path, store::OpenSqlite(path, /*create=*/false), keep_days));
  // An empty file (made by hand, or by an older program) gets the schema in place.
  history->Run("BEGIN IMMEDIATE");
  try {
    if (!store::HasOwnSchema(history->db_, path, kApplicationId, kSchemaVersion)) {
      MakeSchema(history->db_, path);
    }
    history->Run("COMMIT");
  } catch (...) {
    sqlite3_exec(history->db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  // A file made here is in WAL mode already, and this changes nothing.
  history->Run("PRAGMA journal_mode = WAL");
  history->Run("PRAGMA synchronous = NORMAL");
  return history;
}

std::unique_ptr<VerdictHistory> VerdictHistory::OpenForReading(const std::string& path) {
  if (::access(path.c_str(), F_OK) != 0) return nullptr;
  std::unique_ptr<VerdictHistory> history(
      new VerdictHistory(path, store::OpenSqlite(path, /*create=*/false), 0));
  if (!store::HasOwnSchema(history->db_, path, kApplicationId, kSchemaVersion)) return nullptr;
  return history;
}

VerdictHistory::VerdictHistory(std::string path, sqlite3* db, int64_t keep_days)
    : path_(std::move(path)), db_(db), keep_days_(keep_days) {}

VerdictHistory::~VerdictHistory() {
  sqlite3_finalize(insert_);
  sqlite3_finalize(prune_);
  sqlite3_close_v2(db_);
}

void VerdictHistory::Record(const VerdictRow& row) {
  if (insert_ == nullptr) {
    insert_ = Prepare(
        "INSERT INTO verdicts(time, mailbox, domain, folder, item, message_id, sender, subject,"
        " event, verdict, marker, reason, trusted, moved, score, earlier_verdict, correction)"
        " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17)");
  }
  Run("BEGIN IMMEDIATE");
  try {
    {
      Use insert(db_, insert_, path_);
      insert.query().Bind(1, row.time);
      const std::pair<int, const std::string*> names[] = {
          {2, &row.mailbox}, {3, &row.domain}, {4, &row.folder}, {5, &row.item}};
      for (const auto& [index, text] : names) {
        BindText(db_, insert_, index, CleanHistoryText(*text, kMaxNameBytes), path_);
      }
      const std::pair<int, const std::string*> header_texts[] = {
          {6, &row.message_id}, {7, &row.sender}, {8, &row.subject}};
      for (const auto& [index, text] : header_texts) {
        BindText(db_, insert_, index, CleanHistoryText(*text, kMaxHeaderTextBytes), path_);
      }
      const std::pair<int, const std::string*> words[] = {{9, &row.event},
                                                          {10, &row.verdict},
                                                          {12, &row.reason},
                                                          {13, &row.trusted},
                                                          {17, &row.correction}};
      for (const auto& [index, text] : words) {
        BindText(db_, insert_, index, CleanHistoryText(*text, kMaxHeaderTextBytes), path_);
      }
      insert.query().Bind(11, row.marker).Bind(14, row.moved ? 1 : 0);
      BindOptional(db_, insert_, 15, row.score, path_);
      if (row.earlier_verdict) {
        BindText(db_, insert_, 16, CleanHistoryText(*row.earlier_verdict, kMaxHeaderTextBytes),
                 path_);
      }
      insert.query().Run();
    }
    if (keep_days_ > 0) Prune(row.time - keep_days_ * kSecondsPerDay, kPrunedPerRecord);
    Run("COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

int64_t VerdictHistory::Prune(int64_t before, int64_t at_most) {
  if (prune_ == nullptr) {
    // The oldest rows by time, through its index; nothing when the oldest is young enough.
    prune_ = Prepare(
        "DELETE FROM verdicts WHERE id IN (SELECT id FROM verdicts WHERE time < ?1"
        " ORDER BY time LIMIT ?2)");
  }
  Use prune(db_, prune_, path_);
  prune.query().Bind(1, before).Bind(2, at_most).Run();
  return sqlite3_changes(db_);
}

int64_t VerdictHistory::Forget(const std::string& mailbox) {
  store::SqliteStatement forget(db_, "DELETE FROM verdicts WHERE mailbox = ?1", path_);
  forget.query().Bind(1, mailbox).Run();
  return sqlite3_changes(db_);
}

std::vector<VerdictRow> VerdictHistory::Query(const HistoryFilter& filter) {
  std::string sql = std::string("SELECT id, ") + kColumns + " FROM verdicts WHERE 1";
  if (filter.mailbox.starts_with('@')) {
    sql += " AND domain = ?1 COLLATE NOCASE";
  } else if (!filter.mailbox.empty()) {
    sql += " AND mailbox = ?1";
  }
  if (filter.since) sql += " AND time >= ?2";
  if (!filter.verdict.empty()) sql += " AND verdict = ?3";
  if (filter.corrections_only) sql += " AND correction <> ''";
  sql += " ORDER BY time DESC, id DESC";
  if (filter.limit > 0) sql += " LIMIT ?4";

  store::SqliteStatement statement(db_, sql.c_str(), path_);
  store::SqliteQuery& query = statement.query();
  sqlite3_stmt* stmt = statement.get();
  std::vector<VerdictRow> rows;
  if (filter.mailbox.starts_with('@')) {
    query.Bind(1, filter.mailbox.substr(1));
  } else if (!filter.mailbox.empty()) {
    query.Bind(1, filter.mailbox);
  }
  if (filter.since) query.Bind(2, *filter.since);
  if (!filter.verdict.empty()) query.Bind(3, filter.verdict);
  if (filter.limit > 0) query.Bind(4, filter.limit);
  while (query.Step()) {
    VerdictRow row;
    row.id = query.Int(0);
    row.time = query.Int(1);
    row.mailbox = Text(stmt, 2);
    row.domain = Text(stmt, 3);
    row.folder = Text(stmt, 4);
    row.item = Text(stmt, 5);
    row.message_id = Text(stmt, 6);
    row.sender = Text(stmt, 7);
    row.subject = Text(stmt, 8);
    row.event = Text(stmt, 9);
    row.verdict = Text(stmt, 10);
    row.marker = static_cast<int32_t>(query.Int(11));
    row.reason = Text(stmt, 12);
    row.trusted = Text(stmt, 13);
    row.moved = query.Int(14) != 0;
    if (sqlite3_column_type(stmt, 15) != SQLITE_NULL) row.score = sqlite3_column_double(stmt, 15);
    if (sqlite3_column_type(stmt, 16) != SQLITE_NULL) row.earlier_verdict = Text(stmt, 16);
    row.correction = Text(stmt, 17);
    rows.push_back(std::move(row));
  }
  return rows;
}

void VerdictHistory::Run(const char* sql) { Exec(db_, sql, path_); }

sqlite3_stmt* VerdictHistory::Prepare(const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr);
  if (rc != SQLITE_OK) throw store::SqliteFailure(db_, rc, path_);
  return stmt;
}

}  // namespace corvalith::history
