#include "bench/engine_whitelist.h"

#include <limits>

namespace corvalith::bench {

bool AutoWhiteListed::Classify(int user, const CorpusMail& mail, double* score) {
  if (on_ && !mail.sender.empty() && listed_.count({user, mail.sender}) != 0) {
    trusted_.insert({user, &mail});
    *score = -std::numeric_limits<double>::infinity();
    return false;
  }
  return filter_.Classify(user, mail, score);
}

void AutoWhiteListed::Correct(int user, const CorpusMail& mail, bool spam) {
  if (trusted_.erase({user, &mail}) != 0) {
    if (spam) filter_.Learn(user, mail, true);
    return;
  }
  filter_.Correct(user, mail, spam);
  if (on_ && !spam && !mail.sender.empty()) listed_.insert({user, mail.sender});
}

void AutoWhiteListed::Learn(int user, const CorpusMail& mail, bool spam) {
  filter_.Learn(user, mail, spam);
}

}  // namespace corvalith::bench
