#include "report/html_report.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "logging/control_characters.h"
#include "mailhost/explanation_text.h"
#include "platform/failure.h"

namespace corvalith::report {

namespace {

constexpr char kStyle[] = R"css(
body { font-family: sans-serif; margin: 1rem; color: #222; max-width: 60rem; }
h1 { font-size: 1.4rem; } h2 { font-size: 1.15rem; margin-top: 2rem; }
.scroll { overflow-x: auto; }
table { border-collapse: collapse; font-size: 0.9rem; }
th, td { padding: 0.2rem 0.6rem; border-bottom: 1px solid #ddd; white-space: nowrap; }
th { text-align: left; }
td.number, th.number { text-align: right; font-variant-numeric: tabular-nums; }
svg.chart { width: 100%; height: auto; max-width: 48rem; display: block; }
svg text { font-size: 11px; fill: #555; }
svg .grid { stroke: #ddd; stroke-width: 1; }
rect.spam, .key.spam { fill: #c0392b; background: #c0392b; }
rect.ham, .key.ham { fill: #27ae60; background: #27ae60; }
rect.none, .key.none { fill: #95a5a6; background: #95a5a6; }
rect.false-positive, .key.false-positive { fill: #e67e22; background: #e67e22; }
rect.false-negative, .key.false-negative { fill: #8e44ad; background: #8e44ad; }
.rate-line { fill: none; stroke: #2c3e50; stroke-width: 2; }
circle.point { fill: #2c3e50; }
svg.share { width: 6rem; height: 0.8rem; display: block; }
rect.share-rest { fill: #dfe6e9; }
.key { display: inline-block; width: 0.8rem; height: 0.8rem; margin: 0 0.3rem 0 1rem; }
.mail { border-top: 1px solid #ccc; padding-top: 0.5rem; }
.features td.feature { white-space: normal; overflow-wrap: anywhere; }
.mail dt { font-weight: bold; } .mail dd { margin: 0 0 0.3rem 1rem; overflow-wrap: anywhere; }
.note { color: #666; }
@media print {
  body { margin: 0; max-width: none; font-size: 10pt; color: #000; }
  .scroll { overflow: visible; }
  th, td { white-space: normal; }
  section, .mail { break-inside: avoid; }
}
)css";

std::string Fixed(double value, const char* format) { return host::FormatNumber(value, format); }

std::string Cell(const std::string& column, const std::string& escaped_text, bool number) {
  return "<td class=\"" + column + (number ? " number" : "") + "\">" + escaped_text + "</td>";
}
std::string NumberCell(const std::string& column, int64_t value) {
  return Cell(column, std::to_string(value), true);
}

std::string HeaderRow(const std::vector<std::string>& names, size_t text_columns) {
  std::string row = "<tr>";
  for (size_t i = 0; i < names.size(); ++i) {
    row += i < text_columns ? "<th>" : "<th class=\"number\">";
    row += names[i] + "</th>";
  }
  return row + "</tr>";
}

std::string Table(const std::string& id, const std::string& header, const std::string& rows) {
  return "<div class=\"scroll\"><table id=\"" + id + "\"><thead>" + header + "</thead><tbody>" +
         rows + "</tbody></table></div>\n";
}

// A chart's drawing area in the viewBox's units.
constexpr double kWidth = 640, kHeight = 220, kLeft = 44, kRight = 8, kTop = 10, kBottom = 28;
constexpr double kMaxBarWidth = 28;

std::string Svg(const std::string& label, const std::string& body) {
  return "<svg class=\"chart\" role=\"img\" aria-label=\"" + HtmlEscape(label) +
         "\" viewBox=\"0 0 " + Fixed(kWidth, "%.0f") + " " + Fixed(kHeight, "%.0f") +
         "\" preserveAspectRatio=\"xMidYMid meet\" xmlns=\"http://www.w3.org/2000/svg\">" + body +
         "</svg>\n";
}

// The top of a chart's scale: the least 1, 2 or 5 times a power of ten at or above `value`,
// so that the grid's labels are round numbers.
double RoundTop(double value) {
  double power = 1e-6;
  while (power * 10 <= value) power *= 10;
  for (double step : {1.0, 2.0, 5.0, 10.0}) {
    if (step * power >= value) return step * power;
  }
  return 10 * power;
}

// Horizontal grid lines at 0, half and the top of the scale, labelled by `label`.
std::string Grid(double top, const std::function<std::string(double)>& label) {
  std::string grid;
  for (double share : {0.0, 0.5, 1.0}) {
    const double y = kHeight - kBottom - share * (kHeight - kTop - kBottom);
    grid += "<line class=\"grid\" x1=\"" + Fixed(kLeft, "%.1f") + "\" x2=\"" +
            Fixed(kWidth - kRight, "%.1f") + "\" y1=\"" + Fixed(y, "%.1f") + "\" y2=\"" +
            Fixed(y, "%.1f") + "\"/><text x=\"" + Fixed(kLeft - 4, "%.1f") + "\" y=\"" +
            Fixed(y + 4, "%.1f") + "\" text-anchor=\"end\">" + label(top * share) + "</text>";
  }
  return grid;
}

// The x of a day's slot and the labels below the axis: at most about 10, so they never overlap.
double SlotWidth(size_t days) { return (kWidth - kLeft - kRight) / static_cast<double>(days); }
double SlotX(size_t index, size_t days) { return kLeft + SlotWidth(days) * index; }

std::string DayLabels(const std::vector<DayCounts>& days) {
  const size_t step = std::max<size_t>(1, (days.size() + 9) / 10);
  std::string labels;
  for (size_t i = 0; i < days.size(); i += step) {
    const double x = SlotX(i, days.size()) + SlotWidth(days.size()) / 2;
    labels += "<text x=\"" + Fixed(x, "%.1f") + "\" y=\"" + Fixed(kHeight - 10, "%.1f") +
              "\" text-anchor=\"middle\">" + DayText(days[i].day).substr(5) + "</text>";
  }
  return labels;
}

struct Series {
  const char* css_class;
  const char* name;
  int64_t DayCounts::*count;
};

// One group of stacked bars a day, the series from the bottom up.
std::string StackedBars(const std::string& label, const std::vector<DayCounts>& days,
                        const std::vector<Series>& series) {
  int64_t top = 1;
  for (const DayCounts& d : days) {
    int64_t sum = 0;
    for (const Series& s : series) sum += d.*s.count;
    top = std::max(top, sum);
  }
  const double scale = RoundTop(static_cast<double>(top));
  const double plot = kHeight - kTop - kBottom;
  std::string body = Grid(scale, [](double v) { return Fixed(v, "%g"); });
  for (size_t i = 0; i < days.size(); ++i) {
    const std::string day = DayText(days[i].day);
    // Bars of a few days are no wider than a month's would be.
    const double width = std::min(SlotWidth(days.size()) * 0.7, kMaxBarWidth);
    const double x = SlotX(i, days.size()) + (SlotWidth(days.size()) - width) / 2;
    double base = kHeight - kBottom;
    body += "<g class=\"day\" data-day=\"" + day + "\">";
    for (const Series& s : series) {
      const int64_t count = days[i].*s.count;
      const double height = plot * static_cast<double>(count) / scale;
      base -= height;
      body += std::string("<rect class=\"bar ") + s.css_class + "\" data-day=\"" + day +
              "\" data-count=\"" + std::to_string(count) + "\" x=\"" + Fixed(x, "%.2f") +
              "\" y=\"" + Fixed(base, "%.2f") + "\" width=\"" + Fixed(width, "%.2f") +
              "\" height=\"" + Fixed(height, "%.2f") + "\"><title>" + day + ": " +
              std::to_string(count) + " " + s.name + "</title></rect>";
    }
    body += "</g>";
  }
  std::string keys;
  for (const Series& s : series) {
    keys += std::string("<span class=\"key ") + s.css_class + "\"></span>" + s.name;
  }
  return Svg(label, body + DayLabels(days)) + "<p class=\"legend\">" + keys + "</p>\n";
}

std::string RateChart(const std::vector<DayCounts>& days) {
  double highest = 0.01;
  for (const DayCounts& d : days) highest = std::max(highest, d.ErrorRate().value_or(0));
  const double top = RoundTop(highest);
  const double plot = kHeight - kTop - kBottom;
  std::string line, points;
  for (size_t i = 0; i < days.size(); ++i) {
    const std::optional<double> rate = days[i].ErrorRate();
    if (!rate) continue;
    const std::string day = DayText(days[i].day);
    const double x = SlotX(i, days.size()) + SlotWidth(days.size()) / 2;
    const double y = kHeight - kBottom - plot * *rate / top;
    line += Fixed(x, "%.2f") + "," + Fixed(y, "%.2f") + " ";
    points += "<circle class=\"point\" data-day=\"" + day + "\" data-rate=\"" +
              Fixed(*rate, "%.4f") + "\" cx=\"" + Fixed(x, "%.2f") + "\" cy=\"" + Fixed(y, "%.2f") +
              "\" r=\"3.5\"><title>" + day + ": " + PercentText(rate) + "</title></circle>";
  }
  const std::string body = Grid(top, [](double v) { return PercentText(v); }) +
                           "<polyline class=\"rate-line\" points=\"" + line + "\"/>" + points;
  return Svg("error rate per day", body + DayLabels(days));
}

std::string DaysTable(const HistorySummary& history) {
  auto row = [](const std::string& label, const DayCounts& d, const std::string& day) {
    return "<tr" + (day.empty() ? std::string() : " data-day=\"" + day + "\"") + ">" +
           Cell("day", label, false) + NumberCell("mails", d.mails()) + NumberCell("spam", d.spam) +
           NumberCell("ham", d.ham) + NumberCell("none", d.none) + NumberCell("forced", d.forced) +
           NumberCell("false-positives", d.false_positives) +
           NumberCell("false-negatives", d.false_negatives) +
           Cell("error-rate", PercentText(d.ErrorRate()), true) + "</tr>";
  };
  std::string rows;
  for (const DayCounts& d : history.days) rows += row(DayText(d.day), d, DayText(d.day));
  rows += row("total", history.Total(), "");
  return Table("days",
               HeaderRow({"day (UTC)", "mails", "spam", "ham", "none", "trusted", "false +",
                          "false −", "error rate"},
                         1),
               rows);
}

// The spam share as a small bar beside the figures, the name in its tooltip.
std::string ShareBar(const MailboxCounts& m) {
  const double share = m.SpamShare().value_or(0);
  return "<td class=\"spam-share-bar\"><svg class=\"share\" viewBox=\"0 0 100 10\" "
         "preserveAspectRatio=\"none\" xmlns=\"http://www.w3.org/2000/svg\"><title>" +
         HtmlEscape(m.name) + ": " + PercentText(m.SpamShare()) +
         " spam</title><rect class=\"share-rest\" width=\"100\" height=\"10\"/>"
         "<rect class=\"spam\" width=\"" +
         Fixed(share * 100, "%.2f") + "\" height=\"10\"/></svg></td>";
}

std::string NamesTable(const std::string& id, const std::string& heading,
                       const std::vector<MailboxCounts>& list) {
  std::string rows;
  for (const MailboxCounts& m : list) {
    rows += "<tr data-name=\"" + HtmlEscape(m.name) + "\">" +
            Cell("name", HtmlEscape(m.name), false) + NumberCell("mails", m.mails) +
            Cell("spam-share", PercentText(m.SpamShare()), true) + ShareBar(m) +
            NumberCell("corrections", m.corrections) +
            NumberCell("trusted-senders", m.trusted_senders) + "</tr>";
  }
  return Table(id,
               HeaderRow({heading, "mails", "spam share", "", "corrections", "trusted senders"}, 1),
               rows);
}

std::string DatabasesTable(const std::vector<DatabaseFigures>& databases) {
  std::string rows;
  for (const DatabaseFigures& d : databases) {
    rows += "<tr>" + Cell("name", HtmlEscape(d.name), false);
    if (!d.problem.empty()) {
      rows += "<td colspan=\"3\">cannot be read: " + HtmlEscape(d.problem) + "</td>";
    } else if (!d.exists) {
      rows += "<td colspan=\"3\" class=\"note\">not created yet</td>";
    } else {
      rows += NumberCell("ham", d.ham) + NumberCell("spam", d.spam) +
              Cell("size", SizeText(d.bytes), true);
    }
    rows += "</tr>";
  }
  return Table("databases", HeaderRow({"database", "ham", "spam", "size"}, 1), rows);
}

std::string Features(const char* heading, const std::vector<FeatureContribution>& features) {
  std::string text = std::string("<dt>") + heading + "</dt><dd>";
  if (features.empty()) return text + "none</dd>";
  text += "<table class=\"features\">";
  for (const FeatureContribution& f : features) {
    text += "<tr>" + Cell("weight", Fixed(f.total(), "%+.3f"), true) +
            Cell("feature", HtmlEscape(f.name), false) + "</tr>";
  }
  return text + "</table></dd>";
}

std::string FalsePositives(const Report& report) {
  const std::vector<FalsePositive>& mails = report.history.latest_false_positives;
  if (mails.empty()) return "<p class=\"note\">None in these days.</p>\n";
  std::string html;
  for (size_t i = 0; i < mails.size(); ++i) {
    const FalsePositive& m = mails[i];
    html += "<div class=\"mail\"><dl>";
    html += "<dt>when</dt><dd>" + TimeText(m.time) + " UTC</dd>";
    html += "<dt>mailbox</dt><dd>" + HtmlEscape(m.mailbox) + "</dd>";
    html += "<dt>where</dt><dd>" + HtmlEscape(m.folder) + " / " + HtmlEscape(m.item) + "</dd>";
    html += "<dt>from</dt><dd class=\"sender\">" + HtmlEscape(m.sender) + "</dd>";
    html += "<dt>subject</dt><dd class=\"subject\">" + HtmlEscape(m.subject) + "</dd>";
    if (m.score) html += "<dt>score on delivery</dt><dd>" + Fixed(*m.score, "%.4f") + "</dd>";
    const std::optional<Explanation>& e = report.explanations[i];
    if (e) {
      html += "<dt>score now</dt><dd>" + Fixed(e->spam_probability, "%.4f") + "</dd>";
      html += Features("towards spam", e->towards_spam) + Features("towards ham", e->towards_ham);
    } else {
      html += "<dt>features</dt><dd class=\"note\">no longer in the store</dd>";
    }
    html += "</dl></div>\n";
  }
  return html;
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
  const std::string plain = EscapeControlCharacters(text);
  std::string escaped;
  escaped.reserve(plain.size());
  for (char c : plain) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

std::string ReportPage(const Report& report) {
  const HistorySummary& history = report.history;
  const std::string period = DayText(history.first_day) + " to " + DayText(history.today);
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "style-src 'unsafe-inline'\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>What the filter did, " +
      period + "</title>\n<style>" + kStyle + "</style></head>\n<body>\n<h1>What the filter did, " +
      period +
      "</h1>\n"
      "<p class=\"note\">UTC days; the last " +
      std::to_string(report.days) + ".</p>\n";
  if (history.days.empty()) {
    page += "<p id=\"no-mail\">No mail in these days.</p>\n";
  } else {
    page += "<section id=\"mails\"><h2>Mails per day</h2>\n" +
            StackedBars("mails per day by verdict", history.days,
                        {{"spam", "spam", &DayCounts::spam},
                         {"ham", "ham", &DayCounts::ham},
                         {"none", "no verdict", &DayCounts::none}}) +
            "</section>\n<section id=\"corrections\"><h2>Corrections per day</h2>\n" +
            StackedBars("corrections per day", history.days,
                        {{"false-positive", "false positives", &DayCounts::false_positives},
                         {"false-negative", "false negatives", &DayCounts::false_negatives}}) +
            "</section>\n<section id=\"error-rate\"><h2>Error rate users saw</h2>\n"
            "<p class=\"note\">Corrections per mail judged, each day.</p>\n" +
            RateChart(history.days) + "</section>\n<section id=\"per-user\"><h2>Per user</h2>\n" +
            NamesTable("users", "mailbox", history.users) +
            "</section>\n<section id=\"per-domain\"><h2>Per domain</h2>\n" +
            NamesTable("domains", "domain", history.domains) +
            "</section>\n<section id=\"per-day\"><h2>Per day</h2>\n" + DaysTable(history) +
            "</section>\n";
  }
  page += "<section id=\"filter-databases\"><h2>What the filter has learned</h2>\n" +
          DatabasesTable(report.databases) +
          "</section>\n<section id=\"false-positives\"><h2>Latest false positives</h2>\n"
          "<p class=\"note\">Mails users took out of the junk folder, newest first, with the "
          "features that push them now.</p>\n" +
          FalsePositives(report) + "</section>\n</body></html>\n";
  return page;
}

void WritePrivateFile(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw Failure("cannot write " + path + ": " + std::strerror(errno), errno);
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw Failure("cannot write " + path + ": " + std::strerror(error), error);
    }
    written += static_cast<size_t>(n);
  }
  if (::close(fd) != 0) throw Failure("cannot write " + path + ": " + std::strerror(errno), errno);
}

}  // namespace corvalith::report
