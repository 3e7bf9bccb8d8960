// Why the engine scores a mail as it does, for people (`corvalith score --explain`): the
// score, and the features that pushed most towards spam and towards ham, each by a readable
// name that says where it came from ("subject:viagra", "link host example.com", "word free",
// "sender: from domain differs from return-path").
//
// Reads the user's database and the site model under shared locks; registers nothing and
// creates no file. It names every feature of the mail, so it is slower than Score: never on
// the path of delivered mail.
#ifndef CORVALITH_CLASSIFIER_EXPLAIN_H_
#define CORVALITH_CLASSIFIER_EXPLAIN_H_

#include <cstddef>
#include <string>
#include <vector>

#include "classifier/engine_settings.h"

namespace corvalith {

struct FeatureContribution {
  std::string name;
  // What the feature adds to the score (in logit units) through each model.
  double user = 0, site = 0;
  double total() const { return user + site; }
};

struct Explanation {
  // What Score answers: above one half exactly when the score passes the threshold.
  double spam_probability = 0;
  // The verdict Classify would give now (it also needs both classes trained somewhere).
  bool spam = false;
  // The score is the linear models' user_score + site_score (within the engine's limit, see
  // FusedScore) plus the counting model's counting_score; the features' contributions add up
  // to user_score + site_score.
  double user_score = 0, site_score = 0, counting_score = 0;
  double threshold = 0;
  // The site model that took part, or empty; when one should have but could not, why.
  std::string site_model;
  std::string site_failure;
  // The strongest first, at most `count` each; a feature that pushed nowhere is in neither.
  std::vector<FeatureContribution> towards_spam, towards_ham;
};

// Throws Failure when the user's database exists but cannot be read (as Score fails); an
// unusable site model only leaves it out, with site_failure saying why.
Explanation ExplainMail(const std::string& key, const std::string& header, const std::string& body,
                        size_t count = 10, const EngineOptions& options = EngineOptions());

}  // namespace corvalith

#endif  // CORVALITH_CLASSIFIER_EXPLAIN_H_
