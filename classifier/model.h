// The linear model: hashed binary features, each mail's vector of unit length, one weight per
// table slot, and online logistic-regression training only while a mail sits inside a margin
// around the decision threshold ("thick threshold" training).
//
// The header and the body each get a fixed share of the vector's length, spread evenly over
// their distinct slots, so that a long body cannot drown the header's evidence, nor a long
// header the body's. A training step of gain g adds g times its value to each weight of the
// mail, which moves the mail's own score by exactly g (the vector has unit length). So all
// training of one mail is described by a single number, its gain: the ledger keeps it, and a
// correction subtracts it to undo the earlier training exactly.
//
// Two models add up to a verdict: the site model, trained by every user of the data
// directory, and the user's own, trained on what the site does not already explain (its
// training works on the sum). Pure functions; thread-compatible.
#ifndef CORVALITH_CLASSIFIER_MODEL_H_
#define CORVALITH_CLASSIFIER_MODEL_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "classifier/counting_model.h"
#include "classifier/features.h"

namespace corvalith {

struct ModelOptions {
  FeatureOptions features;
  // The header's share of a mail vector's squared length; the body has the rest. 0 or less:
  // no fixed shares, every slot the same value.
  double header_share = 0.6;
  // Logistic steps of this size per pass, at most max_passes passes per training call.
  double learning_rate = 2.0;
  int max_passes = 8;
  // Train spam while its score is below the threshold plus this margin (in logit units).
  double train_margin = 1.0;
  // Ham is trained to a wider margin than spam: the cost of the two errors is not the same.
  double ham_margin = 3.5;
  // A mail is spam when its score exceeds this; above 0 so that doubtful mail stays ham,
  // as a false positive costs a user far more than a missed spam.
  double spam_threshold = 1.5;
  // Whether Classify trains on its own verdict inside the margin (reversed if corrected).
  bool self_train = true;
  // No spam verdict until the user's database holds this many mails of each class: a new
  // user's first few corrections are not yet evidence enough to reject anybody's mail.
  int min_class_mails = 1;
  // The counting model (counting_model.h) adds its evidence, from -1 to +1, times this
  // weight to the score; 0 leaves it out of the verdict (it still counts).
  CountingOptions counting;
  double counting_weight = 4;
  // The linear models' sum enters the verdict only up to this far from 0 either way (0: no
  // limit), so that confident counts always outweigh it: a batch of corrections all one way
  // can still carry the linear models far along the features those mails share.
  double linear_limit = 3;
};

// The score a verdict is taken on: the linear models' sum (site and user), within the
// options' limit, plus the counting model's share.
double FusedScore(double linear, double counting, const ModelOptions& options);

// The counting model's share of the score: its evidence from the user's counts, with the
// site's as priors when given (CountingEvidence), times the options' weight.
double CountingScore(const MailCounts& user, const MailCounts* site, int site_shift,
                     const ModelOptions& options);

// The verdict for a score, given how many ham and spam mails the database holds.
bool IsSpam(double score, int64_t ham_mails, int64_t spam_mails, const ModelOptions& options);

// A mail mapped onto a table of 2^bits slots: distinct slots, ascending, and their values.
struct MailVector {
  std::vector<uint32_t> slots;
  std::vector<float> values;
};

// `features` onto 2^table_bits slots; a slot hit from header and body counts for the header.
MailVector Vectorize(const MailFeatures& features, int table_bits, double header_share);

// The mail's score in logit units: the sum of its weights times the feature value.
double MailScore(const MailVector& mail, const float* table);

double Probability(double score);

// The gain that trains a mail of the given class from `score` towards the margin; zero when
// the mail is already beyond it.
double TrainingGain(double score, bool spam, const ModelOptions& options);

// The site model's own training on a mail it scores `site_score`, given the verdict of the
// sum: towards the site's own verdict, and only when the sum agrees with it. A user whose own
// model has learned to call everything ham (or spam) so never steers what the site teaches
// everybody else; and a young site that calls ham what the user's model already knows as spam
// is not taught that spam as ham mail after mail, which would outgrow the user's training
// and let the spam through.
double SiteSelfTrainingGain(double site_score, bool verdict, const ModelOptions& options);

// Whether the site model refuses a user's training (Learn, Relearn) of a mail as `spam`:
// when the site holds it beyond its margin on the other side. One user's word does not unlearn
// what the site learned from all users; that user's own model takes the correction instead.
// This bounds what a user who moves all their spam into the inbox (or all ham into the junk
// folder) does to others.
bool SiteVetoes(double site_score, bool spam, const ModelOptions& options);

// Adds gain times its value to each of the mail's weights.
void ApplyGain(const MailVector& mail, double gain, float* table);

// A 64-bit digest of a mail, the key under which the ledger remembers it.
uint64_t MailDigest(std::string_view header, std::string_view body);

}  // namespace corvalith

#endif  // CORVALITH_CLASSIFIER_MODEL_H_
