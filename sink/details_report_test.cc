// The details report of the summary record, by debug level.
#include <gtest/gtest.h>

#include "platform/text.h"
#include "sink/sink_test_support.h"
#include "store/record.h"

namespace corvalith::testing {
namespace {

class DetailsReportTest : public SinkTest {
 protected:
  DetailsReportTest() {
    AddKnownUser();
    env_.files.WriteFile(kUserData + ".wlt", "bob@friend.net\r\n");
    engine_.ham_count = 12;
    engine_.spam_count = 3;
  }
  // The lines of the last record.
  std::vector<std::string> Lines() {
    std::string record = LogRecords().back();
    std::vector<std::string> lines;
    size_t pos = 0;
    for (;;) {
      size_t end = record.find("\r\n", pos);
      lines.push_back(record.substr(pos, end == std::string::npos ? end : end - pos));
      if (end == std::string::npos) return lines;
      pos = end + 2;
    }
  }
  // The lines after the settings in the record of one mail delivered at `level`.
  std::vector<std::string> BlocksAtLevel(int32_t level) {
    SetSettings(level, 0, 0, "Nope", 0, 0);
    Deliver("M.EML");
    std::vector<std::string> lines = Lines();
    constexpr size_t kBlocksStart = 18;
    if (lines.size() < kBlocksStart) return {};
    return std::vector<std::string>(lines.begin() + kBlocksStart, lines.end());
  }

  const std::vector<std::string> kHeaderBlock = {"--- Header ---", "  Received: from outside",
                                                 "  From: Bob <bob@spam.example>"};
};

TEST_F(DetailsReportTest, LevelTwoWhiteListedMail) {
  SetSettings(2, 0, 0, "Nope", 1, 1);
  std::string url = Deliver("M.EML", "Bob <bob@friend.net>");
  std::vector<std::string> lines = Lines();
  std::vector<std::string> expected = {
      "___Details___",
      "Domain    : example.com",
      "User      : alice",
      "Mailfile  : M.EML",
      "Flags     : 0x1000008",
      "URL       : " + url,
      "Sender    : bob@friend.net",
      "WhileList : /data/example.com/alice.dat.wlt",
      "Addr Type : SMTP",
      "Header Len: 50",
      "Body Len  : 10",
      "DebugLevel: 2",
      "UseJunkFld: no",
      "JunkFolder: " + kRoot + "/Nope",
      "WhiteList : enabled (auto)",
      "ProvMode  : 0",
      "HAM/SPAM  : 12/3",
  };
  ASSERT_EQ(lines.size(), expected.size() + 1);
  EXPECT_EQ(lines[0].rfind("New Mail (WL) forced to HAM : ", 0), 0u);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), expected);
}

TEST_F(DetailsReportTest, SettingsShapeTheLines) {
  SetSettings(2, 1, 3, "", 0, 0);
  Deliver("M.EML", "Bob <bob@friend.net>");
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 19u);
  EXPECT_EQ(lines[7], "Sender    : ");  // no whitelist test, no sender read
  EXPECT_EQ(lines[14], "JunkFolder: " + kRoot + "/0");
  EXPECT_EQ(lines[15], "WhiteList : disabled");
  EXPECT_EQ(lines[16], "ProvMode  : 3");
  EXPECT_EQ(lines[17], "Hide Spam : yes");
}

TEST_F(DetailsReportTest, AutoIsShownFromAutoWhiteListAlone) {
  SetSettings(2, 0, 0, "Nope", 1, 2);
  Deliver("M.EML", "Bob <bob@friend.net>");
  EXPECT_EQ(Lines()[15], "WhiteList : enabled (auto)");
}

TEST_F(DetailsReportTest, JunkFolderLostAtTheReTestShowsNoButKeepsItsUrl) {
  SetSettings(2, 0, 0, "Junk E-mail", 0, 0);
  store_.RefuseOpen(kRoot + "/Junk E-mail", 1);
  Deliver("M.EML");
  std::vector<std::string> lines = Lines();
  EXPECT_EQ(lines[13], "UseJunkFld: no");
  EXPECT_EQ(lines[14], "JunkFolder: " + kRoot + "/Junk E-mail");
}

TEST_F(DetailsReportTest, HeaderAtLevelFour) { EXPECT_EQ(BlocksAtLevel(4), kHeaderBlock); }

TEST_F(DetailsReportTest, BodyFollowsTheHeaderAtLevelFive) {
  std::vector<std::string> expected = kHeaderBlock;
  expected.insert(expected.end(), {"---  Body  ---", "  plain body"});
  EXPECT_EQ(BlocksAtLevel(5), expected);
}

// Item names, folder names, header and body come from outside. Each value stays on its own
// line, and no line of the header and body blocks can pass for a record: they are indented.
TEST_F(DetailsReportTest, NoValueAndNoBlockLineCanForgeARecord) {
  const std::string forged = "2026-01-01 00:00:00 1 forged";
  SetSettings(5, 0, 0, "Junk\r\n" + forged, 0, 0);
  Deliver("M\r\n" + forged + ".EML", "Bob <bob@spam.example>",
          {{store::kHeaderBlockProperty,
            Variant::String("Received: x\r\n\tby y\n" + forged + "\rZ\r\n")},
           {store::kPlainBodyProperty, Variant::String("one\r\n" + forged + "\n\x1B[2J")}});
  for (const std::string& record : LogRecords()) EXPECT_NE(record.rfind("forged", 0), 0u);
  std::vector<std::string> lines = Lines();
  ASSERT_EQ(lines.size(), 27u);
  EXPECT_EQ(lines[4], "Mailfile  : M\\r\\n" + forged + ".EML");
  EXPECT_EQ(lines[6], "URL       : " + kInbox + "/M\\r\\n" + forged + ".EML");
  EXPECT_EQ(lines[14], "JunkFolder: " + kRoot + "/Junk\\r\\n" + forged);
  const std::vector<std::string> blocks = {
      "--- Header ---", "  Received: x", "  \\tby y", "  " + forged + "\\rZ", "", "---  Body  ---",
      "  one",          "  " + forged,   "  \\x1B[2J"};
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 18, lines.end()), blocks);
}

TEST_F(DetailsReportTest, FailingStatisticsLoseTheSummaryForOneErrorLine) {
  SetSettings(2, 0, 0, "Nope", 0, 0);
  engine_.fail_op = "GetStatistics";
  std::string url = Deliver("M.EML");
  EXPECT_EQ(Marker(url), 1);
  std::vector<std::string> records = LogRecords();
  EXPECT_EQ(records.back(),
            "Err: Corvalith Extension failed: engine broke 0x80004005 Source: " + url);
  for (const std::string& r : records) EXPECT_NE(r.rfind("New Mail", 0), 0u) << r;
}

}  // namespace
}  // namespace corvalith::testing
