#include "classifier/classifier_engine_object.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "classifier/classifier_test_support.h"
#include "platform/testing/file_bytes.h"
#include "platform/testing/temp_directory.h"

namespace corvalith {
namespace {

namespace fs = std::filesystem;
using testing::NewEngine;
using testing::ReadFileBytes;

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "example.com");
    key_ = (dir_ / "example.com" / "user.dat").string();
    engine_ = ComPtr<IClassifierEngine>::Attach(new ClassifierEngineObject());
  }

  std::pair<int32_t, int32_t> Stats(const std::string& key) {
    int32_t ham = -1, spam = -1;
    EXPECT_EQ(NewEngine()->GetStatistics(key, &ham, &spam), S_OK) << TakeErrorInfo();
    return {ham, spam};
  }
  std::pair<int32_t, int32_t> Stats() { return Stats(key_); }
  double ScoreOf(const std::string& header, const std::string& body) {
    double p = -1;
    EXPECT_EQ(NewEngine()->Score(key_, header, body, &p), S_OK) << TakeErrorInfo();
    return p;
  }
  static std::string Header(int i) {
    return "From: sender" + std::to_string(i) + "@example.org\nSubject: note " + std::to_string(i) +
           "\n";
  }

  testing::TempDirectory temp_{"classifier-test"};
  fs::path dir_ = temp_.path();
  std::string key_;
  ComPtr<IClassifierEngine> engine_;
};

TEST_F(EngineTest, ComIdentityAndReferenceCounting) {
  auto* object = new ClassifierEngineObject();
  void* p = nullptr;
  EXPECT_EQ(object->QueryInterface(IID_IUnknown, &p), S_OK);
  EXPECT_EQ(p, static_cast<IClassifierEngine*>(object));
  EXPECT_EQ(object->QueryInterface(IID_IClassifierEngine, &p), S_OK);
  EXPECT_EQ(p, static_cast<IClassifierEngine*>(object));
  EXPECT_EQ(object->QueryInterface(IID_IClassFactory, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(object->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(object->AddRef(), 4u);
  EXPECT_EQ(object->Release(), 3u);
  EXPECT_EQ(object->Release(), 2u);
  EXPECT_EQ(object->Release(), 1u);
  EXPECT_EQ(object->Release(), 0u);  // deleted here; the sanitizer build checks no leak
}

// The score behind a verdict, for whoever shows the verdict: what Score said just before.
TEST_F(EngineTest, TheLastVerdictsScoreIsWhatScoreAnsweredBeforeIt) {
  ComPtr<IClassifierVerdictScore> verdict_score;
  ASSERT_EQ(engine_->QueryInterface(IID_IClassifierVerdictScore, verdict_score.put_void()), S_OK);
  double p = -1;
  EXPECT_EQ(verdict_score->LastVerdictProbability(&p), E_FAIL) << "no verdict yet";
  EXPECT_EQ(verdict_score->LastVerdictProbability(nullptr), E_POINTER);
  for (int i = 0; i < 3; ++i) {
    bool spam = true;
    ASSERT_EQ(engine_->Learn(key_, Header(i), "cheap pills offer", true), S_OK);
    ASSERT_EQ(engine_->Learn(key_, Header(10 + i), "meeting agenda notes", false), S_OK);
    const double before = ScoreOf(Header(20 + i), "cheap pills agenda");
    ASSERT_EQ(engine_->Classify(key_, Header(20 + i), "cheap pills agenda", &spam), S_OK);
    ASSERT_EQ(verdict_score->LastVerdictProbability(&p), S_OK);
    EXPECT_DOUBLE_EQ(p, before);
    EXPECT_EQ(spam, p > 0.5);
  }
}

TEST_F(EngineTest, RegisteredClassIsCreatable) {
  ClassTable table;
  void* p = nullptr;
  EXPECT_TRUE(Failed(table.CreateInstance(CLSID_ClassifierEngine, IID_IClassifierEngine, &p)));
  TakeErrorInfo();
  RegisterClassifierEngine(table);
  ComPtr<IClassifierEngine> engine;
  ASSERT_EQ(table.CreateInstance(CLSID_ClassifierEngine, IID_IClassifierEngine, engine.put_void()),
            S_OK);
  bool spam = true;
  EXPECT_EQ(engine->Classify(key_, Header(1), "hello", &spam), S_OK);
  EXPECT_FALSE(spam);
  EXPECT_EQ(table.CreateInstance(CLSID_ClassifierEngine, IID_IClassFactory, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  EXPECT_NE(TakeErrorInfo(), "");
}

TEST_F(EngineTest, NullOutPointersAreRejected) {
  EXPECT_EQ(engine_->Classify(key_, "", "", nullptr), E_POINTER);
  EXPECT_EQ(engine_->Score(key_, "", "", nullptr), E_POINTER);
  int32_t n;
  EXPECT_EQ(engine_->GetStatistics(key_, &n, nullptr), E_POINTER);
  EXPECT_FALSE(fs::exists(key_));
}

TEST_F(EngineTest, ClassifyCreatesTheFileAndNewUserSaysHam) {
  bool spam = true;
  ASSERT_EQ(engine_->Classify(key_, Header(1), "Buy cheap pills now", &spam), S_OK);
  EXPECT_FALSE(spam);
  EXPECT_TRUE(fs::is_regular_file(key_));
  EXPECT_LE(fs::file_size(key_), 4u * 1024 * 1024);
  EXPECT_EQ(Stats(), std::make_pair(1, 0));
  // Only the key itself: no temporary file left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "example.com"), fs::directory_iterator()),
            1);
}

TEST_F(EngineTest, ReadOnlyCallsOnUnknownUserCreateNothing) {
  int32_t ham = -1, spam = -1;
  EXPECT_EQ(engine_->GetStatistics(key_, &ham, &spam), S_OK);
  EXPECT_EQ(ham, 0);
  EXPECT_EQ(spam, 0);
  double p = -1;
  EXPECT_EQ(engine_->Score(key_, Header(1), "body", &p), S_OK);
  EXPECT_LT(p, 0.5);
  EXPECT_EQ(engine_->Forget(key_, Header(1), "body"), S_OK);
  EXPECT_EQ(engine_->Compact(key_), S_OK);
  EXPECT_FALSE(fs::exists(key_));
  // Also when the domain folder does not exist.
  std::string nowhere = (dir_ / "missing.example" / "user.dat").string();
  EXPECT_EQ(engine_->GetStatistics(nowhere, &ham, &spam), S_OK);
  EXPECT_FALSE(fs::exists(dir_ / "missing.example"));
}

TEST_F(EngineTest, MissingDirectoryIsAFailureWithDescription) {
  std::string nowhere = (dir_ / "missing.example" / "user.dat").string();
  bool spam;
  HRESULT hr = engine_->Classify(nowhere, Header(1), "x", &spam);
  EXPECT_TRUE(Failed(hr));
  EXPECT_NE(TakeErrorInfo().find("folder does not exist"), std::string::npos);
  EXPECT_TRUE(Failed(engine_->Learn(nowhere, Header(1), "x", true)));
  EXPECT_FALSE(fs::exists(dir_ / "missing.example"));
  TakeErrorInfo();
}

// Each step on one mail, and the counts the database must hold afterwards.
TEST_F(EngineTest, RelearnSemantics) {
  enum Op { kClassify, kLearnHam, kLearnSpam, kRelearnHam, kRelearnSpam, kForget };
  struct Step {
    Op op;
    int mail;
    int ham, spam;  // expected statistics after the step
  };
  struct Scenario {
    const char* name;
    std::vector<Step> steps;
  } scenarios[] = {
      {"classified then corrected to spam counts as spam only",
       {{kClassify, 1, 1, 0}, {kRelearnSpam, 1, 0, 1}}},
      {"a repeated relearn changes nothing",
       {{kClassify, 1, 1, 0}, {kRelearnSpam, 1, 0, 1}, {kRelearnSpam, 1, 0, 1}}},
      {"moved back out of the spam folder",
       {{kClassify, 1, 1, 0}, {kRelearnSpam, 1, 0, 1}, {kRelearnHam, 1, 1, 0}}},
      {"a relearn to the class it already has changes nothing",
       {{kClassify, 1, 1, 0}, {kRelearnHam, 1, 1, 0}}},
      {"a mail never seen is just trained", {{kRelearnSpam, 1, 0, 1}, {kRelearnHam, 2, 1, 1}}},
      {"learn then relearn", {{kLearnHam, 1, 1, 0}, {kRelearnSpam, 1, 0, 1}}},
      {"classifying a registered mail again does not count it twice",
       {{kClassify, 1, 1, 0}, {kClassify, 1, 1, 0}, {kRelearnSpam, 1, 0, 1}, {kClassify, 1, 0, 1}}},
      {"forget removes the registration",
       {{kClassify, 1, 1, 0}, {kLearnSpam, 2, 1, 1}, {kForget, 2, 1, 0}, {kForget, 2, 1, 0}}},
      {"distinct mails count separately",
       {{kClassify, 1, 1, 0}, {kClassify, 2, 2, 0}, {kRelearnSpam, 2, 1, 1}}},
  };
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    fs::remove(key_);
    fs::remove(dir_ / kSiteModelFileName);  // what the site learned would change the verdicts
    for (size_t i = 0; i < s.steps.size(); ++i) {
      const Step& step = s.steps[i];
      SCOPED_TRACE(i);
      auto engine = NewEngine();
      std::string header = Header(step.mail), body = "body of mail " + std::to_string(step.mail);
      std::string before = fs::exists(key_) ? ReadFileBytes(key_) : "";
      bool spam;
      HRESULT hr = S_OK;
      switch (step.op) {
        case kClassify:
          hr = engine->Classify(key_, header, body, &spam);
          break;
        case kLearnHam:
          hr = engine->Learn(key_, header, body, false);
          break;
        case kLearnSpam:
          hr = engine->Learn(key_, header, body, true);
          break;
        case kRelearnHam:
          hr = engine->Relearn(key_, header, body, false);
          break;
        case kRelearnSpam:
          hr = engine->Relearn(key_, header, body, true);
          break;
        case kForget:
          hr = engine->Forget(key_, header, body);
          break;
      }
      ASSERT_EQ(hr, S_OK) << TakeErrorInfo();
      EXPECT_EQ(Stats(), std::make_pair(step.ham, step.spam));
      // A step that changes no count must not have changed the file at all.
      if (i > 0 && step.ham == s.steps[i - 1].ham && step.spam == s.steps[i - 1].spam) {
        EXPECT_EQ(ReadFileBytes(key_), before);
      }
    }
  }
}

TEST_F(EngineTest, CorrectionReversesEarlierTraining) {
  // Train a body of ham so the mail under test lands inside the margin and Classify
  // self-trains on it.
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(NewEngine()->Learn(key_, Header(100 + i), "meeting agenda minutes", false), S_OK);
  }
  const std::string header = Header(7), body = "meeting agenda offer";
  const double before = ScoreOf(header, body);
  bool spam;
  ASSERT_EQ(NewEngine()->Classify(key_, header, body, &spam), S_OK);
  ASSERT_FALSE(spam);
  const double after_classify = ScoreOf(header, body);
  EXPECT_LT(after_classify, before);  // it trained itself towards ham
  ASSERT_EQ(NewEngine()->Relearn(key_, header, body, true), S_OK);
  const double as_spam = ScoreOf(header, body);
  EXPECT_GT(as_spam, 0.5);
  // Forgetting undoes the spam training and nothing of the self-training remains.
  ASSERT_EQ(NewEngine()->Forget(key_, header, body), S_OK);
  EXPECT_NEAR(ScoreOf(header, body), before, 1e-4);
}

TEST_F(EngineTest, LearnsToSeparateTheClasses) {
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(NewEngine()->Learn(
                  key_, "From: boss@corp.example\nSubject: status " + std::to_string(i) + "\n",
                  "the quarterly report draft is attached " + std::to_string(i), false),
              S_OK);
    ASSERT_EQ(NewEngine()->Learn(
                  key_, "From: promo@deals.example\nSubject: WIN " + std::to_string(i) + "\n",
                  "<html><a href=\"http://win.deals.example/\">claim your prize "
                  "now</a> " +
                      std::to_string(i),
                  true),
              S_OK);
  }
  EXPECT_EQ(Stats(), std::make_pair(20, 20));
  bool spam = false;
  ASSERT_EQ(
      NewEngine()->Classify(key_, "From: promo@deals.example\nSubject: WIN big\n",
                            "<html><a href=\"http://win.deals.example/\">claim prize</a>", &spam),
      S_OK);
  EXPECT_TRUE(spam);
  ASSERT_EQ(NewEngine()->Classify(key_, "From: boss@corp.example\nSubject: status\n",
                                  "the report draft", &spam),
            S_OK);
  EXPECT_FALSE(spam);
}

// Files at the key that are not ours: every call fails with a description, none changes them.
TEST_F(EngineTest, ForeignAndDamagedFilesAreReportedAndLeftAlone) {
  ASSERT_EQ(NewEngine()->Learn(key_, Header(1), "x", true), S_OK);
  const std::string sqlite_file = std::string("SQLite format 3\0", 16) + std::string(4000, 'x');
  for (const testing::DamagedFile& c :
       testing::DamagedFiles(ReadFileBytes(key_), "not a classifier database", sqlite_file)) {
    SCOPED_TRACE(c.name);
    { std::ofstream(key_, std::ios::binary | std::ios::trunc) << c.content; }
    bool spam;
    double p;
    int32_t ham, spam_count;
    std::vector<HRESULT> results = {
        NewEngine()->Classify(key_, Header(2), "y", &spam),
        NewEngine()->Learn(key_, Header(2), "y", false),
        NewEngine()->Relearn(key_, Header(2), "y", true),
        NewEngine()->Forget(key_, Header(2), "y"),
        NewEngine()->Score(key_, Header(2), "y", &p),
        NewEngine()->Compact(key_),
        NewEngine()->GetStatistics(key_, &ham, &spam_count),
    };
    for (HRESULT hr : results) EXPECT_TRUE(Failed(hr));
    NewEngine()->GetStatistics(key_, &ham, &spam_count);
    std::string description = TakeErrorInfo();
    EXPECT_NE(description.find(c.description), std::string::npos) << description;
    EXPECT_NE(description.find(key_), std::string::npos) << description;
    EXPECT_EQ(ReadFileBytes(key_), c.content);
  }
  fs::remove(key_);
  fs::create_directory(key_);
  bool spam;
  EXPECT_TRUE(Failed(NewEngine()->Classify(key_, Header(2), "y", &spam)));
  EXPECT_NE(TakeErrorInfo(), "");
  EXPECT_TRUE(fs::is_directory(key_));
}

TEST_F(EngineTest, TwoProcessesWritingOneUserLoseNothing) {
  constexpr int kPerProcess = 150;
  testing::ExpectProcessesSucceed(2, [&](int c) {
    int failures = 0;
    for (int i = 0; i < kPerProcess; ++i) {
      auto engine = NewEngine();
      std::string header = Header(c * 1000 + i);
      bool spam;
      failures += Failed(engine->Classify(key_, header, "process mail", &spam));
      if (i % 3 == 0) failures += Failed(engine->Relearn(key_, header, "process mail", true));
    }
    return failures;
  });
  auto [ham, spam] = Stats();
  EXPECT_EQ(ham + spam, 2 * kPerProcess);
  EXPECT_GE(spam, 2 * ((kPerProcess + 2) / 3));  // every relearned mail at least
}

}  // namespace
}  // namespace corvalith
