// End-to-end tests of `corvalith report` on the real binary: a home without a history, a
// damaged history, and a history whose rows name mail in the store and mail that is gone.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <regex>

#include "history/verdict_history.h"
#include "mailhost/testing/host_test_support.h"
#include "report/test_rows.h"

namespace corvalith::report {
namespace {

using host::testing::CorvalithTest;
using host::testing::Message;
using host::testing::Outcome;
using host::testing::ReadFile;
using host::testing::WriteFile;

constexpr char kAlice[] = "alice@example.com";

class ReportCommandTest : public CorvalithTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(Corvalith({"init"}).status, 0);
    ASSERT_EQ(Corvalith({"mailbox", "add", kAlice}).status, 0);
    // The rows below are the whole history: the deliveries of the test record none.
    WriteFile(home_ / "registry.reg",
              ReadFile(home_ / "registry.reg") +
                  "\r\n[HKEY_LOCAL_MACHINE\\Software\\Corvalith\\History]\r\n"
                  "\"Disabled\"=dword:00000001\r\n");
  }

  std::string History() const { return (home_ / "history.db").string(); }

  // Delivers a mail into Alice's Inbox; the item's name.
  std::string DeliverToInbox(const std::string& subject) {
    Outcome delivered = Corvalith(
        {"--json", "deliver", kAlice,
         MessageFile(subject + ".eml", Message("Mallory <m@evil.example>", subject,
                                               "Cheap pills, click http://evil.example/buy"))});
    EXPECT_EQ(delivered.status, 0) << delivered.err;
    const std::string url = delivered.JsonLines().at(0).at("url");
    return url.substr(url.rfind('/') + 1);
  }
};

TEST_F(ReportCommandTest, WithoutAHistoryItSaysSoAndSucceeds) {
  Outcome report = Corvalith({"report"});
  EXPECT_EQ(report.status, 0) << report.err;
  EXPECT_NE(report.out.find("no verdict history yet"), std::string::npos) << report.out;
  Outcome json = Corvalith({"--json", "report"});
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_TRUE(json.JsonLines().at(0).at("history").is_null()) << json.out;
  EXPECT_FALSE(std::filesystem::exists(History())) << "a report creates no history";
}

TEST_F(ReportCommandTest, ADamagedHistoryFailsWithOneLine) {
  WriteFile(History(), std::string(8192, '\x5a'));
  Outcome report = Corvalith({"report", "--html", (dir_ / "page.html").string()});
  EXPECT_EQ(report.status, 1);
  EXPECT_TRUE(report.err.starts_with("corvalith: ")) << report.err;
  EXPECT_NE(report.err.find("history.db"), std::string::npos) << report.err;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "page.html"));
}

TEST_F(ReportCommandTest, BadDaysAreAUsageError) {
  for (const char* days : {"0", "-3", "ten", "3651"}) {
    EXPECT_EQ(Corvalith({"report", "--days", days}).status, 2) << days;
  }
}

TEST_F(ReportCommandTest, ReportsTheHistoryAndExplainsRescuedMailStillInTheStore) {
  const std::string kept = DeliverToInbox("still here");
  const int64_t now = std::time(nullptr);
  {
    auto file = history::VerdictHistory::OpenForWriting(History());
    file->Record(testing::Delivery(now - 60, kAlice, "spam"));
    file->Record(testing::Delivery(now - 50, kAlice, "ham"));
    history::VerdictRow rescued = testing::Correction(now - 40, kAlice, history::kFalsePositive);
    rescued.item = kept;
    rescued.subject = "still here";
    file->Record(rescued);
    history::VerdictRow gone = testing::Correction(now - 30, kAlice, history::kFalsePositive);
    gone.item = "NO-SUCH-ITEM.EML";
    gone.subject = "gone since";
    file->Record(gone);
  }

  const std::string page = (dir_ / "page.html").string();
  Outcome report = Corvalith({"report", "--days", "7", "--html", page});
  ASSERT_EQ(report.status, 0) << report.err;
  // The total row: 2 mails (1 spam, 1 ham), 2 false positives: both mails judged corrected.
  EXPECT_TRUE(
      std::regex_search(report.out, std::regex(R"(total\s+2\s+1\s+1\s+0\s+0\s+2\s+0\s+100\.00%)")))
      << report.out;
  EXPECT_TRUE(
      std::regex_search(report.out, std::regex(R"(\nalice@example\.com\s+2\s+50\.00%\s+2\s+0\n)")))
      << report.out;
  // The newest first: the one gone, then the one still in the store, with its features.
  const size_t gone = report.out.find("subject: gone since");
  const size_t here = report.out.find("subject: still here");
  ASSERT_NE(gone, std::string::npos) << report.out;
  ASSERT_NE(here, std::string::npos) << report.out;
  EXPECT_LT(gone, here);
  EXPECT_NE(report.out.find("no longer in the store", gone), std::string::npos);
  EXPECT_LT(report.out.find("no longer in the store", gone), here);
  EXPECT_NE(report.out.find("towards spam", here), std::string::npos) << report.out;
  // What the filter learned: Alice's database exists since her first mail.
  EXPECT_NE(report.out.find("site model"), std::string::npos) << report.out;

  // The same figures for a script.
  Outcome json = Corvalith({"--json", "report", "--days", "7"});
  ASSERT_EQ(json.status, 0) << json.err;
  const nlohmann::json answer = json.JsonLines().at(0);
  EXPECT_EQ(answer.at("users").at(0).at("name"), kAlice);
  EXPECT_EQ(answer.at("users").at(0).at("mails"), 2);
  EXPECT_EQ(answer.at("users").at(0).at("corrections"), 2);
  ASSERT_EQ(answer.at("false_positives").size(), 2u);
  EXPECT_TRUE(answer["false_positives"][0].at("explanation").is_null());
  EXPECT_TRUE(answer["false_positives"][1].at("explanation").contains("towards_spam"));

  struct stat status {};
  ASSERT_EQ(::stat(page.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_NE(ReadFile(page).find("data-count=\"1\""), std::string::npos);
}

}  // namespace
}  // namespace corvalith::report
