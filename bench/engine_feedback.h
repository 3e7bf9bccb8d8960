// The feedback people really give, for the engine replay (bench/engine_replay.cc): mail comes in
// days -- a first day of 20 ham + 20 spam, then days of N ham + N spam -- and all of a day's mail
// is classified and registered, as the filter does on delivery, before the user corrects the
// day's mistakes at once (a share of them when they do not correct everything). Per day: the
// false positives and false negatives.
//
// Also what the replays share: the filter interface, a figure's mean and worst over orders, and
// the mail's time: the halves of the split by date and the oldest mail taught before a replay.
#ifndef CORVALITH_BENCH_ENGINE_FEEDBACK_H_
#define CORVALITH_BENCH_ENGINE_FEEDBACK_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bench/engine_corpus.h"

namespace corvalith::bench {

// A filter as the replays drive it.
class Filter {
 public:
  virtual ~Filter() = default;
  // Classifies and registers the mail for the user; `score` is higher for spam.
  virtual bool Classify(int user, const CorpusMail& mail, double* score) = 0;
  // The user moved the mail: it is `spam`.
  virtual void Correct(int user, const CorpusMail& mail, bool spam) = 0;
  // Teaches the user the mail, not seen before, as `spam` or ham, as sorted mail is taught.
  virtual void Learn(int user, const CorpusMail& mail, bool spam) = 0;
};

// Mean and worst of one figure over the orders.
struct Figure {
  std::vector<double> values;
  std::string Text(const char* format) const;
};

// Mail counts of the first day, per class.
constexpr int kFirstDayMails = 20;

// "daily:N" with N of 1 or more; 0 when `text` is not that.
int ParseDaily(const std::string& text);

// The mails in the order of their Date: fields, as they arrived; those without a date the
// parser reads keep their place among each other after all dated mail. *undated: how many.
std::vector<size_t> DateOrder(const std::vector<CorpusMail>& mails, size_t* undated);

// The mails split in time: each class at its own median date, so that either half holds half
// the ham and half the spam (undated mail counting as the newest). Each half in date order.
struct TimeHalves {
  std::vector<CorpusMail> older, newer;
};
TimeHalves SplitByDate(const std::vector<CorpusMail>& mails);

// How many mails a pretrained user's replay runs over.
constexpr size_t kPretrainedReplayMails = 500;

// The mails a replay's orders take, and with pretraining (`pretrain` of 1 or more, one user)
// the mails taught first: the oldest `pretrain` ham and `pretrain` spam by date. The orders then
// take the first kPretrainedReplayMails of the other mails, shuffled or in date order.
struct ReplayMails {
  std::vector<size_t> taught;  // in date order
  std::vector<size_t> pool;    // the orders' mails, in date order, or as loaded for shuffles only
  size_t limit = 0;            // of each order, the first `limit` are replayed
  size_t undated = 0;          // mails without a date the parser reads, last in date order

  // Prints what is taught first, when anything is.
  static ReplayMails Choose(const std::vector<CorpusMail>& mails, int pretrain, bool time_order);
  // Each order: the pool as it is (`time_order`) or shuffled with `seed`.
  std::vector<size_t> Order(bool time_order, uint64_t seed) const;
  // Teaches user 0 the mails of `taught`, in their order.
  void Pretrain(Filter& filter, const std::vector<CorpusMail>& mails) const;
};

struct Day {
  int fp = 0, fn = 0, corrected = 0;
};

// Replays the mails of `order` day by day for one user (0): per_day ham and per_day spam a day
// (kFirstDayMails of each on the first), the day's mail in the order's sequence, until the
// spam or the ham runs out. Each mistake is corrected with probability `corrects`, drawn from
// a generator of its own for `seed`. With `list_false_positives`, prints each ham the filter
// put into junk, with its day and score: what a change of the filter should look at first.
std::vector<Day> ReplayDays(Filter& filter, const std::vector<CorpusMail>& mails,
                            const std::vector<size_t>& order, int per_day, double corrects,
                            uint64_t seed, bool list_false_positives);

// One filter's figures over the orders, from day `first_day` (0: all days) on.
struct FeedbackColumn {
  std::string name;
  size_t first_day = 1;
  Figure worst_day_fp, fp, fn, errors;
  void Add(const std::vector<Day>& days);
};

struct FeedbackOptions {
  int per_day = 0;
  double corrects = 1.0;
  bool time_order = false;  // the one order of the Date: fields instead of the shuffles
  int orders = 8;
  uint64_t first_seed = 1;
  // Ham and spam taught first (SplitForPretraining); the days then come from the rest's first
  // kPretrainedReplayMails of each order, replayed again by an untrained user to compare.
  int pretrain = 0;
  bool list_false_positives = false;
  bool whitelist = false;  // rescued senders trusted from then on (bench/engine_whitelist.h)
};

// A new filter with empty databases.
using FilterMaker = std::function<std::unique_ptr<Filter>()>;

struct NamedFilter {
  std::string name;
  FilterMaker make;
};

// The day-by-day replay of the filters on the same orders, printing each order's days and then
// the table.
void RunFeedback(const std::vector<CorpusMail>& mails, const FeedbackOptions& options,
                 const std::vector<NamedFilter>& filters);

// One order's false positives, false negatives and corrections, day by day.
void PrintDays(const char* name, const std::vector<Day>& days);

// The mean / worst table of the columns side by side; then, when `untrained` is not empty (one
// column for each of `columns`), the untrained user's false positives, negatives and errors.
void PrintFeedbackTable(const std::vector<FeedbackColumn>& columns,
                        const std::vector<FeedbackColumn>& untrained, const char* over);

}  // namespace corvalith::bench

#endif  // CORVALITH_BENCH_ENGINE_FEEDBACK_H_
