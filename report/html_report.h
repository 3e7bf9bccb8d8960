// The report as one self-contained HTML page: no script, no request for anything (a Content
// Security Policy forbids every load, should a page ever hold markup it should not), the
// style inline, the charts inline SVG scaled by their viewBox. It reads on a phone (the
// viewport set, wide tables scroll sideways) and prints (a print style sheet).
//
// Everything from the history and the mail (addresses, subjects, folders, feature names) is
// untrusted: it is HTML-escaped wherever it goes, text, attribute or SVG <title> alike.
//
// The charts' elements carry stable classes and data attributes for whoever checks the page:
//   <g class="day" data-day="YYYY-MM-DD"> per day, holding
//     <rect class="bar spam|ham|none" data-day=… data-count=N>               (mails chart)
//     <rect class="bar false-positive|false-negative" data-day=… data-count=N> (corrections)
//   <circle class="point" data-day=… data-rate=R>  per day with judged mail (error rate chart)
// and the tables' cells the class of their column (<td class="mails">…).
#ifndef CORVALITH_REPORT_HTML_REPORT_H_
#define CORVALITH_REPORT_HTML_REPORT_H_

#include <string>
#include <string_view>

#include "report/report.h"

namespace corvalith::report {

// `text` as HTML text or a quoted attribute's value: & < > " ' as character references and
// control characters escaped as the log escapes them (\x1B).
std::string HtmlEscape(std::string_view text);

std::string ReportPage(const Report& report);

// Writes `bytes` to the file at `path`: a new file is created with mode 0600 (the page holds
// addresses and subjects), an existing one is replaced in content and keeps its mode. Throws
// Failure.
void WritePrivateFile(const std::string& path, const std::string& bytes);

}  // namespace corvalith::report

#endif  // CORVALITH_REPORT_HTML_REPORT_H_
