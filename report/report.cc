#include "report/report.h"

#include <cstdio>

#include "report/stored_mail.h"

namespace corvalith::report {

std::optional<Report> MakeReport(const std::string& history_path, host::MailHost& host,
                                 const std::string& data_directory, int days, int64_t now) {
  std::optional<HistorySummary> history = ReadHistorySummary(history_path, days, now);
  if (!history) return std::nullopt;
  Report report;
  report.days = days;
  report.history = std::move(*history);
  report.databases = ReadFilterDatabases(host, data_directory);
  for (const FalsePositive& mail : report.history.latest_false_positives) {
    report.explanations.push_back(ExplainStoredMail(host, data_directory, mail));
  }
  return report;
}

std::string PercentText(std::optional<double> share) {
  if (!share) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f%%", *share * 100);
  return text;
}

std::string SizeText(int64_t bytes) {
  char text[32];
  if (bytes < 1024) {
    std::snprintf(text, sizeof text, "%lld B", static_cast<long long>(bytes));
  } else if (bytes < (int64_t{1} << 20)) {
    std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
  }
  return text;
}

}  // namespace corvalith::report
