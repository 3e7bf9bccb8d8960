// `corvalith history`: what the filter did with each delivery and move, newest first, from the
// verdict history (history/verdict_history.h). Only reads; the file is never trusted, so every
// text is escaped again for the table or the JSON line it goes into.
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "cli/command.h"
#include "history/verdict_history.h"
#include "logging/control_characters.h"
#include "mailhost/mail_host.h"
#include "platform/text.h"
#include "platform/unicode.h"

namespace corvalith::host {

namespace {

constexpr int64_t kDefaultLimit = 100;

// Seconds since the epoch of "YYYY-MM-DD" (its midnight) or "YYYY-MM-DDTHH:MM:SS" with an
// optional "Z", both UTC; nothing for anything else.
std::optional<int64_t> ParseUtcTime(const std::string& text) {
  std::tm tm{};
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char rest = 0;
  int fields = 0;
  if (text.size() == 10) {
    fields = std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &year, &month, &day, &rest);
    if (fields != 3) return std::nullopt;
  } else if (text.size() == 19 || (text.size() == 20 && text.back() == 'Z')) {
    const std::string clock = text.substr(0, 19);
    fields = std::sscanf(clock.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &year, &month, &day, &hour,
                         &minute, &second, &rest);
    if (fields != 6) return std::nullopt;
  } else {
    return std::nullopt;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool digit = c >= '0' && c <= '9';
    if (!digit && c != '-' && c != ':' && c != 'T' && c != 'Z') return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) {
    return std::nullopt;
  }
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  const int64_t seconds = timegm(&tm);
  // timegm carries 31 February into March: such a date is no date.
  if (tm.tm_mday != day) return std::nullopt;
  return seconds;
}

std::string UtcTime(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// Valid UTF-8 without a control character, whatever the file holds.
std::string Clean(std::string_view text) {
  return history::CleanHistoryText(text, std::string_view::npos);
}

// The cleaned text as a column `width` characters wide: cut to end in "…", and padded with
// blanks unless it is the last. A character is a code point: what a terminal shows as one,
// for most scripts.
std::string TextColumn(std::string_view raw, size_t width, bool pad = true) {
  const std::string text = Clean(raw);
  std::string out;
  size_t characters = 0;
  for (size_t pos = 0; pos < text.size();) {
    const size_t length = std::max<size_t>(1, Utf8SequenceLength(text, pos));
    if (characters + 1 == width && pos + length < text.size()) {
      out += "\xE2\x80\xA6";  // …
      ++characters;
      break;
    }
    out.append(text, pos, length);
    pos += length;
    ++characters;
  }
  if (pad) out.append(width > characters ? width - characters : 0, ' ');
  return out;
}

std::string ScoreText(const std::optional<double>& score) {
  if (!score) return "-";
  char text[16];
  std::snprintf(text, sizeof text, "%.3f", *score);
  return text;
}

std::string ReasonText(const history::VerdictRow& row) {
  return row.trusted.empty() ? row.reason : row.reason + " (" + row.trusted + ")";
}

Json RowJson(const history::VerdictRow& row) {
  Json object{{"time", UtcTime(row.time)},
              {"mailbox", row.mailbox},
              {"folder", row.folder},
              {"item", row.item},
              {"event", row.event},
              {"verdict", row.verdict},
              {"marker", row.marker},
              {"reason", row.reason},
              {"trusted", row.trusted},
              {"moved", row.moved},
              {"score", nullptr},
              {"earlier_verdict", nullptr},
              {"correction", row.correction},
              {"message_id", row.message_id},
              {"sender", row.sender},
              {"subject", row.subject}};
  if (row.score) object["score"] = *row.score;
  if (row.earlier_verdict) object["earlier_verdict"] = *row.earlier_verdict;
  return object;
}

// One line of the table; the last column is not padded, and an empty one leaves no blanks.
std::string RowText(const std::string& time, const std::string& mailbox,
                    const std::string& folder, const std::string& verdict,
                    const std::string& reason, const std::string& score,
                    const std::string& correction, const std::string& sender,
                    const std::string& subject) {
  std::string line = TextColumn(time, 20) + "  " + TextColumn(mailbox, 24) + "  " +
                     TextColumn(folder, 14) + "  " + TextColumn(verdict, 7) + "  " +
                     TextColumn(reason, 16) + "  " + TextColumn(score, 5) + "  " +
                     TextColumn(correction, 14) + "  " + TextColumn(sender, 28) + "  " +
                     TextColumn(subject, 60, /*pad=*/false);
  line.erase(line.find_last_not_of(' ') + 1);
  return line;
}

history::HistoryFilter FilterOf(Context& c) {
  history::HistoryFilter filter;
  if (!c.line.positional.empty()) {
    const std::string& who = c.line.positional[0];
    if (who.starts_with('@')) {
      if (who.size() == 1 || HasControlCharacter(who)) {
        throw UsageError{"'" + EscapeControlCharacters(who) + "' names no domain"};
      }
      filter.mailbox = who;
    } else {
      const MailboxAddress address = ParseMailboxAddress(who);
      // Rows name the mailbox as it was added: the spelling of any case finds them while the
      // mailbox exists, the spelling as typed afterwards.
      MailHost host(c.home, c.construct_string);
      filter.mailbox = host.FindMailbox(address).value_or(address).Text();
    }
  }
  if (c.line.Has("--since")) {
    filter.since = ParseUtcTime(c.line.Option("--since"));
    if (!filter.since) {
      throw UsageError{"--since takes YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS (UTC), not '" +
                       EscapeControlCharacters(c.line.Option("--since")) + "'"};
    }
  }
  if (c.line.Has("--spam") && c.line.Has("--ham")) {
    throw UsageError{"--spam and --ham exclude each other"};
  }
  if (c.line.Has("--spam")) filter.verdict = "spam";
  if (c.line.Has("--ham")) filter.verdict = "ham";
  filter.corrections_only = c.line.Has("--corrections");
  filter.limit = kDefaultLimit;
  if (c.line.Has("--limit")) {
    std::optional<long> limit = WholeNumber(c.line.Option("--limit"));
    if (!limit || *limit < 0) {
      throw UsageError{"--limit takes a whole number, 0 for every row, not '" +
                       EscapeControlCharacters(c.line.Option("--limit")) + "'"};
    }
    filter.limit = *limit;
  }
  return filter;
}

}  // namespace

int RunHistory(Context& c) {
  ExpectPositional(c.line, c.command, 0, 1);
  const history::HistoryFilter filter = FilterOf(c);
  const std::string path = c.home.HistoryPath();
  std::unique_ptr<history::VerdictHistory> history;
  std::vector<history::VerdictRow> rows;
  try {
    history = history::VerdictHistory::OpenForReading(path);
    if (history) rows = history->Query(filter);
  } catch (const Failure& failure) {
    throw Failure("the verdict history " + path + " cannot be read: " + failure.description(),
                  failure.number());
  }
  if (!history) {
    c.output.Text("no history yet: " + path +
                  " does not exist (each delivery and move adds to it)");
    return kExitOk;
  }
  if (!c.output.json()) {
    c.output.Text(RowText("TIME (UTC)", "MAILBOX", "FOLDER", "VERDICT", "REASON", "SCORE",
                          "CORRECTION", "SENDER", "SUBJECT"));
  }
  for (const history::VerdictRow& row : rows) {
    c.output.Emit(RowJson(row),
                  RowText(UtcTime(row.time), row.mailbox, row.folder, row.verdict, ReasonText(row),
                          ScoreText(row.score), row.correction, row.sender, row.subject));
  }
  return kExitOk;
}

}  // namespace corvalith::host
