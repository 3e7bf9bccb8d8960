#include "classifier/explain.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "classifier/classifier_engine_object.h"
#include "classifier/classifier_test_support.h"
#include "platform/failure.h"
#include "platform/testing/file_bytes.h"
#include "platform/testing/temp_directory.h"

namespace corvalith {
namespace {

namespace fs = std::filesystem;
using testing::NewEngine;
using testing::ReadFileBytes;

class ExplainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(data_ + "example.com");
    for (int i = 0; i < 12; ++i) {
      const std::string n = std::to_string(i);
      Learn(Key(1), "From: deals" + n + "@pills.example\nSubject: viagra " + n + "\n",
            "<html><a href=\"http://shop.pills.example/\">cheap viagra</a> " + n, true);
      Learn(Key(2), "From: boss@corp.example\nSubject: minutes " + n + "\n",
            "the quarterly report draft " + n, false);
    }
  }
  std::string Key(int user) const {
    return data_ + "example.com/user" + std::to_string(user) + ".dat";
  }
  static void Learn(const std::string& key, const std::string& header, const std::string& body,
                    bool spam) {
    auto engine = NewEngine();
    ASSERT_EQ(engine->Learn(key, header, body, spam), S_OK) << TakeErrorInfo();
  }
  static std::set<std::string> Names(const std::vector<FeatureContribution>& list) {
    std::set<std::string> names;
    for (const FeatureContribution& c : list) names.insert(c.name);
    return names;
  }

  testing::TempDirectory temp_{"explain-test"};
  const std::string data_ = temp_.path() + "/";
  const std::string header_ = "From: deals99@pills.example\nSubject: viagra minutes\n";
  const std::string body_ = "<html><a href=\"http://shop.pills.example/\">cheap</a> report";
};

TEST_F(ExplainTest, NamesWhatPushedTheScoreAndAddsUpToIt) {
  const std::string site = data_ + kSiteModelFileName;
  const std::string user_before = ReadFileBytes(Key(1)), site_before = ReadFileBytes(site);
  const Explanation e = ExplainMail(Key(1), header_, body_, /*count=*/1000);
  EXPECT_TRUE(e.spam);
  EXPECT_EQ(e.site_model, site);
  EXPECT_EQ(e.site_failure, "");
  double p = -1;
  auto engine = NewEngine();
  ASSERT_EQ(engine->Score(Key(1), header_, body_, &p), S_OK);
  EXPECT_NEAR(e.spam_probability, p, 1e-6);
  double sum = 0;
  for (const auto& c : e.towards_spam) sum += c.total();
  for (const auto& c : e.towards_ham) sum += c.total();
  EXPECT_NEAR(sum, e.user_score + e.site_score, 1e-4);
  const double score = FusedScore(e.user_score + e.site_score, e.counting_score, EngineOptions().model);
  EXPECT_NEAR(e.spam_probability, Probability(score - e.threshold), 1e-9);
  EXPECT_GT(e.counting_score, 0);  // the counts, too, know the taught spam
  const auto spam = Names(e.towards_spam), ham = Names(e.towards_ham);
  EXPECT_TRUE(spam.count("subject:viagra"));
  EXPECT_TRUE(spam.count("link host pills.example"));
  EXPECT_TRUE(ham.count("subject:minutes"));  // taught as ham by another user, via the site
  for (size_t i = 1; i < e.towards_spam.size(); ++i) {
    EXPECT_GE(e.towards_spam[i - 1].total(), e.towards_spam[i].total());
  }
  // The short list is the head of the long one; nothing was registered or written.
  const Explanation top = ExplainMail(Key(1), header_, body_, 3);
  ASSERT_EQ(top.towards_spam.size(), 3u);
  EXPECT_EQ(top.towards_spam[0].name, e.towards_spam[0].name);
  EXPECT_EQ(ReadFileBytes(Key(1)), user_before);
  EXPECT_EQ(ReadFileBytes(site), site_before);
}

TEST_F(ExplainTest, UnknownUserAndUnusableSiteModel) {
  const Explanation unknown = ExplainMail(Key(9), header_, body_);
  EXPECT_FALSE(fs::exists(Key(9)));
  EXPECT_EQ(unknown.user_score, 0);
  EXPECT_GT(unknown.site_score, 0);  // the site knows the campaign
  // A user whose own model learned something: trained while the site model was off.
  EngineOptions off;
  off.site_scope = SiteScope::kOff;
  auto engine = NewEngine(off);
  ASSERT_EQ(engine->Learn(Key(3), header_, body_, true), S_OK);
  const Explanation own = ExplainMail(Key(3), header_, body_, 10, off);
  EXPECT_EQ(own.site_failure, "");
  EXPECT_GT(own.user_score, 0);
  const std::string site = data_ + kSiteModelFileName;
  { std::ofstream(site, std::ios::trunc) << "not ours"; }
  const Explanation alone = ExplainMail(Key(3), header_, body_);
  EXPECT_EQ(alone.site_model, "");
  EXPECT_NE(alone.site_failure.find(site), std::string::npos);
  EXPECT_EQ(alone.site_score, 0);
  EXPECT_NEAR(alone.user_score, own.user_score, 1e-9);
  EXPECT_EQ(ReadFileBytes(site), "not ours");
  EXPECT_THROW(ExplainMail("", header_, body_), Failure);
}

}  // namespace
}  // namespace corvalith
