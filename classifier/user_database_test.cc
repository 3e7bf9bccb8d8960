// The per-user database on its own: crash recovery of its journal and the bounds of its
// ledger. What the engine makes of it is in classifier_engine_object_test.cc.
#include "classifier/user_database.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/testing/temp_directory.h"

namespace corvalith {
namespace {

namespace fs = std::filesystem;

TEST(UserDatabaseTest, CrashAfterCommitPointIsReplayedCrashBeforeIsDropped) {
  testing::TempDirectory dir("userdb-test");
  const std::string path = dir.File("u.dat");
  using Crash = UserDatabase::Update::CrashPoint;
  for (Crash crash : {Crash::kBeforeMark, Crash::kAfterMark}) {
    fs::remove(path);
    {
      auto db = UserDatabase::Open(path, true);
      UserDatabase::Lock lock(db.get(), true);
      UserDatabase::Update update(db.get());
      for (uint32_t slot = 0; slot < 100; ++slot) update.SetWeight(slot * 7, 1.5f);
      update.SetCounts(3, 4);
      update.PutLedgerEntry(std::nullopt, {0x1234567890ULL, true, 0.75f});
      update.CommitUntilCrashForTesting(crash);
    }
    auto db = UserDatabase::Open(path, false);
    ASSERT_NE(db, nullptr);
    UserDatabase::Lock lock(db.get(), false);  // a reader recovers too
    const bool applied = crash == Crash::kAfterMark;
    for (uint32_t slot = 0; slot < 100; ++slot) {
      ASSERT_EQ(db->weights()[slot * 7], applied ? 1.5f : 0.0f) << slot;
    }
    EXPECT_EQ(db->ham_mails(), applied ? 3u : 0u);
    EXPECT_EQ(db->spam_mails(), applied ? 4u : 0u);
    EXPECT_EQ(db->FindMail(0x1234567890ULL).has_value(), applied);
  }
}

TEST(UserDatabaseTest, LedgerIsABoundedRing) {
  testing::TempDirectory dir("userdb-ring");
  auto db = UserDatabase::Open(dir.File("u.dat"), true);
  UserDatabase::Lock lock(db.get(), true);
  const uint32_t n = UserDatabase::kLedgerCapacity + 10;
  for (uint32_t i = 1; i <= n; ++i) {
    UserDatabase::Update update(db.get());
    update.PutLedgerEntry(std::nullopt, {i, i % 2 == 0, 0});
    update.Commit();
  }
  EXPECT_FALSE(db->FindMail(1).has_value());  // the oldest were evicted
  EXPECT_FALSE(db->FindMail(10).has_value());
  ASSERT_TRUE(db->FindMail(11).has_value());
  ASSERT_TRUE(db->FindMail(n).has_value());
  EXPECT_TRUE(db->ledger_entry(*db->FindMail(n)).spam == (n % 2 == 0));
  EXPECT_EQ(fs::file_size(dir.File("u.dat")), UserDatabase::FileSize());
}

}  // namespace
}  // namespace corvalith
