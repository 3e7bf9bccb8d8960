// The counting model: per slot, how many registered ham and spam mails held the feature, turned
// into a spam probability per feature and combined over the mail as the classic statistical
// filters do (Robinson's smoothed per-feature probabilities, Fisher's chi-square combining).
//
// Why beside the linear model (model.h): its state is counts, and a registration or its relearn
// moves each count of the mail by exactly one. A day's corrections made all at once therefore
// move it exactly as far as they would one by one, where the linear model, trained to a margin
// on each correction, overshoots along the features all of those mails share. The two models
// also err on different mails, so their sum ranks better than either.
//
// A feature the user's own counts do not know takes the site's probability for it as its
// prior, so a new user starts from what all users taught. Pure functions; thread-compatible.
#ifndef CORVALITH_CLASSIFIER_COUNTING_MODEL_H_
#define CORVALITH_CLASSIFIER_COUNTING_MODEL_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvalith {

struct CountingOptions {
  // How many mails' worth of weight the prior has against a feature's own counts.
  double strength = 0.45;
  // The same for the site's probability as the prior of a user's feature: what all users'
  // mail says of a feature is worth ten mails of the user's own, so one mail of a new user
  // does not outweigh thousands of the site's.
  double site_strength = 10;
  // Features whose probability lies closer than this to one half are no evidence.
  double min_deviation = 0.1;
  // The most extreme features only: a long mail is not more certain for its length.
  size_t max_features = 30;
};

// The ham and spam counts of one slot.
struct SlotCounts {
  uint32_t ham = 0, spam = 0;
};

// The mails a table's counts were taken from.
struct CountedMails {
  uint32_t ham = 0, spam = 0;
};

// The smoothed spam probability of a feature seen in `counts` of the `mails`, with `prior`
// for a feature never seen.
double FeatureSpamProbability(SlotCounts counts, CountedMails mails, double prior,
                              const CountingOptions& options);

// Fisher's combining of the features' spam probabilities: how much more the mail looks like
// spam than like ham, from -1 (surely ham) to +1 (surely spam); 0 without evidence.
double CombineProbabilities(std::vector<double> probabilities, const CountingOptions& options);

// The counts of the mail's slots on one table: the slots ascending, a count pair per slot.
struct MailCounts {
  const std::vector<uint32_t>* slots = nullptr;
  std::vector<SlotCounts> counts;
  CountedMails mails;
};

// The count pairs of `slots` from a table laid out as ham, spam, ham, spam, ... by slot.
std::vector<SlotCounts> CountsOfSlots(const std::vector<uint32_t>& slots, const uint32_t* table);

// The mail's counting evidence (CombineProbabilities) from the user's counts, with the site's
// as each feature's prior when `site` is given. The site's table is finer: a site slot shifted
// right by `site_shift` is the user slot of the same feature.
double CountingEvidence(const MailCounts& user, const MailCounts* site, int site_shift,
                        const CountingOptions& options);

}  // namespace corvalith

#endif  // CORVALITH_CLASSIFIER_COUNTING_MODEL_H_
