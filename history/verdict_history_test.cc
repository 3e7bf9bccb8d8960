#include "history/verdict_history.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "history/history_settings.h"
#include "platform/failure.h"
#include "platform/posix_environment.h"
#include "platform/testing/temp_directory.h"
#include "platform/unicode.h"

namespace corvalith::history {
namespace {

constexpr int64_t kNow = 1'800'000'000;

VerdictRow Row(int64_t time, std::string mailbox = "alice@example.com") {
  VerdictRow row;
  row.time = time;
  row.domain = mailbox.substr(mailbox.find('@') + 1);
  row.mailbox = std::move(mailbox);
  row.folder = "Inbox";
  row.item = "M-" + std::to_string(time) + ".EML";
  row.event = kEventDelivery;
  row.verdict = "ham";
  row.marker = 1;
  row.reason = "parsed";
  row.score = 0.25;
  return row;
}

class VerdictHistoryTest : public ::testing::Test {
 protected:
  testing::TempDirectory dir_{"corvalith-history"};
  std::string path_ = dir_.File("history.db");
};

TEST_F(VerdictHistoryTest, RecordedRowsComeBackNewestFirstWithEveryColumn) {
  auto history = VerdictHistory::OpenForWriting(path_);
  VerdictRow delivery = Row(kNow);
  VerdictRow move = Row(kNow + 5);
  move.folder = "Junk E-mail";
  move.event = kEventMove;
  move.verdict = "spam";
  move.marker = 2;
  move.reason = "swapped";
  move.score.reset();
  move.earlier_verdict = "ham";
  move.correction = kFalseNegative;
  history->Record(delivery);
  history->Record(move);

  std::vector<VerdictRow> rows = history->Query({});
  ASSERT_EQ(rows.size(), 2u);
  move.id = rows[0].id;
  delivery.id = rows[1].id;
  EXPECT_EQ(rows[0], move);
  EXPECT_EQ(rows[1], delivery);
  struct stat info {};
  ASSERT_EQ(stat(path_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(VerdictHistoryTest, QueryFilters) {
  auto history = VerdictHistory::OpenForWriting(path_);
  VerdictRow spam = Row(kNow + 1, "bob@example.com");
  spam.verdict = "spam";
  VerdictRow rescued = Row(kNow + 2, "carol@Other.org");
  rescued.correction = kFalsePositive;
  history->Record(Row(kNow));
  history->Record(spam);
  history->Record(rescued);
  auto mailboxes = [&](const HistoryFilter& filter) {
    std::vector<std::string> names;
    for (const VerdictRow& row : history->Query(filter)) names.push_back(row.mailbox);
    return names;
  };
  using Names = std::vector<std::string>;
  HistoryFilter filter;
  EXPECT_EQ(mailboxes(filter), (Names{"carol@Other.org", "bob@example.com", "alice@example.com"}));
  filter.mailbox = "bob@example.com";
  EXPECT_EQ(mailboxes(filter), Names{"bob@example.com"});
  filter.mailbox = "@EXAMPLE.com";
  EXPECT_EQ(mailboxes(filter), (Names{"bob@example.com", "alice@example.com"}));
  filter.mailbox = "@other.org";
  EXPECT_EQ(mailboxes(filter), Names{"carol@Other.org"});
  filter.mailbox = "Bob@example.com";  // a mailbox is named as it was recorded
  EXPECT_EQ(mailboxes(filter), Names{});

  filter = {};
  filter.since = kNow + 1;
  EXPECT_EQ(mailboxes(filter), (Names{"carol@Other.org", "bob@example.com"}));
  filter = {};
  filter.verdict = "spam";
  EXPECT_EQ(mailboxes(filter), Names{"bob@example.com"});
  filter.verdict = "ham";
  EXPECT_EQ(mailboxes(filter), (Names{"carol@Other.org", "alice@example.com"}));
  filter = {};
  filter.corrections_only = true;
  EXPECT_EQ(mailboxes(filter), Names{"carol@Other.org"});
  filter = {};
  filter.limit = 2;
  EXPECT_EQ(mailboxes(filter), (Names{"carol@Other.org", "bob@example.com"}));
  filter = {};
  filter.mailbox = "@example.com";
  filter.since = kNow;
  filter.verdict = "ham";
  EXPECT_EQ(mailboxes(filter), Names{"alice@example.com"});
}

TEST_F(VerdictHistoryTest, NewRowsPruneRowsOlderThanKeepDaysAndNothingYounger) {
  const int64_t keep_days = 10;
  const int64_t cutoff = kNow - keep_days * kSecondsPerDay;
  {
    auto history = VerdictHistory::OpenForWriting(path_, /*keep_days=*/0);
    for (int i = 0; i < 6; ++i) history->Record(Row(cutoff - 1000 + i));  // expired
    history->Record(Row(cutoff));                                         // just kept
    history->Record(Row(cutoff + 1));
    ASSERT_EQ(history->Query({}).size(), 8u) << "keep_days 0 keeps every row";
  }
  auto history = VerdictHistory::OpenForWriting(path_, keep_days);
  auto times = [&] {
    std::multiset<int64_t> result;
    for (const VerdictRow& row : history->Query({})) result.insert(row.time);
    return result;
  };
  history->Record(Row(kNow));
  // A new row takes a few of the oldest expired rows with it, not all at once.
  EXPECT_EQ(times().size(), 9u - kPrunedPerRecord);
  EXPECT_EQ(*times().begin(), cutoff - 1000 + kPrunedPerRecord);
  history->Record(Row(kNow));
  history->Record(Row(kNow));
  EXPECT_EQ(times(), (std::multiset<int64_t>{cutoff, cutoff + 1, kNow, kNow, kNow}));
  EXPECT_EQ(history->Prune(cutoff, 100), 0);
  EXPECT_EQ(history->Prune(cutoff + 1, 100), 1);
}

TEST_F(VerdictHistoryTest, HostileTextsAreStoredEscapedAndBounded) {
  auto history = VerdictHistory::OpenForWriting(path_);
  VerdictRow row = Row(kNow);
  row.subject = "\x1B[31mred\x1B[0m\r\nBcc: x <script>alert(1)</script>\xC3\x28 caf\xC3\xA9" +
                std::string(100 * 1024, 'A');
  row.sender = std::string("Eve\0<eve@example.com>\x7F", 22);
  row.message_id = "<" + std::string(1000, 'm') + "\xFF@x>";
  row.folder = "Inbox\nfake";
  history->Record(row);

  const VerdictRow stored = history->Query({}).at(0);
  EXPECT_TRUE(stored.subject.starts_with(
      "\\x1B[31mred\\x1B[0m\\r\\nBcc: x <script>alert(1)</script>\\xC3( caf\xC3\xA9"
      "AAA"))
      << stored.subject;
  EXPECT_NE(stored.subject.find("caf\xC3\xA9"), std::string::npos);
  EXPECT_LE(stored.subject.size(), kMaxHeaderTextBytes);
  EXPECT_GT(stored.subject.size(), kMaxHeaderTextBytes - 4);
  EXPECT_EQ(stored.sender, "Eve\\x00<eve@example.com>\\x7F");
  EXPECT_LE(stored.message_id.size(), kMaxHeaderTextBytes);
  EXPECT_EQ(stored.folder, "Inbox\\nfake");
  for (const std::string& text : {stored.subject, stored.sender, stored.message_id}) {
    EXPECT_TRUE(IsValidUtf8(text)) << text;
    for (char c : text) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F) << text;
  }
}

TEST(CleanHistoryText, CutsAtACharacterOrEscapeBoundary) {
  EXPECT_EQ(CleanHistoryText("ab\xC3\xA9", 3), "ab");  // never half of é
  EXPECT_EQ(CleanHistoryText("ab\x1B", 4), "ab");      // never half of "\x1B"
  EXPECT_EQ(CleanHistoryText("ab\x1B", 6), "ab\\x1B");
  EXPECT_EQ(CleanHistoryText("\xE2\x82", 10), "\\xE2\\x82");  // a truncated sequence
  EXPECT_EQ(CleanHistoryText("\xE2\x82\xAC", 10), "\xE2\x82\xAC");
}

TEST_F(VerdictHistoryTest, WritersOnTheirOwnConnectionsAndInAnotherProcessLoseNoRow) {
  constexpr int kThreads = 4;
  constexpr int kRowsEach = 50;
  // The child process starts on a file none of them has made yet, as the first deliveries of
  // a new home do.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int code = 0;
    try {
      auto history = VerdictHistory::OpenForWriting(path_);
      for (int i = 0; i < kRowsEach; ++i)
        history->Record(Row(kNow, "child" + std::to_string(i) + "@p.org"));
    } catch (...) {
      code = 1;
    }
    _exit(code);
  }
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        auto history = VerdictHistory::OpenForWriting(path_);
        for (int i = 0; i < kRowsEach; ++i) {
          history->Record(Row(kNow, "t" + std::to_string(t) + "-" + std::to_string(i) + "@p.org"));
        }
      } catch (const Failure& failure) {
        failures[t] = 1;
        ADD_FAILURE() << failure.description();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  auto history = VerdictHistory::OpenForReading(path_);
  ASSERT_NE(history, nullptr);
  std::multiset<std::string> mailboxes;
  for (const VerdictRow& row : history->Query({})) mailboxes.insert(row.mailbox);
  EXPECT_EQ(mailboxes.size(), size_t{(kThreads + 1) * kRowsEach});
  for (int i = 0; i < kRowsEach; ++i) {
    EXPECT_EQ(mailboxes.count("child" + std::to_string(i) + "@p.org"), 1u);
    for (int t = 0; t < kThreads; ++t) {
      EXPECT_EQ(mailboxes.count("t" + std::to_string(t) + "-" + std::to_string(i) + "@p.org"), 1u);
    }
  }
}

TEST_F(VerdictHistoryTest, ReadingFindsNoHistoryInAMissingOrEmptyFileAndCreatesNothing) {
  EXPECT_EQ(VerdictHistory::OpenForReading(path_), nullptr);
  EXPECT_NE(access(path_.c_str(), F_OK), 0);
  std::ofstream(path_).close();
  EXPECT_EQ(VerdictHistory::OpenForReading(path_), nullptr);
}

TEST_F(VerdictHistoryTest, AFileThatIsNoHistoryIsRefusedAndLeftAlone) {
  const std::string garbage(4096, '\x5A');
  std::ofstream(path_, std::ios::binary) << garbage;
  EXPECT_THROW(VerdictHistory::OpenForWriting(path_), Failure);
  EXPECT_THROW(VerdictHistory::OpenForReading(path_), Failure);
  std::ifstream in(path_, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), garbage);

  // Another application's SQLite database.
  const std::string other = dir_.File("other.db");
  {
    auto history = VerdictHistory::OpenForWriting(other);
    sqlite3_exec(history->database(), "PRAGMA application_id = 7", nullptr, nullptr, nullptr);
  }
  EXPECT_THROW(VerdictHistory::OpenForWriting(other), Failure);
}

TEST_F(VerdictHistoryTest, AFileInADirectoryThatCannotBeWrittenFails) {
  EXPECT_THROW(VerdictHistory::OpenForWriting(dir_.File("no-such-directory/history.db")), Failure);
}

TEST_F(VerdictHistoryTest, SettingsComeFromTheRegistryFileWithDefaults) {
  const std::string registry_path = dir_.File("registry.reg");
  auto write = [&](const std::string& values) {
    std::ofstream(registry_path) << "Windows Registry Editor Version 5.00\r\n\r\n"
                                    "[HKEY_LOCAL_MACHINE\\Software\\Corvalith\\History]\r\n"
                                 << values;
  };
  FileRegistry registry(registry_path);
  HistorySettings settings = ReadHistorySettings(registry);
  EXPECT_EQ(settings.keep_days, kDefaultKeepDays);
  EXPECT_FALSE(settings.disabled);
  write("\"KeepDays\"=dword:0000001e\r\n\"Disabled\"=dword:00000001\r\n");
  settings = ReadHistorySettings(registry);
  EXPECT_EQ(settings.keep_days, 30);
  EXPECT_TRUE(settings.disabled);
  write("\"KeepDays\"=\"soon\"\r\n\"Disabled\"=dword:00000000\r\n");
  settings = ReadHistorySettings(registry);
  EXPECT_EQ(settings.keep_days, kDefaultKeepDays);
  EXPECT_FALSE(settings.disabled);
}

}  // namespace
}  // namespace corvalith::history
