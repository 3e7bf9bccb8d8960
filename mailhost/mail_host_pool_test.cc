#include "mailhost/mail_host_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "history/verdict_history.h"
#include "mailhost/home.h"
#include "mailhost/testing/host_test_support.h"
#include "platform/testing/temp_directory.h"
#include "store/message_import.h"

namespace corvalith::host {
namespace {

using corvalith::testing::TempDirectory;
using testing::Message;
using testing::ReadFile;
using testing::RunCorvalith;

constexpr int kThreads = 8;
constexpr int kMailsPerThread = 12;

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Many connections delivering at once through hosts that share one filter instance: every
// mail is stored once, the engine counted every one exactly once, and the log has a record
// of each. Threads deliver to the same user at once (ordered by the engine's lock) and to
// different users (not ordered at all).
class MailHostPoolTest : public ::testing::TestWithParam<std::string> {};

TEST_P(MailHostPoolTest, SavesAtTheSameTimeLoseAndDoubleNothing) {
  TempDirectory temp;
  const std::string home_directory = temp.File("home");
  std::vector<std::string> init = {"init"};
  if (GetParam() == "maildir") init = {"init", "--maildir", temp.File("mail")};
  ASSERT_EQ(RunCorvalith(home_directory, init).status, 0);
  const std::vector<MailboxAddress> users = {
      {"alice", "example.com"}, {"bob", "example.com"}, {"carol", "example.org"}};
  for (const MailboxAddress& user : users) {
    ASSERT_EQ(RunCorvalith(home_directory, {"mailbox", "add", user.Text()}).status, 0);
  }
  const Home home = ResolveHome(home_directory);
  UseHomeEnvironment(home);
  std::map<std::string, std::atomic<int>> delivered;
  for (const MailboxAddress& user : users) delivered[user.Text()] = 0;
  {
    MailHostPool pool(home, home.DataDirectory(), 4);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kMailsPerThread; ++i) {
          // Half the threads write to alice only; the others go round all users.
          const MailboxAddress& to = t % 2 == 0 ? users[0] : users[(t + i) % users.size()];
          const bool spammy = (t + i) % 3 == 0;
          const std::string mail =
              Message("sender" + std::to_string(t) + "@far.example", "Mail " + std::to_string(i),
                      spammy ? "cheap pills casino bonus winner claim prize now"
                             : "the meeting agenda and the quarterly report are attached");
          try {
            MailHostPool::Lease host = pool.Borrow();
            host->Deliver(to, store::kInboxFolder, mail, false);
            ++delivered[to.Text()];
          } catch (const std::exception& e) {
            ++failures;
            ADD_FAILURE() << "delivery to " << to.Text() << " failed: " << e.what();
          }
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    ASSERT_EQ(failures.load(), 0);
  }

  int total = 0;
  MailHost host(home, home.DataDirectory());
  for (const MailboxAddress& user : users) {
    const int expected = delivered[user.Text()].load();
    total += expected;
    int64_t stored = 0;
    for (const FolderSummary& folder : host.Folders(user)) stored += folder.items;
    // The user manual, delivered with a user's first mail, is one more item.
    EXPECT_EQ(stored, expected + 1) << user.Text();
    const UserStatistics stats = ReadUserStatistics(home.DataDirectory() + "/", user);
    EXPECT_EQ(stats.ham + stats.spam, expected) << user.Text();
  }
  EXPECT_EQ(total, kThreads * kMailsPerThread);
  const std::string log = ReadFile(home.DataDirectory() + "/Corvalith.log");
  EXPECT_EQ(Occurrences(log, "New Mail "), static_cast<size_t>(total)) << log;
  EXPECT_EQ(Occurrences(log, "Err:"), 0u) << log;

  // Each worker recorded each of its saves once, with its own save's verdict and reason.
  auto history = history::VerdictHistory::OpenForReading(home.HistoryPath());
  ASSERT_NE(history, nullptr);
  std::map<std::string, int> rows;
  for (const history::VerdictRow& row : history->Query({})) {
    ++rows[row.mailbox];
    EXPECT_EQ(row.event, history::kEventDelivery);
    EXPECT_EQ(row.reason, row.verdict == "spam" ? "recognised" : "parsed") << row.subject;
    EXPECT_EQ(row.folder, row.verdict == "spam" ? "Junk E-mail" : "Inbox") << row.subject;
    EXPECT_EQ(row.moved, row.verdict == "spam");
    EXPECT_TRUE(row.score.has_value());
  }
  for (const MailboxAddress& user : users) {
    EXPECT_EQ(rows[user.Text()], delivered[user.Text()].load()) << user.Text();
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, MailHostPoolTest, ::testing::Values("sqlite", "maildir"));

}  // namespace
}  // namespace corvalith::host
