#include "report/history_summary.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>

#include "history/verdict_history.h"
#include "platform/failure.h"
#include "platform/testing/temp_directory.h"
#include "report/test_rows.h"

namespace corvalith::report {
namespace {

using testing::Correction;
using testing::Delivery;
using testing::Trusted;

// 2027-01-15 12:00:00 UTC.
constexpr int64_t kToday = 20833;
constexpr int64_t kNow = kToday * kSecondsPerDay + 12 * 3600;

int64_t At(int64_t day, int64_t seconds_into_day) {
  return day * kSecondsPerDay + seconds_into_day;
}

class HistorySummaryTest : public ::testing::Test {
 protected:
  void Record(const std::vector<history::VerdictRow>& rows) {
    auto file = history::VerdictHistory::OpenForWriting(path_, /*keep_days=*/0);
    for (const history::VerdictRow& row : rows) file->Record(row);
  }

  corvalith::testing::TempDirectory dir_{"corvalith-report"};
  std::string path_ = dir_.File("history.db");
};

TEST_F(HistorySummaryTest, CountsEachDayByVerdictWithCorrectionsAndTheErrorRate) {
  Record({
      // Two days ago: 3 spam, 4 ham (one forced), one without verdict, one false positive.
      Delivery(At(kToday - 2, 100), "alice@a.example", "spam"),
      Delivery(At(kToday - 2, 200), "alice@a.example", "spam"),
      Delivery(At(kToday - 2, 300), "bob@b.example", "spam"),
      Delivery(At(kToday - 2, 400), "alice@a.example", "ham"),
      Delivery(At(kToday - 2, 500), "alice@a.example", "ham"),
      Delivery(At(kToday - 2, 600), "bob@b.example", "ham"),
      Trusted(At(kToday - 2, 700), "bob@b.example", "friend@c.example"),
      Delivery(At(kToday - 2, 800), "bob@b.example", "none"),
      Correction(At(kToday - 2, 900), "alice@a.example", history::kFalsePositive),
      // Today: a ham and a false negative.
      Delivery(At(kToday, 100), "alice@a.example", "ham"),
      Correction(At(kToday, 200), "alice@a.example", history::kFalseNegative),
  });

  std::optional<HistorySummary> summary = ReadHistorySummary(path_, 30, kNow);
  ASSERT_TRUE(summary);
  EXPECT_EQ(summary->today, kToday);
  EXPECT_EQ(summary->first_day, kToday - 29);
  // The day between, without rows, is listed too: a chart's time axis has no holes.
  ASSERT_EQ(summary->days.size(), 3u);
  const DayCounts& first = summary->days[0];
  EXPECT_EQ(DayText(first.day), "2027-01-13");
  EXPECT_EQ(first.spam, 3);
  EXPECT_EQ(first.ham, 4);
  EXPECT_EQ(first.none, 1);
  EXPECT_EQ(first.forced, 1);
  EXPECT_EQ(first.mails(), 8);
  EXPECT_EQ(first.false_positives, 1);
  EXPECT_EQ(first.false_negatives, 0);
  // One correction among the 7 mails judged (the one without a verdict was not).
  EXPECT_DOUBLE_EQ(first.ErrorRate().value(), 1.0 / 7);

  const DayCounts& between = summary->days[1];
  EXPECT_EQ(between.mails(), 0);
  EXPECT_FALSE(between.ErrorRate()) << "no mail judged: no rate, rather than 0";

  const DayCounts& today = summary->days[2];
  EXPECT_EQ(DayText(today.day), "2027-01-15");
  EXPECT_EQ(today.ham, 1);
  EXPECT_EQ(today.false_negatives, 1);
  EXPECT_DOUBLE_EQ(today.ErrorRate().value(), 1.0);

  const DayCounts total = summary->Total();
  EXPECT_EQ(total.mails(), 9);
  EXPECT_EQ(total.corrections(), 2);
}

TEST_F(HistorySummaryTest, SumsUpEachMailboxAndDomain) {
  Record({
      Delivery(At(kToday, 1), "alice@a.example", "spam"),
      Delivery(At(kToday, 2), "alice@a.example", "ham"),
      Delivery(At(kToday, 3), "alice@a.example", "ham"),
      Delivery(At(kToday, 4), "alice@a.example", "ham"),
      // The same trusted sender twice counts once; another one counts too.
      Trusted(At(kToday, 5), "alice@a.example", "friend@c.example"),
      Trusted(At(kToday, 6), "alice@a.example", "friend@c.example"),
      Trusted(At(kToday, 7), "carol@a.example", "other@c.example"),
      Correction(At(kToday, 8), "alice@a.example", history::kFalsePositive),
      Correction(At(kToday, 9), "alice@a.example", history::kFalseNegative),
      Delivery(At(kToday, 10), "bob@b.example", "spam"),
  });

  std::optional<HistorySummary> summary = ReadHistorySummary(path_, 30, kNow);
  ASSERT_TRUE(summary);
  ASSERT_EQ(summary->users.size(), 3u);
  const MailboxCounts& alice = summary->users[0];
  EXPECT_EQ(alice.name, "alice@a.example");
  EXPECT_EQ(alice.mails, 6);
  EXPECT_EQ(alice.spam, 1);
  EXPECT_DOUBLE_EQ(alice.SpamShare().value(), 1.0 / 6);
  EXPECT_EQ(alice.corrections, 2);
  EXPECT_EQ(alice.trusted_senders, 1);
  EXPECT_EQ(summary->users[1].name, "bob@b.example");
  EXPECT_EQ(summary->users[1].mails, 1);
  EXPECT_DOUBLE_EQ(summary->users[1].SpamShare().value(), 1.0);
  EXPECT_EQ(summary->users[2].name, "carol@a.example");

  ASSERT_EQ(summary->domains.size(), 2u);
  const MailboxCounts& a = summary->domains[0];
  EXPECT_EQ(a.name, "a.example");
  EXPECT_EQ(a.mails, 7);
  EXPECT_EQ(a.corrections, 2);
  EXPECT_EQ(a.trusted_senders, 2);
  EXPECT_EQ(summary->domains[1].name, "b.example");
  EXPECT_EQ(summary->domains[1].spam, 1);
}

TEST_F(HistorySummaryTest, DaysAreUtcDaysAndTheWindowEndsToday) {
  Record({
      // The last second before the window, and the first in it.
      Delivery(At(kToday - 7, -1), "alice@a.example", "spam"),
      Delivery(At(kToday - 6, 0), "alice@a.example", "ham"),
      // The last second of a day and the first of the next.
      Delivery(At(kToday - 1, kSecondsPerDay - 1), "alice@a.example", "ham"),
      Delivery(At(kToday, 0), "alice@a.example", "spam"),
      // After today: a clock that was wrong.
      Delivery(At(kToday + 1, 0), "alice@a.example", "spam"),
  });

  std::optional<HistorySummary> summary = ReadHistorySummary(path_, 7, kNow);
  ASSERT_TRUE(summary);
  ASSERT_EQ(summary->days.size(), 7u);
  EXPECT_EQ(DayText(summary->days.front().day), "2027-01-09");
  EXPECT_EQ(summary->days.front().ham, 1);
  EXPECT_EQ(summary->days.front().spam, 0);
  EXPECT_EQ(summary->days[5].ham, 1);
  EXPECT_EQ(summary->days[5].spam, 0);
  EXPECT_EQ(summary->days[6].ham, 0);
  EXPECT_EQ(summary->days[6].spam, 1);
  EXPECT_EQ(summary->Total().mails(), 3);
  EXPECT_EQ(summary->users.at(0).mails, 3) << "the per-user table has the same window";
}

TEST_F(HistorySummaryTest, ListsTheLatestTenFalsePositivesNewestFirst) {
  std::vector<history::VerdictRow> rows;
  for (int i = 0; i < 12; ++i) {
    history::VerdictRow row =
        Correction(At(kToday, 100 + i), "alice@a.example", history::kFalsePositive);
    row.subject = "rescued " + std::to_string(i);
    rows.push_back(row);
  }
  rows.push_back(Correction(At(kToday, 500), "alice@a.example", history::kFalseNegative));
  Record(rows);

  std::optional<HistorySummary> summary = ReadHistorySummary(path_, 30, kNow);
  ASSERT_TRUE(summary);
  ASSERT_EQ(summary->latest_false_positives.size(), 10u);
  EXPECT_EQ(summary->latest_false_positives.front().subject, "rescued 11");
  EXPECT_EQ(summary->latest_false_positives.back().subject, "rescued 2");
  EXPECT_EQ(summary->latest_false_positives.front().folder, "Inbox");
  EXPECT_EQ(summary->latest_false_positives.front().item, rows[11].item);
}

TEST_F(HistorySummaryTest, ARescuedMailHasTheScoreOfItsDelivery) {
  history::VerdictRow delivered = Delivery(At(kToday, 100), "alice@a.example", "spam");
  delivered.score = 0.875;
  history::VerdictRow other = Delivery(At(kToday, 150), "bob@b.example", "spam");
  other.item = delivered.item;  // another mailbox's item of the same name
  other.score = 0.5;
  history::VerdictRow rescued =
      Correction(At(kToday, 200), "alice@a.example", history::kFalsePositive);
  rescued.item = delivered.item;
  rescued.score.reset();  // a move is not classified
  history::VerdictRow unknown =
      Correction(At(kToday, 300), "alice@a.example", history::kFalsePositive);
  unknown.item = "NEVER-DELIVERED.EML";
  unknown.score.reset();
  Record({delivered, other, rescued, unknown});

  std::optional<HistorySummary> summary = ReadHistorySummary(path_, 30, kNow);
  ASSERT_TRUE(summary);
  ASSERT_EQ(summary->latest_false_positives.size(), 2u);
  EXPECT_FALSE(summary->latest_false_positives[0].score);
  EXPECT_EQ(summary->latest_false_positives[1].score, 0.875);
}

TEST_F(HistorySummaryTest, NoFileOrAnEmptyOneIsNoHistoryAndAnEmptyWindowHasNoDays) {
  EXPECT_FALSE(ReadHistorySummary(path_, 30, kNow));
  std::ofstream(path_).close();
  EXPECT_FALSE(ReadHistorySummary(path_, 30, kNow));

  std::filesystem::remove(path_);
  Record({Delivery(At(kToday - 40, 0), "alice@a.example", "spam")});
  std::optional<HistorySummary> summary = ReadHistorySummary(path_, 30, kNow);
  ASSERT_TRUE(summary);
  EXPECT_TRUE(summary->days.empty());
  EXPECT_TRUE(summary->users.empty());
}

TEST_F(HistorySummaryTest, TimesThatAreNoWholeNumbersFallIntoTheirDay) {
  Record({Delivery(At(kToday, 10), "alice@a.example", "spam")});
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    const std::string sql = "UPDATE verdicts SET time = " + std::to_string(At(kToday, 10)) +
                            ".5; INSERT INTO verdicts SELECT NULL, " +
                            std::to_string(At(kToday, 20)) +
                            ".25, mailbox, domain, folder, item, message_id, sender, subject, "
                            "event, verdict, marker, reason, trusted, moved, score, "
                            "earlier_verdict, correction FROM verdicts";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  std::optional<HistorySummary> summary = ReadHistorySummary(path_, 30, kNow);
  ASSERT_TRUE(summary);
  ASSERT_EQ(summary->days.size(), 1u);
  EXPECT_EQ(summary->days[0].spam, 2);
}

TEST_F(HistorySummaryTest, ADamagedOrForeignFileIsAFailure) {
  std::ofstream(path_) << std::string(4096, 'x');
  EXPECT_THROW(ReadHistorySummary(path_, 30, kNow), Failure);

  const std::string foreign = dir_.File("foreign.db");
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(foreign.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE verdicts(x)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  EXPECT_THROW(ReadHistorySummary(foreign, 30, kNow), Failure);
}

}  // namespace
}  // namespace corvalith::report
