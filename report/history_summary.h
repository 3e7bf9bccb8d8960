// What the filter did, summed up from the verdict history (HOME/history.db, one row per
// delivery and per move a user made; history/verdict_history.h writes it): per day, per domain
// and per user, and the latest mails users rescued from the junk folder. Every figure is one
// SQL aggregation over the rows of the window, so a history of millions of rows is summed up
// in seconds and in little memory.
//
// Days are UTC days: a row belongs to the day of its time in seconds since the epoch divided
// by 86400, whatever the machine's time zone, so that two administrators in two zones read the
// same figures. The window is the last N days up to and including today; rows with a later
// time (a clock set back) are left out.
//
// The file comes from outside the process: every text read from it is as untrusted as the
// mail it describes, and each output escapes it for its own format.
#ifndef CORVALITH_REPORT_HISTORY_SUMMARY_H_
#define CORVALITH_REPORT_HISTORY_SUMMARY_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "history/verdict_history.h"

namespace corvalith::report {

using history::kSecondsPerDay;
// As many rescued mails as a person reads through.
inline constexpr int kLatestFalsePositives = 10;

// "YYYY-MM-DD HH:MM:SS" of a time in seconds since the epoch, in UTC, the zone of the days.
std::string TimeText(int64_t seconds);
// "YYYY-MM-DD" of a UTC day (days since the epoch).
std::string DayText(int64_t day);

struct DayCounts {
  int64_t day = 0;  // days since the epoch, UTC
  // Deliveries by the verdict the filter left (any other word in the file counts as none).
  int64_t spam = 0, ham = 0, none = 0;
  // Deliveries forced to ham because the sender was trusted (internal, whitelisted).
  int64_t forced = 0;
  // Users' corrections that day: ham rescued out of the junk folder, spam moved into it.
  int64_t false_positives = 0, false_negatives = 0;

  int64_t mails() const { return spam + ham + none; }
  // The mails the filter gave a verdict.
  int64_t judged() const { return spam + ham; }
  int64_t corrections() const { return false_positives + false_negatives; }
  // The error rate users saw: corrections per mail judged; nullopt on a day nothing was judged.
  std::optional<double> ErrorRate() const;
};

// One domain's or one mailbox's figures over the window.
struct MailboxCounts {
  std::string name;  // the domain, or the mailbox as the history spells it
  int64_t mails = 0;
  int64_t spam = 0;
  int64_t corrections = 0;
  // Distinct senders whose mail was forced to ham as trusted.
  int64_t trusted_senders = 0;

  // nullopt when no mail came.
  std::optional<double> SpamShare() const;
};

// A mail its user took out of the junk folder, as the history recorded the move.
struct FalsePositive {
  int64_t time = 0;
  std::string mailbox;  // user@domain
  std::string folder;   // where the user put it
  std::string item;     // the item's name there
  std::string sender;
  std::string subject;
  std::optional<double> score;  // the spam probability it was delivered with, when known
};

struct HistorySummary {
  int64_t first_day = 0;  // the window's first day
  int64_t today = 0;
  // Every day from the first that has a row (within the window) to today, days without rows
  // included, oldest first; empty when the window holds no row.
  std::vector<DayCounts> days;
  std::vector<MailboxCounts> domains;                 // by name
  std::vector<MailboxCounts> users;                   // by name
  std::vector<FalsePositive> latest_false_positives;  // newest first

  DayCounts Total() const;
};

// Sums up the last `days` days (at least 1) before `now` (seconds since the epoch) of the
// history at `path`. nullopt when there is no history yet: no file, or an empty one. Throws
// Failure for a file that is not a verdict history (another program's database, a damaged
// file, a newer schema) or that cannot be read.
std::optional<HistorySummary> ReadHistorySummary(const std::string& path, int days, int64_t now);

}  // namespace corvalith::report

#endif  // CORVALITH_REPORT_HISTORY_SUMMARY_H_
