// A filter that cannot write its log or its data directory, or cannot use its site model: what
// the host finds (FilterProblems), how it tells the administrator once (FilterAlarm,
// FilterWatch), and what `corvalith deliver`, `stats` and `score` show.
#include "mailhost/filter_health.h"

#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "logging/log_event.h"
#include "logging/lost_log_records.h"
#include "mailhost/testing/host_test_support.h"
#include "platform/testing/as_another_user.h"
#include "platform/testing/memory_environment.h"
#include "platform/testing/temp_directory.h"

namespace corvalith::host {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

using corvalith::testing::kNobody;

std::vector<std::string> Entries(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class FilterProblemsTest : public ::testing::Test {
 protected:
  FilterProblemsTest() { fs::permissions(temp_.path(), fs::perms(0755)); }

  // FilterProblems as a user who owns nothing here: root, who may write anything, becomes
  // nobody in a child process; anyone else is such a user already.
  std::vector<std::string> ProblemsForAnotherUser() {
    const corvalith::testing::OtherUserOutcome run = corvalith::testing::RunAsAnotherUser([&] {
      std::string text;
      for (const std::string& problem : FilterProblems(data_)) text += problem + "\n";
      return text;
    });
    EXPECT_TRUE(run.became_other_user && run.finished);
    const std::string& text = run.text;
    std::vector<std::string> problems;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) problems.push_back(line);
    return problems;
  }

  corvalith::testing::TempDirectory temp_{"filter-health"};
  const std::string data_ = temp_.path() + "/";
  const std::string log_ = data_ + "Corvalith.log";
};

// The probe changes nothing (`score` promises as much), and never creates the log: a log root
// created would lock the delivering user out of it.
TEST_F(FilterProblemsTest, AWritableDirectoryHasNoneAndIsLeftAsItWas) {
  EXPECT_EQ(FilterProblems(data_), std::vector<std::string>{});
  EXPECT_EQ(Entries(data_), std::vector<std::string>{});
  { std::ofstream(log_) << "x\r\n"; }
  const fs::file_time_type directory_time = fs::last_write_time(data_);
  const fs::file_time_type log_time = fs::last_write_time(log_);
  EXPECT_EQ(FilterProblems(data_), std::vector<std::string>{});
  EXPECT_EQ(Entries(data_), std::vector<std::string>{"Corvalith.log"});
  EXPECT_EQ(fs::last_write_time(data_), directory_time);
  EXPECT_EQ(fs::last_write_time(log_), log_time);
}

TEST_F(FilterProblemsTest, EachProblemNamesThePathTheReasonAndWhoOwnsIt) {
  struct Case {
    const char* name;
    fs::perms directory;
    std::optional<fs::perms> log;  // none: no log yet
    std::vector<std::string> starts;
  } cases[] = {
      {"no log, directory not writable",
       fs::perms(0555),
       std::nullopt,
       {"cannot create " + log_ + ": Permission denied (owner "}},
      {"log not writable",
       fs::perms(0777),
       fs::perms(0444),
       {"cannot write " + log_ + ": Permission denied (owner "}},
      {"log writable, directory not",
       fs::perms(0555),
       fs::perms(0666),
       {"cannot create a domain's directory or the site model in " + data_ +
        ": Permission denied (owner "}},
      {"neither",
       fs::perms(0555),
       fs::perms(0444),
       {"cannot write " + log_ + ": Permission denied (owner ",
        "cannot create a domain's directory or the site model in " + data_}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::permissions(data_, fs::perms(0755));
    fs::remove(log_);
    if (c.log) {
      { std::ofstream(log_) << "x\r\n"; }
      fs::permissions(log_, *c.log);
    }
    fs::permissions(data_, c.directory);
    const std::vector<std::string> problems = ProblemsForAnotherUser();
    ASSERT_EQ(problems.size(), c.starts.size());
    for (size_t i = 0; i < problems.size(); ++i) {
      EXPECT_THAT(problems[i], StartsWith(c.starts[i]));
      EXPECT_THAT(problems[i], HasSubstr("; running as "));
    }
  }
  fs::permissions(data_, fs::perms(0755));
}

// What root meets too: a log that is no file, a data directory that is none.
TEST_F(FilterProblemsTest, AnyUserMeetsALogThatIsADirectoryAndAMissingDataDirectory) {
  fs::create_directory(log_);
  std::vector<std::string> problems = FilterProblems(data_);
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_THAT(problems[0], StartsWith("cannot write " + log_ + ": Is a directory (owner "));
  problems = FilterProblems(data_ + "missing/");
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_THAT(problems[0],
              StartsWith("cannot create " + data_ +
                         "missing/Corvalith.log: No such file or directory (running as "));
}

TEST(FilterAlarmTest, SoundsOnceWithOneLineAndOneErrorEventPerProblem) {
  corvalith::testing::MemoryEventLog events;
  std::ostringstream err;
  FilterAlarm alarm(events, err);
  alarm.Sound({});
  EXPECT_FALSE(alarm.sounded()) << "nothing to say is no alarm";
  alarm.Sound({"cannot write /d/Corvalith.log: Permission denied", "cannot create in /d/"});
  alarm.Sound({"something else"});
  EXPECT_TRUE(alarm.sounded());
  EXPECT_EQ(err.str(),
            "corvalith: warning: the filter is not filtering: cannot write /d/Corvalith.log: "
            "Permission denied\n"
            "corvalith: warning: the filter is not filtering: cannot create in /d/\n");
  const std::vector<EventLogEntry> entries = events.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].source, "CorvalithFilter");
  EXPECT_EQ(entries[0].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(entries[0].event_id, static_cast<uint32_t>(kFilterCannotWorkEventId));
  EXPECT_EQ(entries[0].strings,
            std::vector<std::string>{"The filter is not filtering: cannot write "
                                     "/d/Corvalith.log: Permission denied"});
}

// The log may become unwritable while a long-running host works: the filter then loses its
// records, and the next save after the first loss sounds the alarm, naming what the probe finds.
TEST_F(FilterProblemsTest, WatchSoundsAtTheStartAndAfterTheFirstLostRecord) {
  corvalith::testing::MemoryEventLog events;
  std::ostringstream err;
  FilterAlarm alarm(events, err);
  FilterWatch watch(data_, alarm);
  watch.AfterSave();
  EXPECT_FALSE(alarm.sounded());

  fs::create_directory(log_);
  NoteLostLogRecord(Failure::FromErrno(log_, EISDIR));
  watch.AfterSave();
  EXPECT_THAT(err.str(),
              StartsWith("corvalith: warning: the filter is not filtering: cannot write " + log_ +
                         ": Is a directory"));
  NoteLostLogRecord(Failure::FromErrno(log_, EISDIR));
  watch.AfterSave();
  EXPECT_EQ(events.entries().size(), 1u);

  // A fresh process (here: alarm) meets the problem when its filter starts.
  corvalith::testing::MemoryEventLog later_events;
  std::ostringstream later_err;
  FilterAlarm later(later_events, later_err);
  FilterWatch started(data_, later);
  EXPECT_THAT(later_err.str(), HasSubstr("cannot write " + log_));
}

// A record lost to a failure that has passed by the time of the probe (a full disk freed) is
// still told, by the failure that lost it.
TEST_F(FilterProblemsTest, WatchTellsARecordLostToAPassingFailure) {
  corvalith::testing::MemoryEventLog events;
  std::ostringstream err;
  FilterAlarm alarm(events, err);
  FilterWatch watch(data_, alarm);
  NoteLostLogRecord(Failure::FromErrno(log_, ENOSPC));
  watch.AfterSave();
  EXPECT_EQ(err.str(), "corvalith: warning: the filter is not filtering: a log record was lost: " +
                           log_ + ": No space left on device\n");
}

// The whole command, as the administrator meets it.
class FilterHealthCommandTest : public testing::CorvalithTest {
 protected:
  static constexpr char kAlice[] = "alice@example.com";

  void SetUp() override {
    ASSERT_EQ(Corvalith({"init"}).status, 0);
    ASSERT_EQ(Corvalith({"mailbox", "add", kAlice}).status, 0);
  }
  std::string Mail(const std::string& name) {
    return MessageFile(name, testing::Message("Ann <ann@a.example>", name, "hello"));
  }
  std::vector<nlohmann::json> Events(int event_id) {
    std::vector<nlohmann::json> found;
    std::istringstream lines(testing::ReadFile(home_ / "events.jsonl"));
    for (std::string line; std::getline(lines, line);) {
      nlohmann::json entry = nlohmann::json::parse(line);
      if (entry["event_id"] == event_id) found.push_back(entry);
    }
    return found;
  }

  const std::string data_ = (home_ / "data").string() + "/";
};

TEST_F(FilterHealthCommandTest, AFilterThatCannotWriteItsLogIsToldOnceAndShownByStatsAndScore) {
  fs::create_directory(data_ + "Corvalith.log");
  const std::string problem = "cannot write " + data_ + "Corvalith.log: Is a directory (owner ";

  testing::Outcome delivered = Corvalith({"deliver", kAlice, Mail("a.eml"), Mail("b.eml")});
  EXPECT_EQ(delivered.status, 0) << "the mail is delivered all the same";
  EXPECT_THAT(delivered.err,
              StartsWith("corvalith: warning: the filter is not filtering: " + problem));
  EXPECT_EQ(std::count(delivered.err.begin(), delivered.err.end(), '\n'), 1) << delivered.err;
  const std::vector<nlohmann::json> events = Events(kFilterCannotWorkEventId);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]["type"], EVENTLOG_ERROR_TYPE);
  EXPECT_THAT(events[0]["strings"][0].get<std::string>(),
              StartsWith("The filter is not filtering: " + problem));

  testing::Outcome stats = Corvalith({"stats", kAlice});
  EXPECT_EQ(stats.status, 0) << stats.err;
  EXPECT_THAT(stats.out, HasSubstr("\n  filter: not filtering: " + problem));
  nlohmann::json json = Corvalith({"--json", "stats", kAlice}).JsonLines().at(0);
  ASSERT_EQ(json["filter_problems"].size(), 1u);
  EXPECT_THAT(json["filter_problems"][0].get<std::string>(), StartsWith(problem));

  testing::Outcome scored = Corvalith({"score", kAlice, Mail("c.eml")});
  EXPECT_EQ(scored.status, 0) << scored.err;
  EXPECT_THAT(scored.out, StartsWith("filter: not filtering: " + problem));
  json = Corvalith({"--json", "score", kAlice, Mail("c.eml")}).JsonLines().at(0);
  EXPECT_THAT(json["filter_problems"][0].get<std::string>(), StartsWith(problem));

  // Put right, the filter works and nothing more is said.
  fs::remove(data_ + "Corvalith.log");
  delivered = Corvalith({"deliver", kAlice, Mail("d.eml")});
  EXPECT_EQ(delivered.err, "");
  EXPECT_EQ(Corvalith({"--json", "stats", kAlice}).JsonLines().at(0).count("filter_problems"), 0u);
}

// Users' models learn only what the site model leaves unexplained: without it a trained user's
// mail scores like an untrained one's. One error record and one event per process say so.
TEST_F(FilterHealthCommandTest, AnUnusableSiteModelIsLoggedOnceAndShownByStatsAndScore) {
  const std::string site = data_ + "Corvalith site model";
  testing::WriteFile(site, "not a site model at all\n");
  const std::string why = "The file " + site + " is not a site model (unknown format)";

  testing::Outcome delivered = Corvalith({"deliver", kAlice, Mail("a.eml"), Mail("b.eml")});
  EXPECT_EQ(delivered.status, 0) << delivered.err;
  EXPECT_EQ(delivered.err, "");
  const std::string log = testing::ReadFile(data_ + "Corvalith.log");
  const std::string record =
      "Err: Site model not used, each user's own model decides alone: " + why +
      " 0x80040E11 Source: " + site + "\r\n";
  size_t at = log.find(record);
  EXPECT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find(record, at + 1), std::string::npos) << "one record per process";
  EXPECT_EQ(Events(kSiteModelUnusableEventId).size(), 1u);
  EXPECT_EQ(testing::ReadFile(site), "not a site model at all\n");

  testing::Outcome stats = Corvalith({"stats", kAlice});
  EXPECT_THAT(stats.out, HasSubstr("\n  site model: not used: " + why));
  EXPECT_EQ(Corvalith({"--json", "stats", kAlice}).JsonLines().at(0)["site_failure"], why);
  EXPECT_THAT(Corvalith({"score", kAlice, Mail("c.eml")}).out,
              StartsWith("site model: not used: " + why + "\n"));
  EXPECT_EQ(Corvalith({"--json", "score", kAlice, Mail("c.eml")}).JsonLines().at(0)["site_failure"],
            why);
}

}  // namespace
}  // namespace corvalith::host
