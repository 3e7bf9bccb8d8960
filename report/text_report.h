// The report as text for a terminal or a mail to the administrator: a table per day, per
// domain and per user, the filter's databases and the latest rescued mails with the features
// that pushed them. Everything read from the history or a mail has its control characters
// escaped, so that a line of the report is its own.
#ifndef CORVALITH_REPORT_TEXT_REPORT_H_
#define CORVALITH_REPORT_TEXT_REPORT_H_

#include <string>

#include "report/report.h"

namespace corvalith::report {

std::string ReportText(const Report& report);

}  // namespace corvalith::report

#endif  // CORVALITH_REPORT_TEXT_REPORT_H_
