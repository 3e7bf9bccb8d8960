// Who a command runs as: the decision for every kind of caller, and, where the test runs as
// root (as CI does), the real switch to a home's owner in a child process.
#include "cli/run_as_owner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/failure.h"
#include "platform/testing/temp_directory.h"

namespace corvalith::host {
namespace {

namespace fs = std::filesystem;

TEST(RunAsOwnerTest, OnlyRootBecomesTheOwnerOfAnotherUsersHome) {
  constexpr uid_t kMailUser = 5000;
  struct Case {
    const char* what;
    uid_t effective;
    std::optional<uid_t> owner;
    std::optional<uid_t> become;
  } cases[] = {
      {"root in the mail user's home", 0, kMailUser, kMailUser},
      {"root in its own home", 0, 0, std::nullopt},
      {"root making a new home", 0, std::nullopt, std::nullopt},
      {"the owner", kMailUser, kMailUser, std::nullopt},
      {"another user, whom the home's modes refuse", 1000, kMailUser, std::nullopt},
      {"a user making a new home", 1000, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(UserToBecome(c.effective, c.owner), c.become) << c.what;
}

class RunAsOwnerAsRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "only root can become another user";
    // The owner's processes reach the home through the test's directory.
    fs::permissions(temp_.path(),
                    fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    fs::create_directory(home_);
  }

  corvalith::testing::TempDirectory temp_{"corvalith-owner"};
  const std::string home_ = temp_.File("home");
};

TEST_F(RunAsOwnerAsRootTest, WhatRootCreatesInTheHomeIsTheOwners) {
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  ASSERT_EQ(chown(home_.c_str(), uid, gid), 0);
  const std::string file = home_ + "/created";

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    try {
      RunAsHomeOwner(home_);
    } catch (const Failure&) {
      _exit(2);
    }
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    // For good: root's identity cannot be taken back.
    bool dropped = getuid() == uid && geteuid() == uid && getegid() == gid && setuid(0) != 0;
    _exit(fd >= 0 && dropped ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: the switch failed, 1: not the owner afterwards";
  struct stat created;
  ASSERT_EQ(stat(file.c_str(), &created), 0);
  EXPECT_EQ(created.st_uid, uid);
  EXPECT_EQ(created.st_gid, gid);
}

TEST_F(RunAsOwnerAsRootTest, AnOwnerWithoutAnAccountIsRefusedAndNothingChanges) {
  constexpr uid_t kNoAccount = 54321;
  if (getpwuid(kNoAccount) != nullptr) GTEST_SKIP() << "uid " << kNoAccount << " has an account";
  ASSERT_EQ(chown(home_.c_str(), kNoAccount, kNoAccount), 0);
  try {
    RunAsHomeOwner(home_);
    ADD_FAILURE() << "no failure";
  } catch (const Failure& failure) {
    EXPECT_NE(failure.description().find("uid 54321, which has no account"), std::string::npos)
        << failure.description();
  }
  EXPECT_EQ(geteuid(), 0u);
}

}  // namespace
}  // namespace corvalith::host
