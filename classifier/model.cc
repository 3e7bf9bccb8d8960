#include "classifier/model.h"

#include <algorithm>
#include <cmath>

#include "platform/hash.h"

namespace corvalith {

MailVector Vectorize(const MailFeatures& features, int table_bits, double header_share) {
  // The slot in the high bits, the group (0 header, 1 body) in the lowest: sorting puts a
  // slot's header occurrence first, so that it is the one kept.
  std::vector<uint64_t> keyed;
  keyed.reserve(features.hashes.size());
  for (size_t i = 0; i < features.hashes.size(); ++i) {
    const uint64_t slot = features.hashes[i] >> (64 - table_bits);
    keyed.push_back(slot << 1 | (i >= features.header_count ? 1 : 0));
  }
  std::sort(keyed.begin(), keyed.end());
  MailVector mail;
  mail.slots.reserve(keyed.size());
  std::vector<uint8_t> group;
  group.reserve(keyed.size());
  size_t count[2] = {0, 0};
  for (uint64_t k : keyed) {
    const uint32_t slot = static_cast<uint32_t>(k >> 1);
    if (!mail.slots.empty() && mail.slots.back() == slot) continue;
    mail.slots.push_back(slot);
    group.push_back(k & 1);
    ++count[k & 1];
  }
  float value[2];
  if (count[0] == 0 || count[1] == 0 || header_share <= 0) {
    // One part only (an empty body): it has the whole length. No share at all: every slot
    // the same value, as measured against in classifier/README.md.
    value[0] = value[1] =
        static_cast<float>(1.0 / std::sqrt(std::max<size_t>(mail.slots.size(), 1)));
  } else {
    value[0] = static_cast<float>(std::sqrt(header_share / count[0]));
    value[1] = static_cast<float>(std::sqrt((1 - header_share) / count[1]));
  }
  mail.values.reserve(mail.slots.size());
  for (uint8_t g : group) mail.values.push_back(value[g]);
  return mail;
}

double MailScore(const MailVector& mail, const float* table) {
  double score = 0;
  for (size_t i = 0; i < mail.slots.size(); ++i) score += table[mail.slots[i]] * mail.values[i];
  // A damaged table must not turn into a verdict of NaN; treat it as no evidence.
  return std::isfinite(score) ? score : 0.0;
}

double Probability(double score) { return 1.0 / (1.0 + std::exp(-score)); }

double TrainingGain(double score, bool spam, const ModelOptions& options) {
  const double y = spam ? 1.0 : -1.0;
  const double target = spam ? 1.0 : 0.0;
  double gain = 0;
  for (int pass = 0; pass < options.max_passes; ++pass) {
    if (y * (score - options.spam_threshold) >=
        (spam ? options.train_margin : options.ham_margin)) {
      break;
    }
    double step = options.learning_rate * (target - Probability(score));
    score += step;
    gain += step;
  }
  return gain;
}

double SiteSelfTrainingGain(double site_score, bool verdict, const ModelOptions& options) {
  const bool site_verdict = site_score > options.spam_threshold;
  return site_verdict == verdict ? TrainingGain(site_score, site_verdict, options) : 0.0;
}

bool SiteVetoes(double site_score, bool spam, const ModelOptions& options) {
  return spam ? site_score < options.spam_threshold - options.ham_margin
              : site_score > options.spam_threshold + options.train_margin;
}

double CountingScore(const MailCounts& user, const MailCounts* site, int site_shift,
                     const ModelOptions& options) {
  if (options.counting_weight == 0) return 0;
  return options.counting_weight * CountingEvidence(user, site, site_shift, options.counting);
}

double FusedScore(double linear, double counting, const ModelOptions& options) {
  if (options.linear_limit > 0) {
    linear = std::clamp(linear, -options.linear_limit, options.linear_limit);
  }
  return linear + counting;
}

bool IsSpam(double score, int64_t ham_mails, int64_t spam_mails, const ModelOptions& options) {
  if (ham_mails < options.min_class_mails || spam_mails < options.min_class_mails) return false;
  return score > options.spam_threshold;
}

void ApplyGain(const MailVector& mail, double gain, float* table) {
  if (gain == 0) return;
  for (size_t i = 0; i < mail.slots.size(); ++i) {
    table[mail.slots[i]] += static_cast<float>(gain * mail.values[i]);
  }
}

uint64_t MailDigest(std::string_view header, std::string_view body) {
  uint64_t h = HashBytes(header, 0x6a09e667f3bcc908ULL);
  h = HashCombine(h ^ header.size(), body);
  return h ^ Mix64(body.size());
}

}  // namespace corvalith
