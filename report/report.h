// `corvalith report`: what the filter did over the last days, from the verdict history
// (report/history_summary.h), with what it has learned (report/filter_databases.h) and why it
// took the latest rescued mails for spam (report/stored_mail.h). Shown as text
// (report/text_report.h), as JSON (report/json_report.h) or as one self-contained HTML page
// (report/html_report.h).
#ifndef CORVALITH_REPORT_REPORT_H_
#define CORVALITH_REPORT_REPORT_H_

#include <optional>
#include <string>
#include <vector>

#include "classifier/explain.h"
#include "mailhost/mail_host.h"
#include "report/filter_databases.h"
#include "report/history_summary.h"

namespace corvalith::report {

inline constexpr int kDefaultDays = 30;

struct Report {
  int days = kDefaultDays;  // the window asked for
  HistorySummary history;
  std::vector<DatabaseFigures> databases;
  // One for each of history.latest_false_positives; nullopt for a mail no longer in the store.
  std::vector<std::optional<Explanation>> explanations;
};

// The report of the last `days` days before `now` (seconds since the epoch) from the history
// file at `history_path`; nullopt when there is no history yet. Throws Failure for a history
// that cannot be read (report/history_summary.h) and a store that cannot list its mailboxes.
std::optional<Report> MakeReport(const std::string& history_path, host::MailHost& host,
                                 const std::string& data_directory, int days, int64_t now);

// How both outputs write their figures: "2.50%" ("-" for none), "3.3 MiB".
std::string PercentText(std::optional<double> share);
std::string SizeText(int64_t bytes);

}  // namespace corvalith::report

#endif  // CORVALITH_REPORT_REPORT_H_
