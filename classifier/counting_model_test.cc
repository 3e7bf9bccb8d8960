#include "classifier/counting_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "classifier/classifier_test_support.h"
#include "classifier/site_model.h"
#include "classifier/user_database.h"
#include "platform/testing/file_bytes.h"
#include "platform/testing/temp_directory.h"

namespace corvalith {
namespace {

namespace fs = std::filesystem;

TEST(CountingModelTest, ProbabilitiesAndTheirCombination) {
  const CountingOptions o;
  // Never seen: the prior. Seen only in spam, or only in ham: towards that class, more so
  // the more mails say it; rates within each class, not raw counts, decide.
  EXPECT_EQ(FeatureSpamProbability({0, 0}, {10, 10}, 0.3, o), 0.3);
  const double once = FeatureSpamProbability({0, 1}, {10, 10}, 0.5, o);
  const double often = FeatureSpamProbability({0, 9}, {10, 10}, 0.5, o);
  EXPECT_GT(once, 0.5);
  EXPECT_GT(often, once);
  EXPECT_LT(FeatureSpamProbability({9, 0}, {10, 10}, 0.5, o), 0.1);
  EXPECT_NEAR(FeatureSpamProbability({100, 10}, {1000, 100}, 0.5, o), 0.5, 1e-9);
  // With one class only, nothing compares: the prior.
  EXPECT_EQ(FeatureSpamProbability({0, 1}, {0, 1}, 0.5, o), 0.5);
  EXPECT_EQ(FeatureSpamProbability({3, 0}, {3, 0}, 0.4, o), 0.4);

  EXPECT_EQ(CombineProbabilities({}, o), 0);
  EXPECT_EQ(CombineProbabilities({0.5, 0.45, 0.55}, o), 0);  // too weak to count
  EXPECT_GT(CombineProbabilities(std::vector<double>(20, 0.95), o), 0.99);
  EXPECT_LT(CombineProbabilities(std::vector<double>(20, 0.05), o), -0.99);
  EXPECT_NEAR(CombineProbabilities({0.9, 0.1}, o), 0, 1e-9);  // evidence both ways cancels
  // Thousands of certain features neither underflow nor overflow.
  std::vector<double> many(5000, 1.0);
  many.insert(many.end(), 5000, 0.0);
  const double mixed = CombineProbabilities(many, o);
  EXPECT_TRUE(std::isfinite(mixed));
  EXPECT_LE(std::abs(mixed), 1.0);
}

// Synthetic mail of one era and one fetching setup: every mail shares its Received and
// X-Mailer tokens and some common words, as the mail of one person's server does. Spam
// repeats itself; each ham is about something new, in words the filter has never seen.
class BatchCorrectionTest : public ::testing::Test {
 protected:
  std::string Mail(bool spam, int n, std::string* body) {
    static const std::vector<std::string> kCommon = {"the", "and", "you", "please", "with",
                                                     "this", "for", "your", "have", "will"};
    static const std::vector<std::string> kSpam = {
        "cheap",  "pills",   "offer",   "winner", "prize",  "casino", "credit",    "loan",
        "viagra", "discount", "guarantee", "click", "free", "million", "unsubscribe", "bonus"};
    body->clear();
    for (int i = 0; i < 10; ++i) *body += kCommon[random_() % kCommon.size()] + " ";
    for (int i = 0; i < 10; ++i) {
      *body += (spam ? kSpam[random_() % kSpam.size()]
                     : "topic" + std::to_string(n) + "w" + std::to_string(i)) + " ";
    }
    return "Received: from relay.isp.example by fetchmail.home.example with SMTP 2002\n"
           "X-Mailer: Mailer 5.0\nFrom: someone" +
           std::to_string(n) + "@" + (spam ? "bulk" : "friends") + ".example\nSubject: " +
           (spam ? kSpam[n % kSpam.size()] : "topic" + std::to_string(n)) + "\n";
  }

  // A day as a new user lives it: 20 ham and 20 spam delivered, then every spam moved into
  // the junk folder at once; then 15 new ham. Returns how many of those went to junk.
  int HamIntoJunkAfterTheFirstDaysCorrections(const EngineOptions& options) {
    testing::TempDirectory temp("batch-correction");
    fs::create_directories(fs::path(temp.path()) / "example.com");
    const std::string key = (fs::path(temp.path()) / "example.com" / "user.dat").string();
    std::vector<std::pair<std::string, std::string>> spam;
    int n = 0;
    for (int i = 0; i < 40; ++i) {
      std::string body;
      const std::string header = Mail(i % 2 == 1, ++n, &body);
      bool verdict = true;
      EXPECT_EQ(testing::NewEngine(options)->Classify(key, header, body, &verdict), S_OK);
      if (i % 2 == 1) spam.emplace_back(header, body);
    }
    for (const auto& [header, body] : spam) {
      EXPECT_EQ(testing::NewEngine(options)->Relearn(key, header, body, true), S_OK);
    }
    int junk = 0;
    for (int i = 0; i < 15; ++i) {
      std::string body;
      const std::string header = Mail(false, ++n, &body);
      bool verdict = false;
      EXPECT_EQ(testing::NewEngine(options)->Classify(key, header, body, &verdict), S_OK);
      junk += verdict;
    }
    return junk;
  }

  std::mt19937 random_{7};
};

TEST_F(BatchCorrectionTest, ADaysCorrectionsAtOnceDoNotPushTheNextHamIntoJunk) {
  // The linear models alone, trained to their margin on each correction, carried the shared
  // tokens so far that all of the next day's ham went to junk.
  EXPECT_EQ(HamIntoJunkAfterTheFirstDaysCorrections(EngineOptions()), 0);
}

// Counts move with registrations exactly: a relearn moves the mail from one class to the
// other, a forget takes it out, and nothing is left over.
TEST(CountingEngineTest, CountsFollowRegistrationRelearnAndForget) {
  testing::TempDirectory temp("counting-engine");
  fs::create_directories(fs::path(temp.path()) / "example.com");
  const std::string key = (fs::path(temp.path()) / "example.com" / "user.dat").string();
  const std::string header = "From: a@example.org\nSubject: hello there\n", body = "some words";
  auto counts = [&] {
    auto db = UserDatabase::Open(key, false);
    UserDatabase::Lock lock(db.get(), false);
    const CountedMails mails = db->counted_mails();
    uint64_t ham = 0, spam = 0;
    for (uint32_t slot = 0; slot < (1u << UserDatabase::kTableBits); ++slot) {
      ham += db->counts()[2 * slot];
      spam += db->counts()[2 * slot + 1];
    }
    return std::vector<uint64_t>{mails.ham, mails.spam, ham, spam};
  };
  bool spam = true;
  ASSERT_EQ(testing::NewEngine()->Classify(key, header, body, &spam), S_OK);
  const std::vector<uint64_t> registered = counts();
  EXPECT_EQ(registered[0], 1u);
  EXPECT_EQ(registered[1], 0u);
  EXPECT_GT(registered[2], 0u);
  EXPECT_EQ(registered[3], 0u);
  ASSERT_EQ(testing::NewEngine()->Relearn(key, header, body, true), S_OK);
  ASSERT_EQ(testing::NewEngine()->Relearn(key, header, body, true), S_OK);  // a repeat: nothing
  EXPECT_EQ(counts(), (std::vector<uint64_t>{0, 1, 0, registered[2]}));
  ASSERT_EQ(testing::NewEngine()->Forget(key, header, body), S_OK);
  EXPECT_EQ(counts(), (std::vector<uint64_t>{0, 0, 0, 0}));
}

// A file of the first version, without counts, as an older engine left it.
template <typename Fill>
void WriteVersion1(const FileFormat& format, const std::string& path, Fill fill) {
  auto file = JournaledFile::Open(format, path, /*create=*/true);
  JournaledFile::Lock lock(file.get(), true);
  JournaledFile::Update update(file.get());
  fill(&update);
  update.Commit();
}

constexpr uint64_t kV1JournalEnd = JournaledFile::DataOffset(8192 + 64);

TEST(FileUpgradeTest, UserDatabaseOfVersion1IsUpgradedInPlaceKeepingWhatItLearned) {
  testing::TempDirectory temp("upgrade-user");
  const std::string path = temp.File("u.dat");
  // Version 1: ham, spam and cursor words; a 4096-entry ledger of 16 bytes; 2^18 weights.
  const uint64_t weights_at = kV1JournalEnd + 4096 * 16;
  const FileFormat v1{"classifier database", {'C', 'R', 'V', 'L', 'T', 'H', 'D', 'B'}, 1,
                      {18, 4096}, 8192 + 64, weights_at + (uint64_t{1} << 18) * 4};
  const float weight = 0.75f;
  uint32_t weight_bits;
  std::memcpy(&weight_bits, &weight, 4);
  WriteVersion1(v1, path, [&](JournaledFile::Update* u) {
    u->Put(JournaledFile::kHeaderWordsAt, 7);      // ham
    u->Put(JournaledFile::kHeaderWordsAt + 4, 3);  // spam
    u->Put(JournaledFile::kHeaderWordsAt + 8, 1);  // cursor
    u->Put(kV1JournalEnd, 0x89abcdef);             // ledger entry 0: digest, spam, gain
    u->Put(kV1JournalEnd + 4, 0x01234567);
    u->Put(kV1JournalEnd + 8, 1 | 2);
    u->Put(kV1JournalEnd + 12, weight_bits);
    u->Put(weights_at + 4 * 12345, weight_bits);
  });
  auto db = UserDatabase::Open(path, /*create=*/false);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(fs::file_size(path), UserDatabase::FileSize());
  UserDatabase::Lock lock(db.get(), false);
  EXPECT_EQ(db->ham_mails(), 7u);
  EXPECT_EQ(db->spam_mails(), 3u);
  EXPECT_EQ(db->weights()[12345], weight);
  const auto index = db->FindMail(0x0123456789abcdefULL);
  ASSERT_TRUE(index.has_value());
  const UserDatabase::LedgerEntry entry = db->ledger_entry(*index);
  EXPECT_TRUE(entry.spam);
  EXPECT_EQ(entry.gain, weight);
  EXPECT_FALSE(entry.counted);  // so a relearn takes back no counts it never added
  EXPECT_EQ(db->counted_mails().ham + db->counted_mails().spam, 0u);
  // Nothing was left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(temp.path()), fs::directory_iterator()), 1);
}

TEST(FileUpgradeTest, SiteModelOfVersion1IsUpgradedAndDamagedOnesAreRefusedUntouched) {
  testing::TempDirectory temp("upgrade-site");
  const std::string path = temp.File("site");
  const uint64_t entries = uint64_t{8} << 16;
  const uint64_t weights_at = kV1JournalEnd + entries * 16;
  const FileFormat v1{"site model", {'C', 'R', 'V', 'L', 'T', 'H', 'S', 'M'}, 1, {22, 16, 8},
                      8192 + 64, weights_at + (uint64_t{1} << 22) * 4};
  const uint64_t key = 0x0123456789abcdefULL;
  const uint64_t entry_at = kV1JournalEnd + (key >> 48) * 8 * 16;
  WriteVersion1(v1, path, [&](JournaledFile::Update* u) {
    u->Put(JournaledFile::kHeaderWordsAt, 5);
    u->Put(JournaledFile::kHeaderWordsAt + 4, 6);
    u->Put(JournaledFile::kHeaderWordsAt + 8, 42);  // the ledger's clock
    u->Put(entry_at, static_cast<uint32_t>(key));
    u->Put(entry_at + 4, static_cast<uint32_t>(key >> 32));
    u->Put(entry_at + 8, 41u << 2 | 1);  // stamp 41, used, ham
  });
  std::string damaged = testing::ReadFileBytes(path);
  damaged[12] ^= 1;
  const std::string damaged_path = temp.File("damaged");
  std::ofstream(damaged_path, std::ios::binary) << damaged;

  auto site = SiteModel::Open(path, /*create=*/false);
  ASSERT_NE(site, nullptr);
  EXPECT_EQ(fs::file_size(path), SiteModel::FileSize());
  SiteModel::Lock lock(site.get(), false);
  EXPECT_EQ(site->trained_mails(false), 5u);
  EXPECT_EQ(site->trained_mails(true), 6u);
  const auto found = site->Find(key);
  ASSERT_TRUE(found.has_value());
  EXPECT_FALSE(found->registration.spam);
  EXPECT_FALSE(found->registration.counted);

  EXPECT_THROW(SiteModel::Open(damaged_path, false), Failure);
  EXPECT_EQ(testing::ReadFileBytes(damaged_path), damaged);
}

}  // namespace
}  // namespace corvalith
