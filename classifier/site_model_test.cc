#include "classifier/site_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "classifier/classifier_engine_object.h"
#include "classifier/classifier_test_support.h"
#include "classifier/engine_settings.h"
#include "logging/log_event.h"
#include "logging/lost_log_records.h"
#include "platform/posix_environment.h"
#include "platform/testing/file_bytes.h"
#include "platform/testing/memory_environment.h"
#include "platform/testing/temp_directory.h"

namespace corvalith {
namespace {

namespace fs = std::filesystem;
using testing::NewEngine;
using testing::ReadFileBytes;

TEST(SiteModelPathTest, DerivedFromTheKeysDirectories) {
  struct {
    const char* key;
    SiteScope scope;
    std::string path;
  } cases[] = {
      {"/data/example.com/ann.dat", SiteScope::kDataDirectory, "/data/Corvalith site model"},
      {"/data/example.com/ann.dat", SiteScope::kDomain, "/data/example.com/Corvalith site model"},
      {"/data/example.com/ann.dat", SiteScope::kOff, ""},
      {"/data//ann.dat", SiteScope::kDataDirectory, "/data/Corvalith site model"},
      {"example.com/ann.dat", SiteScope::kDataDirectory, "Corvalith site model"},
      {"ann.dat", SiteScope::kDataDirectory, ""},
      {"ann.dat", SiteScope::kDomain, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(SiteModelPath(c.key, c.scope), c.path) << c.key;
  // The data directory, whose log reports a site model of either scope.
  EXPECT_EQ(DataDirectoryOfKey("/data/example.com/ann.dat"), "/data/");
  EXPECT_EQ(DataDirectoryOfKey("example.com/ann.dat"), "");
  EXPECT_EQ(DataDirectoryOfKey("ann.dat"), "");
  // Never a user's file: none of their suffixes; never a mail domain's directory: a blank.
  const std::string name = kSiteModelFileName;
  for (const char* suffix : {".dat", ".create", ".wlt"}) {
    EXPECT_FALSE(name.ends_with(suffix)) << suffix;
  }
  EXPECT_EQ(name.find(".dat."), std::string::npos);
  EXPECT_NE(name.find(' '), std::string::npos);
}

class SiteModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(data_ + "example.com");
    fs::create_directories(data_ + "example.org");
  }

  std::string Key(int user, const std::string& domain = "example.com") const {
    return data_ + domain + "/user" + std::to_string(user) + ".dat";
  }
  std::string SitePath() const { return data_ + kSiteModelFileName; }
  static std::pair<int32_t, int32_t> Stats(const std::string& key) {
    int32_t ham = -1, spam = -1;
    EXPECT_EQ(NewEngine()->GetStatistics(key, &ham, &spam), S_OK) << TakeErrorInfo();
    return {ham, spam};
  }
  bool Classify(const std::string& key, const std::string& header, const std::string& body) {
    bool spam = false;
    auto engine = NewEngine();
    EXPECT_EQ(engine->Classify(key, header, body, &spam), S_OK) << TakeErrorInfo();
    EXPECT_EQ(engine->site_failure(), "");
    return spam;
  }
  // What the site alone says of a mail: the score a user without a database gets.
  double SiteProbability(const std::string& header, const std::string& body) {
    double p = -1;
    EXPECT_EQ(NewEngine()->Score(Key(999), header, body, &p), S_OK) << TakeErrorInfo();
    return p;
  }

  // A campaign of spam and a stream of ordinary mail, varied by `i`.
  static std::string SpamHeader(int i) {
    return "From: promo" + std::to_string(i) + "@deals.example\nSubject: WIN a prize " +
           std::to_string(i) + "\n";
  }
  static std::string SpamBody(int i) {
    return "<html><a href=\"http://win.deals.example/" + std::to_string(i) +
           "\">claim your prize now</a> free money casino offer " + std::to_string(i) + "</html>";
  }
  static std::string HamHeader(int i) {
    return "From: colleague" + std::to_string(i % 5) + "@corp.example\nSubject: minutes " +
           std::to_string(i) + "\n";
  }
  static std::string HamBody(int i) {
    return "the quarterly report draft and the meeting agenda " + std::to_string(i);
  }
  // Users 1..users teach the site: each learns some of the campaign and some ordinary mail.
  void TeachSite(int users, int per_user) {
    for (int u = 1; u <= users; ++u) {
      for (int i = 0; i < per_user; ++i) {
        const int n = u * 100 + i;
        ASSERT_EQ(NewEngine()->Learn(Key(u), SpamHeader(n), SpamBody(n), true), S_OK);
        ASSERT_EQ(NewEngine()->Learn(Key(u), HamHeader(n), HamBody(n), false), S_OK);
      }
    }
  }

  testing::TempDirectory temp_{"site-model-test"};
  const std::string data_ = temp_.path() + "/";
};

TEST_F(SiteModelTest, CreatedOnFirstTrainingNeverByReadOnlyCalls) {
  double p;
  int32_t ham, spam;
  EXPECT_EQ(NewEngine()->Score(Key(1), HamHeader(1), HamBody(1), &p), S_OK);
  EXPECT_EQ(NewEngine()->Forget(Key(1), HamHeader(1), HamBody(1)), S_OK);
  EXPECT_EQ(NewEngine()->Compact(Key(1)), S_OK);
  EXPECT_EQ(NewEngine()->GetStatistics(Key(1), &ham, &spam), S_OK);
  EXPECT_FALSE(fs::exists(SitePath()));
  EXPECT_FALSE(Classify(Key(1), HamHeader(1), HamBody(1)));
  EXPECT_TRUE(fs::is_regular_file(Key(1)));
  ASSERT_TRUE(fs::is_regular_file(SitePath()));
  EXPECT_EQ(fs::file_size(SitePath()), SiteModel::FileSize());
  EXPECT_LE(SiteModel::FileSize(), 64u << 20);
  // One file for every user of every domain; nothing else beside it.
  EXPECT_FALSE(Classify(Key(2, "example.org"), HamHeader(2), HamBody(2)));
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(data_)) files += entry.is_regular_file();
  EXPECT_EQ(files, 1u);
}

TEST_F(SiteModelTest, ANewUserIsJudgedByWhatTheOthersTaught) {
  TeachSite(/*users=*/4, /*per_user=*/5);
  EXPECT_TRUE(Classify(Key(50), SpamHeader(7777), SpamBody(7777)));
  EXPECT_FALSE(Classify(Key(51), HamHeader(7777), HamBody(7777)));
  // Without the site model a user's empty database never says spam.
  EngineOptions off;
  off.site_scope = SiteScope::kOff;
  bool spam = true;
  ASSERT_EQ(NewEngine(off)->Classify(Key(52), SpamHeader(7778), SpamBody(7778), &spam), S_OK);
  EXPECT_FALSE(spam);
}

TEST_F(SiteModelTest, PerDomainScopeKeepsOneFileInEachDomain) {
  EngineOptions per_domain;
  per_domain.site_scope = SiteScope::kDomain;
  bool spam;
  ASSERT_EQ(NewEngine(per_domain)->Learn(Key(1), SpamHeader(1), SpamBody(1), true), S_OK);
  ASSERT_EQ(
      NewEngine(per_domain)->Classify(Key(2, "example.org"), SpamHeader(1), SpamBody(1), &spam),
      S_OK);
  EXPECT_TRUE(fs::is_regular_file(data_ + "example.com/" + kSiteModelFileName));
  EXPECT_TRUE(fs::is_regular_file(data_ + "example.org/" + kSiteModelFileName));
  EXPECT_FALSE(fs::exists(SitePath()));
}

// A file at the site model's path that is not ours: every call succeeds on the user's own
// model, says why the site took no part, and leaves the file as it was.
TEST_F(SiteModelTest, UnusableSiteModelLeavesTheUsersOwnModelDeciding) {
  ASSERT_EQ(NewEngine()->Learn(Key(1), SpamHeader(1), SpamBody(1), true), S_OK);
  int user = 10;
  for (const testing::DamagedFile& c : testing::DamagedFiles(
           ReadFileBytes(SitePath()), "not a site model", ReadFileBytes(Key(1)))) {
    SCOPED_TRACE(c.name);
    { std::ofstream(SitePath(), std::ios::binary | std::ios::trunc) << c.content; }
    const std::string key = Key(++user);
    auto engine = NewEngine();
    bool spam = true;
    double p = -1;
    EXPECT_EQ(engine->Classify(key, HamHeader(1), HamBody(1), &spam), S_OK) << TakeErrorInfo();
    EXPECT_FALSE(spam);
    EXPECT_NE(engine->site_failure().find(c.description), std::string::npos)
        << engine->site_failure();
    EXPECT_NE(engine->site_failure().find(SitePath()), std::string::npos);
    EXPECT_EQ(engine->Relearn(key, HamHeader(1), HamBody(1), true), S_OK);
    EXPECT_EQ(engine->Score(key, HamHeader(1), HamBody(1), &p), S_OK);
    EXPECT_GT(p, 0.5);  // the user's own model learned the correction
    EXPECT_EQ(engine->Learn(key, "Subject: other\n", "unrelated", false), S_OK);
    EXPECT_EQ(engine->Forget(key, "Subject: other\n", "unrelated"), S_OK);
    EXPECT_EQ(engine->Compact(key), S_OK);
    EXPECT_FALSE(engine->site_failure().empty());
    EXPECT_EQ(Stats(key), std::make_pair(0, 1));
    EXPECT_EQ(ReadFileBytes(SitePath()), c.content);
  }
  fs::remove(SitePath());
  fs::create_directory(SitePath());
  auto engine = NewEngine();
  bool spam;
  EXPECT_EQ(engine->Classify(Key(30), HamHeader(1), HamBody(1), &spam), S_OK) << TakeErrorInfo();
  EXPECT_NE(engine->site_failure(), "");
  EXPECT_TRUE(fs::is_directory(SitePath()));
  EXPECT_EQ(Stats(Key(30)), std::make_pair(1, 0));
}

// Users' models learn only what the site model leaves unexplained: without it a trained user's
// mail scores much like an untrained one's, and that must not go unseen. The first call that
// registers or trains without it writes one error record and one error event; the reading
// calls say nothing, and neither do later failures of any object made by the same table.
TEST_F(SiteModelTest, UnusableSiteModelIsReportedOnceInTheLogAndTheEventLog) {
  const std::string foreign = "Some user's notes\n";
  { std::ofstream(SitePath(), std::ios::binary) << foreign; }
  testing::DiskEnvironment environment;
  RegisterClassifierEngine(environment.classes, environment);
  auto engine = [&] {
    ComPtr<IClassifierEngine> engine;
    EXPECT_EQ(environment.classes.CreateInstance(CLSID_ClassifierEngine, IID_IClassifierEngine,
                                                 engine.put_void()),
              S_OK);
    return engine;
  };
  const std::string log = data_ + "Corvalith.log";
  double p;
  int32_t ham, spam;
  ASSERT_EQ(engine()->Score(Key(1), HamHeader(1), HamBody(1), &p), S_OK);
  ASSERT_EQ(engine()->Compact(Key(1)), S_OK);
  ASSERT_EQ(engine()->GetStatistics(Key(1), &ham, &spam), S_OK);
  EXPECT_FALSE(fs::exists(log));
  EXPECT_TRUE(environment.events.entries().empty());

  for (int i = 1; i <= 3; ++i) {
    bool verdict;
    EXPECT_EQ(engine()->Classify(Key(i), HamHeader(i), HamBody(i), &verdict), S_OK);
    EXPECT_EQ(engine()->Learn(Key(i), SpamHeader(i), SpamBody(i), true), S_OK);
    EXPECT_EQ(engine()->Relearn(Key(i), HamHeader(i), HamBody(i), true), S_OK);
    EXPECT_EQ(engine()->Forget(Key(i), HamHeader(i), HamBody(i)), S_OK);
  }
  const std::string why = "Site model not used, each user's own model decides alone: The file " +
                          SitePath() + " is not a site model (unknown format)";
  const std::string record = ReadFileBytes(log);
  EXPECT_TRUE(record.ends_with(" " + why + " 0x80040E11 Source: " + SitePath() + "\r\n")) << record;
  EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), 1) << record;
  const std::vector<EventLogEntry> events = environment.events.entries();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(events[0].event_id, static_cast<uint32_t>(kSiteModelUnusableEventId));
  EXPECT_EQ(events[0].strings, std::vector<std::string>{why});
  EXPECT_EQ(ReadFileBytes(SitePath()), foreign);
}

// A log that cannot take the record loses it, as the filter loses its own records, and the loss
// is noted for the host to report; the event is written all the same.
TEST_F(SiteModelTest, UnusableSiteModelRecordThatCannotBeWrittenIsNotedAsLost) {
  { std::ofstream(SitePath(), std::ios::binary) << "not ours"; }
  fs::create_directory(data_ + "Corvalith.log");
  testing::DiskEnvironment environment;
  RegisterClassifierEngine(environment.classes, environment);
  ComPtr<IClassifierEngine> engine;
  ASSERT_EQ(environment.classes.CreateInstance(CLSID_ClassifierEngine, IID_IClassifierEngine,
                                               engine.put_void()),
            S_OK);
  const uint64_t lost_before = LostLogRecordCount();
  bool verdict;
  EXPECT_EQ(engine->Classify(Key(1), HamHeader(1), HamBody(1), &verdict), S_OK);
  EXPECT_EQ(LostLogRecordCount(), lost_before + 1);
  EXPECT_EQ(LatestLostLogRecordFailure(), data_ + "Corvalith.log: Is a directory");
  EXPECT_EQ(environment.events.entries().size(), 1u);
}

TEST_F(SiteModelTest, ScoreRegistersNothing) {
  TeachSite(/*users=*/2, /*per_user=*/3);
  ASSERT_FALSE(Classify(Key(1), HamHeader(500), HamBody(500)));
  const std::string user_before = ReadFileBytes(Key(1)), site_before = ReadFileBytes(SitePath());
  for (int i = 0; i < 3; ++i) {
    double p = -1;
    ASSERT_EQ(NewEngine()->Score(Key(1), SpamHeader(600), SpamBody(600), &p), S_OK);
    EXPECT_GT(p, 0.5);
    ASSERT_EQ(NewEngine()->Score(Key(3), HamHeader(601), HamBody(601), &p), S_OK);
    EXPECT_LT(p, 0.5);
  }
  EXPECT_EQ(ReadFileBytes(Key(1)), user_before);
  EXPECT_EQ(ReadFileBytes(SitePath()), site_before);
  EXPECT_FALSE(fs::exists(Key(3)));
  // A mail only scored is unknown to Relearn: it is simply trained, no earlier verdict moved.
  const auto [ham, spam] = Stats(Key(1));
  ASSERT_EQ(NewEngine()->Relearn(Key(1), SpamHeader(600), SpamBody(600), true), S_OK);
  EXPECT_EQ(Stats(Key(1)), std::make_pair(ham, spam + 1));
}

// One user who teaches every spam as ham and all ham as spam: where the site holds its verdict
// firmly, that user's training reaches only their own model.
TEST_F(SiteModelTest, OneUserShiftsTheSiteOnlyBoundedly) {
  TeachSite(/*users=*/8, /*per_user=*/8);
  const int kProbe = 9000;
  const double spam_before = SiteProbability(SpamHeader(kProbe), SpamBody(kProbe));
  const double ham_before = SiteProbability(HamHeader(kProbe), HamBody(kProbe));
  ASSERT_GT(spam_before, 0.5);
  ASSERT_LT(ham_before, 0.5);
  // Through Learn, as whitelisted senders are: taught whatever the verdict.
  const std::string hostile = Key(66);
  for (int i = 0; i < 60; ++i) {
    const int n = 5000 + i;
    ASSERT_EQ(NewEngine()->Learn(hostile, SpamHeader(n), SpamBody(n), false), S_OK);
    ASSERT_EQ(NewEngine()->Learn(hostile, HamHeader(n), HamBody(n), true), S_OK);
  }
  const auto logit = [](double p) { return std::log(p / (1 - p)); };
  const double spam_after = SiteProbability(SpamHeader(kProbe), SpamBody(kProbe));
  const double ham_after = SiteProbability(HamHeader(kProbe), HamBody(kProbe));
  EXPECT_GT(spam_after, 0.5);
  EXPECT_LT(ham_after, 0.5);
  EXPECT_LT(std::abs(logit(spam_after) - logit(spam_before)), 1.0);
  EXPECT_LT(std::abs(logit(ham_after) - logit(ham_before)), 1.0);
  // The others still get their verdicts; the hostile user gets what they taught.
  EXPECT_TRUE(Classify(Key(3), SpamHeader(kProbe + 1), SpamBody(kProbe + 1)));
  EXPECT_FALSE(Classify(Key(4), HamHeader(kProbe + 1), HamBody(kProbe + 1)));
  EXPECT_FALSE(Classify(hostile, SpamHeader(kProbe + 2), SpamBody(kProbe + 2)));
}

// A user who sorted their first mail before the site model existed (it was off, or its file
// was deleted) recognises spam that the new site still calls ham. The site must not be taught
// that spam as ham mail after mail: its pull towards ham would outgrow the user's model and
// let the spam through in the end.
TEST_F(SiteModelTest, ANewSiteIsNotTaughtSpamTheUserRecognisesAsHam) {
  static const std::vector<std::string> kSpamWords = {
      "cheap",   "pills",  "pharmacy", "discount", "casino", "bonus",  "jackpot",
      "lottery", "winner", "claim",    "prize",    "crypto", "profit", "offer"};
  static const std::vector<std::string> kHamWords = {
      "meeting", "agenda", "project", "schedule", "report", "review",  "budget",
      "minutes", "lunch",  "draft",   "feedback", "office", "invoice", "garden"};
  static const std::vector<std::string> kCommonWords = {
      "the", "and", "you", "for", "this", "that", "with", "your", "have", "are", "will", "please"};
  struct Mail {
    std::string header, body;
  };
  // 50 words, `share` of them the class's own, chosen by `seed`.
  const auto mail = [](bool spam, int seed, double share) {
    std::mt19937 choose(seed);
    const auto pick = [&](const std::vector<std::string>& words) {
      return words[choose() % words.size()];
    };
    Mail m;
    m.header = "From: sender" + std::to_string(seed) + (spam ? "@offers" : "@partners") +
               ".example\nTo: alice@example.com\nSubject: Training " + std::to_string(seed) +
               "\nMessage-ID: <" + std::to_string(seed) + "@mail.example>\n" +
               "Content-Type: text/plain; charset=\"us-ascii\"\n" +
               "Content-Transfer-Encoding: 7bit\nMIME-Version: 1.0\n";
    for (int w = 0; w < 50; ++w) {
      const bool own = choose() % 100 < share * 100;
      m.body += pick(own ? (spam ? kSpamWords : kHamWords) : kCommonWords) + " ";
    }
    return m;
  };
  const std::string key = Key(1);
  EngineOptions off;
  off.site_scope = SiteScope::kOff;
  for (int seed = 0; seed < 40; ++seed) {
    const bool spam = seed % 2 == 1;
    const Mail m = mail(spam, seed, 0.6);
    bool verdict = false;
    ASSERT_EQ(NewEngine(off)->Classify(key, m.header, m.body, &verdict), S_OK);
    if (verdict != spam) {
      ASSERT_EQ(NewEngine(off)->Relearn(key, m.header, m.body, spam), S_OK);
    }
  }
  const Mail probe_mail = mail(true, 999, 0.85);
  const auto probe = [&] {
    double p = -1;
    EXPECT_EQ(NewEngine()->Score(key, probe_mail.header, probe_mail.body, &p), S_OK);
    return p;
  };
  const auto site_probe = [&] { return SiteProbability(probe_mail.header, probe_mail.body); };
  const double before = probe(), site_before = site_probe();
  ASSERT_GT(before, 0.5);
  ASSERT_LT(site_before, 0.5);
  for (int seed = 100; seed < 130; ++seed) {
    const Mail m = mail(true, seed, 0.85);
    EXPECT_TRUE(Classify(key, m.header, m.body)) << "spam " << seed;
    EXPECT_GE(probe(), before - 0.01) << "after spam " << seed;
    EXPECT_GE(site_probe(), site_before - 0.01) << "after spam " << seed;
  }
}

// Two processes training the site at once, each then taking all of it back: with every
// update locked and journaled, nothing is lost and the weights return to zero.
TEST_F(SiteModelTest, TwoProcessesTrainingTheSiteLoseNothing) {
  constexpr int kPerProcess = 120;
  testing::ExpectProcessesSucceed(2, [&](int c) {
    int failures = 0;
    const std::string key = Key(c + 1, c == 0 ? "example.com" : "example.org");
    auto body = [&](int i) { return "token" + std::to_string(c * 1000 + i) + " shared words"; };
    for (int i = 0; i < kPerProcess; ++i) {
      auto engine = NewEngine();
      failures += Failed(engine->Learn(key, HamHeader(i), body(i), i % 2 == 0));
      failures += !engine->site_failure().empty();
    }
    for (int i = 0; i < kPerProcess; ++i) {
      failures += Failed(NewEngine()->Forget(key, HamHeader(i), body(i)));
    }
    return failures;
  });
  auto site = SiteModel::Open(SitePath(), false);
  ASSERT_NE(site, nullptr);
  SiteModel::Lock lock(site.get(), false);
  EXPECT_GT(site->trained_mails(false), 0u);
  EXPECT_GT(site->trained_mails(true), 0u);
  double largest = 0;
  for (uint32_t slot = 0; slot < (1u << SiteModel::kTableBits); ++slot) {
    largest = std::max(largest, std::abs(double{site->weights()[slot]}));
  }
  EXPECT_LT(largest, 1e-3);
}

TEST(SiteModelLedgerTest, BucketsKeepTheNewestAndCrashesAreRecovered) {
  testing::TempDirectory dir("site-ledger");
  const std::string path = dir.File("site");
  auto site = SiteModel::Open(path, true);
  SiteModel::Lock lock(site.get(), true);
  // Keys of one bucket: the same top bits.
  auto key = [](uint64_t i) { return (uint64_t{0x1234} << 48) | i; };
  const uint64_t n = SiteModel::kLedgerWays + 3;
  for (uint64_t i = 1; i <= n; ++i) {
    SiteModel::Update update(site.get());
    update.Remember(key(i), std::nullopt, {i % 2 == 0, static_cast<float>(i)});
    update.Commit();
  }
  for (uint64_t i = 1; i <= n; ++i) {
    EXPECT_EQ(site->Find(key(i)).has_value(), i > n - SiteModel::kLedgerWays) << i;
  }
  const auto found = site->Find(key(n));
  ASSERT_TRUE(found);
  EXPECT_EQ(found->registration.gain, static_cast<float>(n));
  EXPECT_EQ(found->registration.spam, n % 2 == 0);
  {
    SiteModel::Update update(site.get());
    update.Erase(found->index);
    update.Commit();
  }
  EXPECT_FALSE(site->Find(key(n)));
  EXPECT_TRUE(site->Find(key(n - 1)));
}

TEST(EngineSettingsTest, SiteModelSettingComesFromTheEnginesOwnKey) {
  testing::TempDirectory dir("engine-settings");
  const std::string reg = dir.File("registry.reg");
  FileRegistry registry(reg);
  auto write = [&](const std::string& body) {
    std::ofstream(reg, std::ios::trunc) << "Windows Registry Editor Version 5.00\r\n\r\n" << body;
  };
  EXPECT_EQ(ReadSiteScope(registry), SiteScope::kDataDirectory);  // no file at all
  struct {
    const char* body;
    SiteScope scope;
  } cases[] = {
      {"[HKEY_LOCAL_MACHINE\\Software\\Corvalith\\Engine]\r\n\"SiteModel\"=dword:00000000\r\n",
       SiteScope::kOff},
      {"[HKEY_LOCAL_MACHINE\\Software\\Corvalith\\Engine]\r\n\"SiteModel\"=dword:00000001\r\n",
       SiteScope::kDataDirectory},
      {"[HKEY_LOCAL_MACHINE\\Software\\Corvalith\\Engine]\r\n\"sitemodel\"=dword:00000002\r\n",
       SiteScope::kDomain},
      {"[HKEY_LOCAL_MACHINE\\Software\\Corvalith\\Engine]\r\n\"SiteModel\"=\"2\"\r\n",
       SiteScope::kDomain},
      {"[HKEY_LOCAL_MACHINE\\Software\\Corvalith\\Engine]\r\n\"SiteModel\"=dword:00000007\r\n",
       SiteScope::kDataDirectory},
      {"[HKEY_LOCAL_MACHINE\\Software\\Corvalith\\Engine]\r\n\"SiteModel\"=\"off\"\r\n",
       SiteScope::kDataDirectory},
      // The filter's own key is not the engine's.
      {"[HKEY_LOCAL_MACHINE\\Software\\Corvalith]\r\n\"SiteModel\"=dword:00000000\r\n",
       SiteScope::kDataDirectory},
  };
  for (const auto& c : cases) {
    write(c.body);
    EXPECT_EQ(ReadSiteScope(registry), c.scope) << c.body;
  }
  // Created objects follow the setting, read once by the first of them.
  write("[HKEY_LOCAL_MACHINE\\Software\\Corvalith\\Engine]\r\n\"SiteModel\"=dword:00000000\r\n");
  struct : testing::DiskEnvironment {
    Registry* file_registry;
    Registry& registry() override { return *file_registry; }
  } environment;
  environment.file_registry = &registry;
  ClassTable& table = environment.classes;
  RegisterClassifierEngine(table, environment);
  const std::string data = dir.path() + "/";
  fs::create_directory(data + "example.com");
  for (int i = 0; i < 2; ++i) {
    ComPtr<IClassifierEngine> engine;
    ASSERT_EQ(
        table.CreateInstance(CLSID_ClassifierEngine, IID_IClassifierEngine, engine.put_void()),
        S_OK);
    bool spam;
    ASSERT_EQ(engine->Classify(data + "example.com/u.dat", "Subject: x\n", "y", &spam), S_OK);
    write("");  // later edits are not seen by this process
  }
  EXPECT_TRUE(fs::exists(data + "example.com/u.dat"));
  EXPECT_FALSE(fs::exists(data + kSiteModelFileName));
}

}  // namespace
}  // namespace corvalith
