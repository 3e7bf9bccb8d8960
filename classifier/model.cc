#include "classifier/model.h"

#include <algorithm>
#include <cmath>

#include "classifier/hash.h"

namespace corvalith {

MailVector Vectorize(const std::vector<uint64_t>& features, int table_bits) {
  MailVector mail;
  mail.slots.reserve(features.size());
  for (uint64_t h : features) mail.slots.push_back(static_cast<uint32_t>(h >> (64 - table_bits)));
  std::sort(mail.slots.begin(), mail.slots.end());
  mail.slots.erase(std::unique(mail.slots.begin(), mail.slots.end()), mail.slots.end());
  mail.value = mail.slots.empty() ? 0.0f : static_cast<float>(1.0 / std::sqrt(mail.slots.size()));
  return mail;
}

double MailScore(const MailVector& mail, const float* table) {
  double sum = 0;
  for (uint32_t slot : mail.slots) sum += table[slot];
  double score = sum * mail.value;
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

bool IsSpam(double score, int64_t ham_mails, int64_t spam_mails, const ModelOptions& options) {
  if (ham_mails < options.min_class_mails || spam_mails < options.min_class_mails) return false;
  return score > options.spam_threshold;
}

void ApplyGain(const MailVector& mail, double gain, float* table) {
  if (gain == 0) return;
  const float delta = static_cast<float>(gain * mail.value);
  for (uint32_t slot : mail.slots) table[slot] += delta;
}

uint64_t MailDigest(std::string_view header, std::string_view body) {
  uint64_t h = HashBytes(header, 0x6a09e667f3bcc908ULL);
  h = HashCombine(h ^ header.size(), body);
  return h ^ Mix64(body.size());
}

}  // namespace corvalith
