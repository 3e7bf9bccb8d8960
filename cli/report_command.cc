// `corvalith report`: what the filter did over the last days, from the verdict history, as
// text on stdout and with --html as a page for a browser. Only reads the home.
#include <ctime>

#include "cli/command.h"
#include "config/constructor_string.h"
#include "logging/control_characters.h"
#include "platform/text.h"
#include "report/html_report.h"
#include "report/json_report.h"
#include "report/report.h"
#include "report/text_report.h"

namespace corvalith::host {

namespace {

// Ten years: longer than any history is kept.
constexpr long kMaxDays = 3650;

int Days(const CommandLine& line) {
  if (!line.Has("--days")) return report::kDefaultDays;
  const std::string& text = line.Option("--days");
  const std::optional<long> days = WholeNumber(text);
  if (!days || *days < 1 || *days > kMaxDays) {
    throw UsageError{"--days is a number from 1 to " + std::to_string(kMaxDays) + ", not '" +
                     EscapeControlCharacters(text) + "'"};
  }
  return static_cast<int>(*days);
}

}  // namespace

int RunReport(Context& c) {
  ExpectPositional(c.line, c.command, 0, 0);
  const int days = Days(c.line);
  MailHost host(c.home, c.construct_string);
  std::optional<report::Report> made = report::MakeReport(
      c.home.HistoryPath(), host, DataDirectoryFromConstructString(c.construct_string), days,
      static_cast<int64_t>(std::time(nullptr)));
  if (!made) {
    c.output.Emit(Json{{"ok", true}, {"history", nullptr}},
                  "no verdict history yet (" + c.home.HistoryPath() +
                      "): the filter records one as mail is delivered and moved");
    return kExitOk;
  }
  if (c.line.Has("--html")) {
    report::WritePrivateFile(c.line.Option("--html"), report::ReportPage(*made));
  }
  if (c.output.json()) {
    Json answer{{"ok", true}};
    answer.update(report::ReportJson(*made));
    c.output.Emit(answer, "");
  } else {
    c.out << report::ReportText(*made);
  }
  return kExitOk;
}

}  // namespace corvalith::host
