// The whitelist in front of the engine, as `corvalith init` sets the filter up (UseWhiteList
// and AutoWhiteList on): when the user moves a mail out of the junk folder its sender joins the
// user's whitelist, and that sender's later mail is ham without the engine being asked. The
// replays measure the engine alone unless asked for this, which is what an administrator runs.
#ifndef CORVALITH_BENCH_ENGINE_WHITELIST_H_
#define CORVALITH_BENCH_ENGINE_WHITELIST_H_

#include <set>
#include <string>
#include <utility>

#include "bench/engine_feedback.h"

namespace corvalith::bench {

// Passes every call through to `filter` unless `on`.
class AutoWhiteListed : public Filter {
 public:
  AutoWhiteListed(Filter& filter, bool on) : filter_(filter), on_(on) {}

  // A listed sender's mail is ham with the lowest score, not registered.
  bool Classify(int user, const CorpusMail& mail, double* score) override;
  // A rescue lists the sender; a listed sender's mail moved into junk is taught as spam, as the
  // engine learns a mail it never registered, and the sender stays listed, as in the filter.
  void Correct(int user, const CorpusMail& mail, bool spam) override;
  void Learn(int user, const CorpusMail& mail, bool spam) override;

 private:
  Filter& filter_;
  const bool on_;
  std::set<std::pair<int, std::string>> listed_;
  std::set<std::pair<int, const CorpusMail*>> trusted_;  // mails passed without the engine
};

}  // namespace corvalith::bench

#endif  // CORVALITH_BENCH_ENGINE_WHITELIST_H_
