#include "report/history_summary.h"

#include <sqlite3.h>

#include <algorithm>
#include <ctime>
#include <memory>

#include "history/verdict_history.h"
#include "platform/failure.h"
#include "store/sqlite_support.h"

namespace corvalith::report {

namespace {

// One prepared query over the window [from, to), stepped through its rows.
class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql, const std::string& path, int64_t from, int64_t to)
      : statement_(db, sql.c_str(), path) {
    query().Bind(1, from).Bind(2, to);
  }

  store::SqliteQuery& query() { return statement_.query(); }
  std::optional<double> OptionalDouble(int column) {
    if (sqlite3_column_type(statement_.get(), column) == SQLITE_NULL) return std::nullopt;
    return sqlite3_column_double(statement_.get(), column);
  }

 private:
  store::SqliteStatement statement_;
};

// The window's rows: [first day's start, tomorrow's start).
constexpr char kWindow[] = " WHERE time >= ?1 AND time < ?2 ";

// The words of the file's columns, quoted for SQL (none holds a quote).
std::string Quoted(const char* word) { return std::string("'") + word + "'"; }
const std::string kDelivery = "event = " + Quoted(history::kEventDelivery);
const std::string kMove = "event = " + Quoted(history::kEventMove);
const std::string kFalsePositiveRow =
    kMove + " AND correction = " + Quoted(history::kFalsePositive);
const std::string kFalseNegativeRow =
    kMove + " AND correction = " + Quoted(history::kFalseNegative);
const std::string kCorrectionRow = kMove + " AND correction IN (" +
                                   Quoted(history::kFalsePositive) + ", " +
                                   Quoted(history::kFalseNegative) + ")";

// The file is not trusted: a time that is no whole number still falls into one day.
const std::string kPerDay =
    "SELECT CAST(time AS INTEGER) / " + std::to_string(kSecondsPerDay) + " AS day," + " sum(" +
    kDelivery + " AND verdict = 'spam')," + " sum(" + kDelivery + " AND verdict = 'ham')," +
    " sum(" + kDelivery + " AND verdict NOT IN ('spam', 'ham'))," + " sum(" + kDelivery +
    " AND trusted <> '')," + " sum(" + kFalsePositiveRow + ")," + " sum(" + kFalseNegativeRow +
    ")" + " FROM verdicts" + kWindow + "GROUP BY day ORDER BY day";

// Per domain or per mailbox: `column` names which.
std::string PerName(const char* column) {
  return std::string("SELECT ") + column + ", sum(" + kDelivery + ")," + " sum(" + kDelivery +
         " AND verdict = 'spam')," + " sum(" + kCorrectionRow + ")," +
         " count(DISTINCT CASE WHEN " + kDelivery + " AND trusted <> '' THEN sender END)" +
         " FROM verdicts" + kWindow + "GROUP BY " + column + " ORDER BY " + column;
}

// A move has no score of its own: the score is that of the item's delivery within the window
// (a move keeps the item's name), found through the index by mailbox and time.
const std::string kLatestFalsePositivesQuery =
    "SELECT time, mailbox, folder, item, sender, subject, coalesce(score, (SELECT d.score FROM "
    "verdicts AS d WHERE d.mailbox = verdicts.mailbox AND d.time BETWEEN ?1 AND verdicts.time "
    "AND d.item = "
    "verdicts.item AND d." +
    kDelivery + " ORDER BY d.time DESC LIMIT 1)) FROM verdicts" + kWindow + "AND " +
    kFalsePositiveRow + " ORDER BY time DESC, id DESC LIMIT " +
    std::to_string(kLatestFalsePositives);

DayCounts Empty(int64_t day) {
  DayCounts counts;
  counts.day = day;
  return counts;
}

std::vector<DayCounts> ReadDays(sqlite3* db, const std::string& path, int64_t from_day,
                                int64_t today) {
  Statement rows(db, kPerDay, path, from_day * kSecondsPerDay, (today + 1) * kSecondsPerDay);
  std::vector<DayCounts> days;
  store::SqliteQuery& q = rows.query();
  while (q.Step()) {
    DayCounts counts;
    counts.day = q.Int(0);
    counts.spam = q.Int(1);
    counts.ham = q.Int(2);
    counts.none = q.Int(3);
    counts.forced = q.Int(4);
    counts.false_positives = q.Int(5);
    counts.false_negatives = q.Int(6);
    // Days without rows between those with rows, so that a chart's time axis has no holes.
    const int64_t next = days.empty() ? counts.day : days.back().day + 1;
    for (int64_t day = next; day < counts.day; ++day) days.push_back(Empty(day));
    days.push_back(counts);
  }
  if (!days.empty()) {
    for (int64_t day = days.back().day + 1; day <= today; ++day) {
      days.push_back(Empty(day));
    }
  }
  return days;
}

std::vector<MailboxCounts> ReadPerName(sqlite3* db, const std::string& path, const char* column,
                                       int64_t from, int64_t to) {
  Statement rows(db, PerName(column), path, from, to);
  std::vector<MailboxCounts> list;
  store::SqliteQuery& q = rows.query();
  while (q.Step()) {
    list.push_back(MailboxCounts{.name = q.Bytes(0),
                                 .mails = q.Int(1),
                                 .spam = q.Int(2),
                                 .corrections = q.Int(3),
                                 .trusted_senders = q.Int(4)});
  }
  return list;
}

std::vector<FalsePositive> ReadFalsePositives(sqlite3* db, const std::string& path, int64_t from,
                                              int64_t to) {
  Statement rows(db, kLatestFalsePositivesQuery, path, from, to);
  std::vector<FalsePositive> list;
  store::SqliteQuery& q = rows.query();
  while (q.Step()) {
    list.push_back(FalsePositive{.time = q.Int(0),
                                 .mailbox = q.Bytes(1),
                                 .folder = q.Bytes(2),
                                 .item = q.Bytes(3),
                                 .sender = q.Bytes(4),
                                 .subject = q.Bytes(5),
                                 .score = rows.OptionalDouble(6)});
  }
  return list;
}

void Execute(sqlite3* db, const char* sql, const std::string& path) {
  const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) throw store::SqliteFailure(db, rc, path);
}

}  // namespace

std::string TimeText(int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&time, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  return text;
}

std::string DayText(int64_t day) { return TimeText(day * kSecondsPerDay).substr(0, 10); }

std::optional<double> DayCounts::ErrorRate() const {
  if (judged() == 0) return std::nullopt;
  return static_cast<double>(corrections()) / static_cast<double>(judged());
}

std::optional<double> MailboxCounts::SpamShare() const {
  if (mails == 0) return std::nullopt;
  return static_cast<double>(spam) / static_cast<double>(mails);
}

DayCounts HistorySummary::Total() const {
  DayCounts total;
  for (const DayCounts& d : days) {
    total.spam += d.spam;
    total.ham += d.ham;
    total.none += d.none;
    total.forced += d.forced;
    total.false_positives += d.false_positives;
    total.false_negatives += d.false_negatives;
  }
  return total;
}

std::optional<HistorySummary> ReadHistorySummary(const std::string& path, int days, int64_t now) {
  std::unique_ptr<history::VerdictHistory> file = history::VerdictHistory::OpenForReading(path);
  if (file == nullptr) return std::nullopt;
  sqlite3* db = file->database();

  HistorySummary summary;
  summary.today = now / kSecondsPerDay;
  summary.first_day = summary.today - (std::max(days, 1) - 1);
  const int64_t from = summary.first_day * kSecondsPerDay;
  const int64_t to = (summary.today + 1) * kSecondsPerDay;
  // One read transaction: the figures agree with each other while writers go on.
  Execute(db, "BEGIN", path);
  summary.days = ReadDays(db, path, summary.first_day, summary.today);
  summary.domains = ReadPerName(db, path, "domain", from, to);
  summary.users = ReadPerName(db, path, "mailbox", from, to);
  summary.latest_false_positives = ReadFalsePositives(db, path, from, to);
  Execute(db, "COMMIT", path);
  return summary;
}

}  // namespace corvalith::report
