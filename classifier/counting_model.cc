#include "classifier/counting_model.h"

#include <algorithm>
#include <cmath>

namespace corvalith {

namespace {

// Keeps the logarithms finite whatever the counts say.
constexpr double kProbabilityFloor = 1e-6;

// The probability that a chi-square variable of 2*half_degrees degrees of freedom exceeds
// `x2`, summed in logarithms so that a mail of many strong features neither underflows to 0
// nor loses the terms that matter.
double ChiSquareTail(double x2, size_t half_degrees) {
  const double m = x2 / 2;
  if (m <= 0) return 1;
  const double log_m = std::log(m);
  // A running log-sum-exp: the sum is kept relative to the largest term met so far.
  double log_term = -m, largest = -m, sum = 0;
  for (size_t i = 0; i < half_degrees; ++i) {
    if (i > 0) log_term += log_m - std::log(static_cast<double>(i));
    if (log_term > largest) {
      sum *= std::exp(largest - log_term);
      largest = log_term;
    }
    sum += std::exp(log_term - largest);
  }
  return std::min(1.0, std::exp(largest + std::log(sum)));
}

}  // namespace

double FeatureSpamProbability(SlotCounts counts, CountedMails mails, double prior,
                              const CountingOptions& options) {
  const double n = static_cast<double>(counts.ham) + counts.spam;
  // Without mails of both classes no rate compares with another: after a user's first spam
  // every feature of it would look like spam, the greeting and the user's own address too.
  if (n == 0 || mails.ham == 0 || mails.spam == 0) return prior;
  // Frequencies within each class, so that a user who gets ten times more ham than spam
  // does not find every feature hammy.
  const double spam_rate = counts.spam / static_cast<double>(mails.spam);
  const double ham_rate = counts.ham / static_cast<double>(mails.ham);
  const double p = spam_rate / (spam_rate + ham_rate);
  return (options.strength * prior + n * p) / (options.strength + n);
}

double CombineProbabilities(std::vector<double> probabilities, const CountingOptions& options) {
  auto weak = [&](double p) { return std::fabs(p - 0.5) < options.min_deviation; };
  probabilities.erase(std::remove_if(probabilities.begin(), probabilities.end(), weak),
                      probabilities.end());
  if (probabilities.empty()) return 0;
  if (probabilities.size() > options.max_features) {
    auto stronger = [](double a, double b) { return std::fabs(a - 0.5) > std::fabs(b - 0.5); };
    std::nth_element(probabilities.begin(), probabilities.begin() + options.max_features,
                     probabilities.end(), stronger);
    probabilities.resize(options.max_features);
  }
  double log_spam = 0, log_ham = 0;
  for (double p : probabilities) {
    p = std::clamp(p, kProbabilityFloor, 1 - kProbabilityFloor);
    log_spam += std::log(p);
    log_ham += std::log(1 - p);
  }
  // Each side asks how unlikely its product is if the probabilities were random; the
  // difference is near 0 when both or neither are.
  const double spamminess = 1 - ChiSquareTail(-2 * log_ham, probabilities.size());
  const double hamminess = 1 - ChiSquareTail(-2 * log_spam, probabilities.size());
  return spamminess - hamminess;
}

std::vector<SlotCounts> CountsOfSlots(const std::vector<uint32_t>& slots, const uint32_t* table) {
  std::vector<SlotCounts> counts;
  counts.reserve(slots.size());
  for (uint32_t slot : slots) counts.push_back({table[2 * size_t{slot}], table[2 * size_t{slot} + 1]});
  return counts;
}

double CountingEvidence(const MailCounts& user, const MailCounts* site, int site_shift,
                        const CountingOptions& options) {
  std::vector<double> probabilities;
  const std::vector<uint32_t>& user_slots = *user.slots;
  if (site == nullptr) {
    probabilities.reserve(user_slots.size());
    for (size_t i = 0; i < user_slots.size(); ++i) {
      probabilities.push_back(FeatureSpamProbability(user.counts[i], user.mails, 0.5, options));
    }
    return CombineProbabilities(std::move(probabilities), options);
  }
  // Both slot lists ascend, and shifting keeps the order: one walk pairs them.
  const std::vector<uint32_t>& site_slots = *site->slots;
  probabilities.reserve(site_slots.size());
  CountingOptions as_prior = options;
  as_prior.strength = options.site_strength;
  size_t u = 0;
  for (size_t i = 0; i < site_slots.size(); ++i) {
    const uint32_t user_slot = site_slots[i] >> site_shift;
    while (u < user_slots.size() && user_slots[u] < user_slot) ++u;
    const double prior = FeatureSpamProbability(site->counts[i], site->mails, 0.5, options);
    const bool known = u < user_slots.size() && user_slots[u] == user_slot;
    probabilities.push_back(
        known ? FeatureSpamProbability(user.counts[u], user.mails, prior, as_prior) : prior);
  }
  return CombineProbabilities(std::move(probabilities), options);
}

}  // namespace corvalith
