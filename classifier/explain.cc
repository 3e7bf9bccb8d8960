#include "classifier/explain.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "classifier/features.h"
#include "classifier/site_model.h"
#include "classifier/user_database.h"
#include "platform/com.h"
#include "platform/failure.h"

namespace corvalith {

namespace {

// Weight times value of each slot of the mail on one table.
std::unordered_map<uint32_t, double> SlotContributions(const MailVector& vector,
                                                       const float* table) {
  std::unordered_map<uint32_t, double> contributions;
  for (size_t i = 0; i < vector.slots.size(); ++i) {
    const double c = double{table[vector.slots[i]]} * vector.values[i];
    contributions[vector.slots[i]] = std::isfinite(c) ? c : 0.0;
  }
  return contributions;
}

}  // namespace

Explanation ExplainMail(const std::string& key, const std::string& header, const std::string& body,
                        size_t count, const EngineOptions& options) {
  if (key.empty()) throw Failure("The classifier database key is empty", E_INVALIDARG);
  const ModelOptions& o = options.model;
  const MailFeatures features = ExtractFeatures(header, body, o.features, /*with_names=*/true);
  Explanation e;
  e.threshold = o.spam_threshold;
  std::unordered_map<uint32_t, double> user, site;
  int64_t trained[2] = {0, 0};
  const MailVector user_vector = Vectorize(features, UserDatabase::kTableBits, o.header_share);
  const MailVector site_vector = Vectorize(features, SiteModel::kTableBits, o.header_share);
  MailCounts user_counts{&user_vector.slots, std::vector<SlotCounts>(user_vector.slots.size()), {}};
  MailCounts site_counts{&site_vector.slots, {}, {}};
  if (std::unique_ptr<UserDatabase> db = UserDatabase::Open(key, /*create=*/false)) {
    UserDatabase::Lock lock(db.get(), /*exclusive=*/false);
    user = SlotContributions(user_vector, db->weights());
    user_counts.counts = CountsOfSlots(user_vector.slots, db->counts());
    user_counts.mails = db->counted_mails();
    trained[0] += db->ham_mails();
    trained[1] += db->spam_mails();
  }
  const std::string site_path = SiteModelPath(key, options.site_scope);
  if (!site_path.empty()) {
    try {
      if (std::unique_ptr<SiteModel> model = SiteModel::Open(site_path, /*create=*/false)) {
        SiteModel::Lock lock(model.get(), /*exclusive=*/false);
        site = SlotContributions(site_vector, model->weights());
        site_counts.counts = CountsOfSlots(site_vector.slots, model->counts());
        site_counts.mails = model->counted_mails();
        trained[0] += model->trained_mails(false);
        trained[1] += model->trained_mails(true);
        e.site_model = site_path;
      }
    } catch (const Failure& failure) {
      e.site_failure = failure.description();
    }
  }
  // Each slot counts once, for the first feature that lands on it: a repeated word, or two
  // features that share a slot, are one weight.
  std::vector<FeatureContribution> all;
  std::unordered_set<uint32_t> user_seen, site_seen;
  std::unordered_map<std::string, size_t> by_name;
  for (size_t i = 0; i < features.hashes.size(); ++i) {
    const uint32_t user_slot =
        static_cast<uint32_t>(features.hashes[i] >> (64 - UserDatabase::kTableBits));
    const uint32_t site_slot =
        static_cast<uint32_t>(features.hashes[i] >> (64 - SiteModel::kTableBits));
    FeatureContribution c{features.names[i], 0, 0};
    if (auto it = user.find(user_slot); it != user.end() && user_seen.insert(user_slot).second) {
      c.user = it->second;
    }
    if (auto it = site.find(site_slot); it != site.end() && site_seen.insert(site_slot).second) {
      c.site = it->second;
    }
    auto [named, fresh] = by_name.try_emplace(c.name, all.size());
    if (fresh) {
      all.push_back(c);
    } else {
      all[named->second].user += c.user;
      all[named->second].site += c.site;
    }
    e.user_score += c.user;
    e.site_score += c.site;
  }
  e.counting_score = CountingScore(user_counts, e.site_model.empty() ? nullptr : &site_counts,
                                   kSiteToUserSlotShift, o);
  const double score = FusedScore(e.user_score + e.site_score, e.counting_score, o);
  e.spam_probability = Probability(score - o.spam_threshold);
  e.spam = IsSpam(score, trained[0], trained[1], o);
  std::sort(all.begin(), all.end(), [](const FeatureContribution& a, const FeatureContribution& b) {
    return a.total() > b.total();
  });
  for (const FeatureContribution& c : all) {
    if (c.total() > 0 && e.towards_spam.size() < count) e.towards_spam.push_back(c);
  }
  for (auto it = all.rbegin(); it != all.rend(); ++it) {
    if (it->total() < 0 && e.towards_ham.size() < count) e.towards_ham.push_back(*it);
  }
  return e;
}

}  // namespace corvalith
