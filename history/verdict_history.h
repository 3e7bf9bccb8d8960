// The verdict history: one row for every delivery and every user move the filter judged or
// learned from, so that an administrator can see what the filter did, to whom and why.
//
// One SQLite file in the home (HOME/history.db, mode 0600, WAL, synchronous NORMAL: a row
// costs one INSERT and no flush to disk of its own). Several processes write at once (the
// lmtp workers, `moved`, `move`); each writer keeps one connection open. Rows older than the
// retention are deleted as new rows arrive, a few with each insert, so that the file keeps
// to the last KeepDays whatever the traffic and no process has to sweep it.
//
// Every text is cleaned before it is stored (CleanHistoryText): valid UTF-8 only, control
// characters escaped as in the log, bounded in bytes. Readers must still escape for their own
// output: the file is never trusted.
#ifndef CORVALITH_HISTORY_VERDICT_HISTORY_H_
#define CORVALITH_HISTORY_VERDICT_HISTORY_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace corvalith::history {

inline constexpr int64_t kDefaultKeepDays = 90;
inline constexpr int64_t kSecondsPerDay = 86400;
// Rows of the past a new row deletes at most: more than one, so that the file shrinks back
// after a quiet period; few, so that an insert stays cheap.
inline constexpr int64_t kPrunedPerRecord = 4;

// Bounds of the stored texts, in bytes.
inline constexpr size_t kMaxHeaderTextBytes = 256;  // message_id, sender, subject
inline constexpr size_t kMaxNameBytes = 1024;       // mailbox, domain, folder, item

// The values of the text columns with a fixed set of values.
inline constexpr char kEventDelivery[] = "delivery";
inline constexpr char kEventMove[] = "move";
inline constexpr char kFalsePositive[] = "false positive";  // ham rescued out of the spam folder
inline constexpr char kFalseNegative[] = "false negative";  // spam moved into the spam folder

// One row of the table verdicts.
struct VerdictRow {
  int64_t id = 0;          // set by Query; ignored by Record
  int64_t time = 0;        // seconds since the epoch (UTC) of the save
  std::string mailbox;     // "user@domain" as the mailbox is spelled
  std::string domain;      // its domain part
  std::string folder;      // below the mailbox root, after the save: "Inbox", "Junk E-mail"
  std::string item;        // the item's name
  std::string message_id;  // the Message-ID field, "" when none
  std::string sender;      // the From field as decoded text
  std::string subject;     // the Subject as decoded text
  std::string event;       // kEventDelivery or kEventMove
  std::string verdict;     // "spam" | "ham" | "none": the marker after the save
  int32_t marker = 0;      // the marker value itself
  // delivery: "parsed" | "recognised" | "forced" | "untouched";
  // move: "swapped" | "already" | "no marker" | "deleted items" | "untouched"
  std::string reason;
  std::string trusted;          // "" | "EA" | "GWL" | "WL": why a delivery was forced to ham
  bool moved = false;           // the filter moved the item into the spam folder
  std::optional<double> score;  // the classifier's spam probability, when asked
  std::optional<std::string> earlier_verdict;  // a move's verdict before it; none for a delivery
  std::string correction;                      // "" | kFalsePositive | kFalseNegative

  bool operator==(const VerdictRow&) const = default;
};

// What `corvalith history` asks for. Empty fields select everything.
struct HistoryFilter {
  // "user@domain": that mailbox, spelled as it was recorded; "@domain": every mailbox of the
  // domain, without regard to ASCII case.
  std::string mailbox;
  std::optional<int64_t> since;   // rows with time >= since
  std::string verdict;            // "spam" or "ham": only rows of that verdict
  bool corrections_only = false;  // only rows with a correction
  int64_t limit = 0;              // at most this many rows; 0 for all
};

// The text as it is stored: invalid UTF-8 bytes written as "\xHH", control characters escaped
// (logging/control_characters.h), then cut to at most `max_bytes` at a character boundary,
// never inside an escape.
std::string CleanHistoryText(std::string_view text, size_t max_bytes);

class VerdictHistory {
 public:
  // Opens the history at `path` for recording, creating the file (mode 0600) with its schema
  // when missing. Rows older than `keep_days` days before a new row's time are pruned as rows
  // are recorded (none when keep_days <= 0). Throws Failure when the file cannot be opened or
  // created, or is not a history (a file of another application, garbage, a newer schema).
  static std::unique_ptr<VerdictHistory> OpenForWriting(const std::string& path,
                                                        int64_t keep_days = kDefaultKeepDays);
  // Opens an existing history for Query; nullptr when there is no history yet (no file, or an
  // empty one). Creates nothing. Throws Failure as OpenForWriting.
  static std::unique_ptr<VerdictHistory> OpenForReading(const std::string& path);

  ~VerdictHistory();
  VerdictHistory(const VerdictHistory&) = delete;
  VerdictHistory& operator=(const VerdictHistory&) = delete;

  // Inserts the row, its texts cleaned (CleanHistoryText), and deletes at most
  // kPrunedPerRecord rows older than the retention before row.time, in one transaction.
  // Throws Failure.
  void Record(const VerdictRow& row);
  // Deletes at most `at_most` of the oldest rows with a time before `before`; answers how many
  // went. Throws Failure.
  int64_t Prune(int64_t before, int64_t at_most);
  // Deletes every row of the mailbox spelled `mailbox` ("user@domain"); answers how many went.
  // Throws Failure.
  int64_t Forget(const std::string& mailbox);
  // The matching rows, newest first. Throws Failure.
  std::vector<VerdictRow> Query(const HistoryFilter& filter);

  // The open database, for readers that aggregate over the table themselves. Owned here.
  sqlite3* database() { return db_; }
  const std::string& path() const { return path_; }

 private:
  VerdictHistory(std::string path, sqlite3* db, int64_t keep_days);
  void Run(const char* sql);
  sqlite3_stmt* Prepare(const char* sql);

  std::string path_;
  sqlite3* db_;
  int64_t keep_days_;
  sqlite3_stmt* insert_ = nullptr;  // prepared on the first Record, kept
  sqlite3_stmt* prune_ = nullptr;
};

}  // namespace corvalith::history

#endif  // CORVALITH_HISTORY_VERDICT_HISTORY_H_
