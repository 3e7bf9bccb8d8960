#include "report/html_report.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "platform/failure.h"
#include "platform/testing/temp_directory.h"

namespace corvalith::report {
namespace {

constexpr char kHostile[] = "<script>alert(1)</script><img src=x onerror=alert(2)>\"'&";
constexpr char kHostileEscaped[] =
    "&lt;script&gt;alert(1)&lt;/script&gt;&lt;img src=x onerror=alert(2)&gt;&quot;&#39;&amp;";

DayCounts Day(int64_t day, int64_t spam, int64_t ham, int64_t false_positives,
              int64_t false_negatives) {
  DayCounts counts;
  counts.day = day;
  counts.spam = spam;
  counts.ham = ham;
  counts.false_positives = false_positives;
  counts.false_negatives = false_negatives;
  return counts;
}

// A report in which every text that comes from the history or a mail is hostile.
Report HostileReport() {
  Report report;
  report.history.today = 20833;
  report.history.first_day = 20833 - 29;
  report.history.days = {Day(20832, 2, 5, 1, 0), Day(20833, 0, 3, 0, 1)};
  const std::string name = std::string(kHostile) + "@evil.example";
  report.history.users = {MailboxCounts{name, 10, 2, 1, 0}};
  report.history.domains = {MailboxCounts{kHostile, 10, 2, 1, 0}};
  report.history.latest_false_positives = {
      FalsePositive{20832 * 86400 + 60, name, kHostile, kHostile, kHostile, kHostile, 0.75}};
  Explanation explanation;
  explanation.towards_spam = {FeatureContribution{std::string("subject:") + kHostile, 0.5, 0}};
  report.explanations = {explanation};
  DatabaseFigures database;
  database.name = name;
  database.problem = kHostile;
  report.databases = {database};
  return report;
}

TEST(HtmlEscapeTest, EscapesMarkupQuotesAndControlCharacters) {
  EXPECT_EQ(HtmlEscape(kHostile), kHostileEscaped);
  EXPECT_EQ(HtmlEscape("line\nbreak\x1B[31m"), "line\\nbreak\\x1B[31m");
  EXPECT_EQ(HtmlEscape("Ünïcödé stays"), "Ünïcödé stays");
}

TEST(ReportPageTest, NothingFromTheHistoryReachesThePageUnescaped) {
  const std::string page = ReportPage(HostileReport());
  // No markup of the data's own: neither as an element nor breaking out of an attribute.
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find("<img"), std::string::npos);
  EXPECT_EQ(page.find("onerror=alert(2)>"), std::string::npos);
  // As text (subject, sender, folder, feature, database problem) and in attributes (data-name)
  // and in an SVG <title>.
  EXPECT_NE(page.find("<dd class=\"subject\">" + std::string(kHostileEscaped) + "</dd>"),
            std::string::npos);
  EXPECT_NE(page.find("data-name=\"" + std::string(kHostileEscaped) + "@evil.example\""),
            std::string::npos);
  EXPECT_NE(page.find("<title>" + std::string(kHostileEscaped) + "@evil.example: 20.00% spam"),
            std::string::npos);
  EXPECT_NE(page.find("subject:" + std::string(kHostileEscaped)), std::string::npos);
  EXPECT_NE(page.find("cannot be read: " + std::string(kHostileEscaped)), std::string::npos);
  // Nothing may be loaded, whatever the page holds.
  EXPECT_NE(page.find("Content-Security-Policy\" content=\"default-src 'none'"), std::string::npos);
}

TEST(ReportPageTest, ChartsCarryEachDaysCounts) {
  const std::string page = ReportPage(HostileReport());
  EXPECT_NE(page.find("<g class=\"day\" data-day=\"2027-01-14\">"), std::string::npos);
  EXPECT_NE(page.find("class=\"bar spam\" data-day=\"2027-01-14\" data-count=\"2\""),
            std::string::npos);
  EXPECT_NE(page.find("class=\"bar ham\" data-day=\"2027-01-15\" data-count=\"3\""),
            std::string::npos);
  EXPECT_NE(page.find("class=\"bar false-negative\" data-day=\"2027-01-15\" data-count=\"1\""),
            std::string::npos);
  // 1 correction of 7 judged, then 1 of 3.
  EXPECT_NE(page.find("class=\"point\" data-day=\"2027-01-14\" data-rate=\"0.1429\""),
            std::string::npos);
  EXPECT_NE(page.find("class=\"point\" data-day=\"2027-01-15\" data-rate=\"0.3333\""),
            std::string::npos);
  EXPECT_NE(page.find("viewBox=\"0 0 "), std::string::npos);
  EXPECT_NE(page.find("name=\"viewport\""), std::string::npos);
  EXPECT_NE(page.find("@media print"), std::string::npos);
}

class PrivateFileTest : public ::testing::Test {
 protected:
  corvalith::testing::TempDirectory dir_{"corvalith-report"};
  std::string path_ = dir_.File("report.html");
};

mode_t ModeOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0);
  return status.st_mode & 07777;
}

TEST_F(PrivateFileTest, ANewFileIsTheOwnersAloneWhateverTheUmask) {
  const mode_t old_umask = ::umask(0);
  WritePrivateFile(path_, "<html></html>");
  ::umask(old_umask);
  EXPECT_EQ(ModeOf(path_), 0600u);
  std::ifstream in(path_);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "<html></html>");
}

TEST_F(PrivateFileTest, AnExistingFileIsReplacedAndKeepsItsMode) {
  std::ofstream(path_) << "an older and longer report";
  ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
  WritePrivateFile(path_, "new");
  EXPECT_EQ(ModeOf(path_), 0640u);
  std::ifstream in(path_);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "new");
}

TEST_F(PrivateFileTest, AFileThatCannotBeWrittenIsAFailure) {
  EXPECT_THROW(WritePrivateFile(dir_.File("no/such/dir/report.html"), "x"), Failure);
}

}  // namespace
}  // namespace corvalith::report
