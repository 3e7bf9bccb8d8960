#include "report/text_report.h"

#include "logging/control_characters.h"
#include "mailhost/explanation_text.h"

namespace corvalith::report {

namespace {

// A column of at least `width` bytes: a longer name is written whole (an address must stay
// readable), and pushes the rest of its row to the right.
std::string Left(const std::string& text, size_t width) {
  return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

std::string Right(const std::string& text, size_t width) {
  return text.size() >= width ? " " + text : std::string(width - text.size(), ' ') + text;
}

std::string Number(int64_t value, size_t width) { return Right(std::to_string(value), width); }

std::string DayRow(const std::string& label, const DayCounts& d) {
  return Left(label, 11) + Number(d.mails(), 7) + Number(d.spam, 7) + Number(d.ham, 7) +
         Number(d.none, 6) + Number(d.forced, 9) + Number(d.false_positives, 7) +
         Number(d.false_negatives, 7) + Right(PercentText(d.ErrorRate()), 12) + "\n";
}

std::string Days(const HistorySummary& history) {
  std::string text = "day          mails   spam    ham  none  trusted  false+ false-  error rate\n";
  for (const DayCounts& d : history.days) text += DayRow(DayText(d.day), d);
  return text + DayRow("total", history.Total());
}

std::string PerName(const char* heading, const std::vector<MailboxCounts>& list) {
  std::string text = Left(heading, 32) + " mails  spam share  corrections  trusted senders\n";
  for (const MailboxCounts& m : list) {
    text += Left(EscapeControlCharacters(m.name), 32) + Number(m.mails, 6) +
            Right(PercentText(m.SpamShare()), 12) + Number(m.corrections, 13) +
            Number(m.trusted_senders, 17) + "\n";
  }
  return text;
}

std::string Databases(const std::vector<DatabaseFigures>& databases) {
  std::string text = Left("database", 32) + "      ham     spam        size\n";
  for (const DatabaseFigures& d : databases) {
    text += Left(EscapeControlCharacters(d.name), 32);
    if (!d.problem.empty()) {
      text += "cannot be read: " + EscapeControlCharacters(d.problem) + "\n";
    } else if (!d.exists) {
      text += "not created yet\n";
    } else {
      text += Number(d.ham, 9) + Number(d.spam, 9) + Right(SizeText(d.bytes), 12) + "\n";
    }
  }
  return text;
}

std::string FalsePositives(const Report& report) {
  const std::vector<FalsePositive>& mails = report.history.latest_false_positives;
  if (mails.empty()) return "latest false positives: none\n";
  std::string text = "latest false positives (rescued from the junk folder), newest first:\n";
  for (size_t i = 0; i < mails.size(); ++i) {
    const FalsePositive& m = mails[i];
    text += "\n" + TimeText(m.time) + "  " + EscapeControlCharacters(m.mailbox) + "  " +
            EscapeControlCharacters(m.folder) + "/" + EscapeControlCharacters(m.item) + "\n";
    text += "  from:    " + EscapeControlCharacters(m.sender) + "\n";
    text += "  subject: " + EscapeControlCharacters(m.subject) + "\n";
    if (m.score) text += "  delivered with score " + host::FormatNumber(*m.score, "%.4f") + "\n";
    const std::optional<Explanation>& explanation = report.explanations[i];
    text += explanation ? host::ExplanationText(*explanation).substr(1) + "\n"
                        : "  no longer in the store: no features\n";
  }
  return text;
}

}  // namespace

std::string ReportText(const Report& report) {
  const HistorySummary& history = report.history;
  std::string text = "What the filter did, " + DayText(history.first_day) + " to " +
                     DayText(history.today) + " (UTC days; the last " +
                     std::to_string(report.days) + ")\n\n";
  if (history.days.empty()) {
    text += "no mail in these days\n\n";
  } else {
    text += Days(history) + "\n" + PerName("domain", history.domains) + "\n" +
            PerName("mailbox", history.users) + "\n";
  }
  return text + Databases(report.databases) + "\n" + FalsePositives(report);
}

}  // namespace corvalith::report
