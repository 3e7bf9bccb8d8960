#include "bench/engine_feedback.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>

#include "bench/engine_whitelist.h"

namespace corvalith::bench {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's days_from_civil).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

// The Date: field's value, unfolded lines not needed: the corpus writes it on one line.
std::string DateField(const std::string& header) {
  for (size_t start = 0; start < header.size();) {
    size_t end = header.find('\n', start);
    if (end == std::string::npos) end = header.size();
    if (end - start > 5 && strncasecmp(header.c_str() + start, "date:", 5) == 0) {
      return header.substr(start + 5, end - start - 5);
    }
    start = end + 1;
  }
  return "";
}

// Seconds since the epoch of an RFC 5322 date ("Tue, 20 Aug 2002 13:05:01 +0100"); the
// obsolete zone names count as UTC.
std::optional<int64_t> DateSeconds(const std::string& header) {
  const std::string value = DateField(header);
  const char* p = value.c_str();
  const size_t digit = value.find_first_of("0123456789");
  const size_t comma = value.find(',');
  if (comma != std::string::npos && comma < digit) p += comma + 1;
  int day = 0, year = 0, hour = 0, minute = 0, second = 0, used = 0;
  char month_name[4] = {};
  if (std::sscanf(p, "%d %3s %d %d:%d%n", &day, month_name, &year, &hour, &minute, &used) != 5) {
    return std::nullopt;
  }
  p += used;
  if (*p == ':') {
    int more = 0;
    if (std::sscanf(p, ":%d%n", &second, &more) == 1) p += more;
  }
  static const char kMonths[] = "janfebmaraprmayjunjulaugsepoctnovdec";
  int month = 0;
  for (int m = 0; m < 12; ++m) {
    if (strncasecmp(month_name, kMonths + 3 * m, 3) == 0) month = m + 1;
  }
  if (month == 0 || day < 1 || day > 31) return std::nullopt;
  if (year < 50) year += 2000;
  if (year < 100) year += 1900;
  while (*p == ' ') ++p;
  int64_t offset = 0;
  if ((*p == '+' || *p == '-') && std::strlen(p) >= 5) {
    const int zone = std::atoi(std::string(p + 1, 4).c_str());
    offset = (zone / 100 * 60 + zone % 100) * 60 * (*p == '-' ? -1 : 1);
  }
  return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset;
}

}  // namespace

std::string Figure::Text(const char* format) const {
  if (values.empty()) return "-";
  double sum = 0;
  for (double v : values) sum += v;
  char mean[32], worst[32];
  std::snprintf(mean, sizeof mean, format, sum / values.size());
  std::snprintf(worst, sizeof worst, format, *std::max_element(values.begin(), values.end()));
  return std::string(mean) + " / " + worst;
}

int ParseDaily(const std::string& text) {
  if (text.rfind("daily:", 0) != 0) return 0;
  return std::max(0, std::atoi(text.c_str() + 6));
}

std::vector<size_t> DateOrder(const std::vector<CorpusMail>& mails, size_t* undated) {
  std::vector<std::pair<int64_t, size_t>> dated;
  std::vector<size_t> rest;
  for (size_t i = 0; i < mails.size(); ++i) {
    if (auto seconds = DateSeconds(mails[i].header)) {
      dated.emplace_back(*seconds, i);
    } else {
      rest.push_back(i);
    }
  }
  std::stable_sort(dated.begin(), dated.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<size_t> order;
  for (const auto& [seconds, i] : dated) order.push_back(i);
  order.insert(order.end(), rest.begin(), rest.end());
  *undated = rest.size();
  return order;
}

TimeHalves SplitByDate(const std::vector<CorpusMail>& mails) {
  const size_t spam =
      std::count_if(mails.begin(), mails.end(), [](const CorpusMail& m) { return m.spam; });
  const size_t older[2] = {(mails.size() - spam) / 2, spam / 2};  // [spam]
  size_t seen[2] = {0, 0};
  size_t undated = 0;
  TimeHalves halves;
  for (size_t i : DateOrder(mails, &undated)) {
    const bool is_spam = mails[i].spam;
    (seen[is_spam]++ < older[is_spam] ? halves.older : halves.newer).push_back(mails[i]);
  }
  return halves;
}

ReplayMails ReplayMails::Choose(const std::vector<CorpusMail>& mails, int pretrain,
                                bool time_order) {
  ReplayMails chosen;
  int taught[2] = {0, 0};  // [spam]
  for (size_t i : DateOrder(mails, &chosen.undated)) {
    int& count = taught[mails[i].spam];
    if (count < pretrain) {
      ++count;
      chosen.taught.push_back(i);
    } else {
      chosen.pool.push_back(i);
    }
  }
  chosen.limit = pretrain > 0 ? kPretrainedReplayMails : mails.size();
  if (pretrain > 0) {
    std::printf(
        "pretrained: the oldest %d ham and %d spam by date taught first, then each order's "
        "first %zu other mails, replayed again by an untrained user\n",
        taught[0], taught[1], chosen.limit);
  } else if (!time_order) {
    // The whole split as loaded, so that a seed shuffles it as it always has.
    for (size_t i = 0; i < chosen.pool.size(); ++i) chosen.pool[i] = i;
  }
  return chosen;
}

std::vector<size_t> ReplayMails::Order(bool time_order, uint64_t seed) const {
  std::vector<size_t> order;
  if (time_order) {
    order = pool;
  } else {
    for (size_t i : ShuffledOrder(pool.size(), seed)) order.push_back(pool[i]);
  }
  if (order.size() > limit) order.resize(limit);
  return order;
}

void ReplayMails::Pretrain(Filter& filter, const std::vector<CorpusMail>& mails) const {
  for (size_t i : taught) filter.Learn(0, mails[i], mails[i].spam);
}

std::vector<Day> ReplayDays(Filter& filter, const std::vector<CorpusMail>& mails,
                            const std::vector<size_t>& order, int per_day, double corrects,
                            uint64_t seed, bool list_false_positives) {
  std::mt19937_64 random(seed ^ 0x9e3779b97f4a7c15ULL);
  std::uniform_real_distribution<double> share(0.0, 1.0);
  std::vector<Day> days;
  std::vector<size_t> pending = order;
  for (;;) {
    // The day's mail: the next mails of the order until it holds its count of each class; mail
    // of a class already full waits, in its order, for the next day.
    const int wanted = days.empty() ? kFirstDayMails : per_day;
    int ham = 0, spam = 0;
    std::vector<size_t> today, waiting;
    size_t i = 0;
    for (; i < pending.size() && (ham < wanted || spam < wanted); ++i) {
      int& count = mails[pending[i]].spam ? spam : ham;
      (count < wanted ? today : waiting).push_back(pending[i]);
      if (count < wanted) ++count;
    }
    if (ham < wanted || spam < wanted) return days;  // a class ran out: no whole day left
    waiting.insert(waiting.end(), pending.begin() + i, pending.end());
    pending = std::move(waiting);
    Day day;
    std::vector<size_t> mistakes;
    for (size_t m : today) {
      double score = 0;
      const bool verdict = filter.Classify(0, mails[m], &score);
      if (verdict == mails[m].spam) continue;
      verdict ? ++day.fp : ++day.fn;
      if (verdict && list_false_positives) {
        std::printf("    false positive on day %zu, score %.3f: %s\n", days.size() + 1, score,
                    mails[m].path.c_str());
      }
      mistakes.push_back(m);
    }
    for (size_t m : mistakes) {
      if (share(random) >= corrects) continue;
      filter.Correct(0, mails[m], mails[m].spam);
      ++day.corrected;
    }
    days.push_back(day);
  }
}

void FeedbackColumn::Add(const std::vector<Day>& days) {
  int worst = 0, fps = 0, fns = 0;
  for (size_t d = first_day; d < days.size(); ++d) {
    worst = std::max(worst, days[d].fp);
    fps += days[d].fp;
    fns += days[d].fn;
  }
  worst_day_fp.values.push_back(worst);
  fp.values.push_back(fps);
  fn.values.push_back(fns);
  errors.values.push_back(fps + fns);
}

void PrintDays(const char* name, const std::vector<Day>& days) {
  std::string fp, fn, corrected;
  for (const Day& day : days) {
    fp += " " + std::to_string(day.fp);
    fn += " " + std::to_string(day.fn);
    corrected += " " + std::to_string(day.corrected);
  }
  std::printf("  %s, %zu days\n    FP by day:%s\n    FN by day:%s\n    corrected:%s\n", name,
              days.size(), fp.c_str(), fn.c_str(), corrected.c_str());
}

void PrintFeedbackTable(const std::vector<FeedbackColumn>& columns,
                        const std::vector<FeedbackColumn>& untrained, const char* over) {
  std::printf("\nmean / worst %s, %s\n%-30s", over,
              columns.empty() || columns[0].first_day == 0 ? "all days" : "after day 1", "");
  for (const FeedbackColumn& c : columns) std::printf(" %22s", c.name.c_str());
  std::printf("\n");
  const std::pair<const char*, Figure FeedbackColumn::*> rows[] = {
      {"worst day's false positives", &FeedbackColumn::worst_day_fp},
      {"false positives", &FeedbackColumn::fp},
      {"false negatives", &FeedbackColumn::fn},
      {"errors", &FeedbackColumn::errors}};
  auto print_row = [](const char* label, const std::vector<FeedbackColumn>& row_columns,
                      Figure FeedbackColumn::*figure) {
    std::printf("%-30s", label);
    for (const FeedbackColumn& c : row_columns) {
      std::printf(" %22s", (c.*figure).Text("%.1f").c_str());
    }
    std::printf("\n");
  };
  for (const auto& [label, figure] : rows) print_row(label, columns, figure);
  if (untrained.empty()) return;
  for (const auto& [label, figure] : rows) {
    if (figure != &FeedbackColumn::worst_day_fp) {
      print_row(("untrained: " + std::string(label)).c_str(), untrained, figure);
    }
  }
}

void RunFeedback(const std::vector<CorpusMail>& mails, const FeedbackOptions& options,
                 const std::vector<NamedFilter>& filters) {
  std::printf(
      "feedback: a first day of %d ham + %d spam, then %d + %d a day, all classified "
      "before the day's corrections; the user corrects %.0f%% of the mistakes\n",
      kFirstDayMails, kFirstDayMails, options.per_day, options.per_day, 100 * options.corrects);
  const bool pretrained = options.pretrain > 0;
  const ReplayMails chosen = ReplayMails::Choose(mails, options.pretrain, options.time_order);
  std::vector<FeedbackColumn> columns, untrained;
  for (const NamedFilter& filter : filters) {
    columns.push_back({filter.name, pretrained ? 0u : 1u, {}, {}, {}, {}});
    untrained.push_back(columns.back());
  }
  const int orders = options.time_order ? 1 : options.orders;
  for (int o = 0; o < orders; ++o) {
    const uint64_t seed = options.first_seed + o;
    const std::vector<size_t> order = chosen.Order(options.time_order, seed);
    if (options.time_order) {
      std::printf("the order of the Date: fields, one order only (%zu mails undated, last)",
                  chosen.undated);
    } else {
      std::printf("order %d (seed %llu)", o + 1, static_cast<unsigned long long>(seed));
    }
    if (pretrained) {
      const size_t spam =
          std::count_if(order.begin(), order.end(), [&](size_t i) { return mails[i].spam; });
      std::printf(", %zu ham and %zu spam", order.size() - spam, spam);
    }
    std::printf("\n");
    for (size_t f = 0; f < filters.size(); ++f) {
      auto replay = [&](bool pretrain) {
        std::unique_ptr<Filter> engine = filters[f].make();
        AutoWhiteListed filter(*engine, options.whitelist);
        if (pretrain) chosen.Pretrain(filter, mails);
        return ReplayDays(filter, mails, order, options.per_day, options.corrects, seed,
                          options.list_false_positives);
      };
      std::vector<Day> days = replay(/*pretrain=*/true);
      columns[f].Add(days);
      PrintDays(filters[f].name.c_str(), days);
      if (!pretrained) continue;
      days = replay(/*pretrain=*/false);
      untrained[f].Add(days);
      PrintDays((filters[f].name + ", untrained").c_str(), days);
    }
  }
  const std::string over = options.time_order ? "of the one order by date"
                                              : "over " + std::to_string(orders) + " orders";
  PrintFeedbackTable(columns, pretrained ? untrained : std::vector<FeedbackColumn>(), over.c_str());
}

}  // namespace corvalith::bench
