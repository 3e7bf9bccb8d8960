// The linear model: hashed binary features, each mail's vector scaled to unit length, one
// weight per table slot, and online logistic-regression training only while a mail sits
// inside a margin around the decision threshold ("thick threshold" training).
//
// Because every feature of a mail carries the same value 1/sqrt(n) and slots are distinct,
// one training step moves every weight of the mail by the same amount g/sqrt(n) and the
// mail's own score by exactly g. So all training of one mail is described by a single
// number, its gain: the ledger keeps it, and a correction subtracts it to undo the earlier
// training exactly. Pure functions; thread-compatible.
#ifndef CORVALITH_CLASSIFIER_MODEL_H_
#define CORVALITH_CLASSIFIER_MODEL_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "classifier/features.h"

namespace corvalith {

struct ModelOptions {
  FeatureOptions features;
  // Logistic steps of this size per pass, at most max_passes passes per training call.
  double learning_rate = 2.0;
  int max_passes = 8;
  // Train while the score is on the wrong side of +/- this margin (in logit units).
  double train_margin = 2.0;
  // Ham is trained to a wider margin than spam: the cost of the two errors is not the same.
  double ham_margin = 3.5;
  // A mail is spam when its score exceeds this; above 0 so that doubtful mail stays ham,
  // as a false positive costs a user far more than a missed spam.
  double spam_threshold = 1.25;
  // Whether Classify trains on its own verdict inside the margin (reversed if corrected).
  bool self_train = true;
  // No spam verdict until the user's database holds this many mails of each class: a new
  // user's first few corrections are not yet evidence enough to reject anybody's mail.
  int min_class_mails = 1;
};

// The verdict for a score, given how many ham and spam mails the database holds.
bool IsSpam(double score, int64_t ham_mails, int64_t spam_mails, const ModelOptions& options);

// A mail mapped onto a table of 2^bits slots: distinct slots and the common feature value.
struct MailVector {
  std::vector<uint32_t> slots;
  float value = 0;
};

MailVector Vectorize(const std::vector<uint64_t>& features, int table_bits);

// The mail's score in logit units: the sum of its weights times the feature value.
double MailScore(const MailVector& mail, const float* table);

double Probability(double score);

// The gain that trains a mail of the given class from `score` towards the margin; zero when
// the mail is already beyond it.
double TrainingGain(double score, bool spam, const ModelOptions& options);

// Adds gain*value to each of the mail's weights.
void ApplyGain(const MailVector& mail, double gain, float* table);

// A 64-bit digest of a mail, the key under which the ledger remembers it.
uint64_t MailDigest(std::string_view header, std::string_view body);

}  // namespace corvalith

#endif  // CORVALITH_CLASSIFIER_MODEL_H_
