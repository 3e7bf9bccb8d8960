#include "mailhost/training_record.h"

#include <fcntl.h>
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "platform/failure.h"
#include "store/sqlite_support.h"

namespace corvalith::host {

namespace {

constexpr int32_t kApplicationId = 0x43565452;  // "CVTR"
constexpr int kSchemaVersion = 1;

constexpr char kSchema[] =
    "CREATE TABLE users(id INTEGER PRIMARY KEY, name BLOB NOT NULL UNIQUE);"
    "CREATE TABLE trained(id INTEGER PRIMARY KEY, user INTEGER NOT NULL, digest BLOB NOT NULL,"
    " spam INTEGER NOT NULL, UNIQUE(user, digest));"
    // Finds a user's oldest mails: an index holds its table's row id.
    "CREATE INDEX trained_by_user ON trained(user);";

std::string AsBlob(const MailDigest& digest) {
  return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

}  // namespace

MailDigest DigestOf(const std::string& header, const std::string& body) {
  GChecksum* checksum = g_checksum_new(G_CHECKSUM_SHA256);
  // The header's length first: no other split of the same bytes has the same digest.
  const std::string header_size = std::to_string(header.size()) + ":";
  g_checksum_update(checksum, reinterpret_cast<const guchar*>(header_size.data()),
                    static_cast<gssize>(header_size.size()));
  g_checksum_update(checksum, reinterpret_cast<const guchar*>(header.data()),
                    static_cast<gssize>(header.size()));
  g_checksum_update(checksum, reinterpret_cast<const guchar*>(body.data()),
                    static_cast<gssize>(body.size()));
  guint8 full[32];
  gsize size = sizeof full;
  g_checksum_get_digest(checksum, full, &size);
  g_checksum_free(checksum);
  MailDigest digest;
  std::copy(full, full + digest.size(), digest.begin());
  return digest;
}

TrainingRecord::TrainingRecord(const std::string& path, const MailboxAddress& mailbox, Mode mode)
    // The mailbox's domain and name, as it was added.
    : path_(path), user_(mailbox.domain + "/" + mailbox.user), mode_(mode) {
  if (mode_ == Mode::kWrite) {
    // Born private, as everything in the home: SQLite would create it world-readable.
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
    } else if (errno != EEXIST) {
      throw Failure::FromErrno("cannot create " + path_, errno);
    }
  } else if (::access(path_.c_str(), F_OK) != 0) {
    return;
  }
  db_ = store::OpenSqlite(path_, /*create=*/false);
  try {
    if (mode_ == Mode::kWrite) {
      Run("BEGIN IMMEDIATE");
      // Another run may have made the schema since the file was created.
      if (!store::HasOwnSchema(db_, path_, kApplicationId, kSchemaVersion)) {
        Run(kSchema);
        Run(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
        Run(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
      }
      Run("COMMIT");
    } else if (!store::HasOwnSchema(db_, path_, kApplicationId, kSchemaVersion)) {
      sqlite3_close_v2(db_);  // an empty file: nothing is remembered yet
      db_ = nullptr;
      return;
    }
    store::SqliteStatement find(db_, "SELECT id FROM users WHERE name = ?", path_);
    if (find.query().BindBlob(1, user_).Step()) user_id_ = find.query().Int(0);
  } catch (...) {
    sqlite3_close_v2(db_);
    throw;
  }
}

TrainingRecord::~TrainingRecord() {
  try {
    if (mode_ == Mode::kWrite) Write();
  } catch (const Failure&) {
    // The mails are still among the engine's latest: a next run teaching them changes nothing.
  }
  sqlite3_close_v2(db_);
}

std::optional<bool> TrainingRecord::Class(const MailDigest& digest) {
  if (auto it = unwritten_.find(digest); it != unwritten_.end()) return it->second;
  if (db_ == nullptr || user_id_ == 0 || forgotten_) return std::nullopt;
  store::SqliteStatement find(db_, "SELECT spam FROM trained WHERE user = ? AND digest = ?", path_);
  if (!find.query().Bind(1, user_id_).BindBlob(2, AsBlob(digest)).Step()) return std::nullopt;
  return find.query().Int(0) != 0;
}

void TrainingRecord::Remember(const MailDigest& digest, bool spam) {
  unwritten_[digest] = spam;
  if (mode_ == Mode::kWrite && unwritten_.size() >= kRememberedPerWrite) Write();
}

void TrainingRecord::ForgetAll() {
  unwritten_.clear();
  if (mode_ == Mode::kReadOnly) {
    forgotten_ = true;
  } else if (user_id_ != 0) {
    store::SqliteStatement forget(db_, "DELETE FROM trained WHERE user = ?", path_);
    forget.query().Bind(1, user_id_).Run();
  }
}

void TrainingRecord::Flush() {
  if (mode_ == Mode::kReadOnly) return;
  Write();
  if (user_id_ == 0) return;
  // Nothing when the user has fewer: the inner query has no row, and no id is <= NULL.
  store::SqliteStatement bound(
      db_,
      "DELETE FROM trained WHERE user = ?1 AND id <= (SELECT id FROM trained"
      " WHERE user = ?1 ORDER BY id DESC LIMIT 1 OFFSET ?2)",
      path_);
  bound.query().Bind(1, user_id_).Bind(2, kRememberedMailsPerUser).Run();
}

void TrainingRecord::Write() {
  if (unwritten_.empty()) return;
  Run("BEGIN IMMEDIATE");
  try {
    int64_t user_id = user_id_;
    if (user_id == 0) {
      // Another run may be adding the same user.
      store::SqliteStatement add(db_, "INSERT OR IGNORE INTO users(name) VALUES (?)", path_);
      add.query().BindBlob(1, user_).Run();
      store::SqliteStatement find(db_, "SELECT id FROM users WHERE name = ?", path_);
      if (find.query().BindBlob(1, user_).Step()) user_id = find.query().Int(0);
    }
    for (const auto& [digest, spam] : unwritten_) {
      // A new row id: a mail taught again counts as taught last.
      store::SqliteStatement put(
          db_, "INSERT OR REPLACE INTO trained(user, digest, spam) VALUES (?, ?, ?)", path_);
      put.query().Bind(1, user_id).BindBlob(2, AsBlob(digest)).Bind(3, spam ? 1 : 0).Run();
    }
    Run("COMMIT");
    user_id_ = user_id;
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  unwritten_.clear();
}

void TrainingRecord::Run(const char* sql) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
  sqlite3_free(message);
  if (rc != SQLITE_OK) throw store::SqliteFailure(db_, rc, path_);
}

}  // namespace corvalith::host
