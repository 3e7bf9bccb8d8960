#include <gtest/gtest.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "platform/posix_environment.h"
#include "platform/testing/file_bytes.h"
#include "platform/testing/memory_environment.h"
#include "platform/testing/temp_directory.h"
#include "platform/text.h"

namespace corvalith {
namespace {

TEST(EventLogJsonTest, EveryFieldEscapedAndDataAsHex) {
  EventLogEntry entry{
      "CorvalithFilter",
      2,
      3,
      70000,
      {"quote \" back \\ tab\t nl\n cr\r bell\x07", "Grüße", "bad \xFF\xC3 end", ""},
      {0x00, 0x0A, 0xFF, 0x41}};
  std::string line = EventLogJsonLine({2026, 1, 2, 3, 4, 5}, entry);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  nlohmann::json json = nlohmann::json::parse(line);  // throws on invalid JSON or UTF-8
  EXPECT_EQ(json["time"], "2026-01-02 03:04:05");
  EXPECT_EQ(json["source"], "CorvalithFilter");
  EXPECT_EQ(json["type"], 2);
  EXPECT_EQ(json["category"], 3);
  EXPECT_EQ(json["event_id"], 70000);
  ASSERT_EQ(json["strings"].size(), 4u);
  EXPECT_EQ(json["strings"][0], entry.strings[0]);
  EXPECT_EQ(json["strings"][1], "Grüße");
  EXPECT_EQ(json["strings"][2], "bad \xEF\xBF\xBD\xEF\xBF\xBD end");  // U+FFFD each
  EXPECT_EQ(json["strings"][3], "");
  EXPECT_EQ(json["data"], "000aff41");
  EXPECT_EQ(json.size(), 7u);
}

// One entry, one line, whatever a message holds: every control character, NUL and DEL
// included, is escaped and reads back unchanged.
TEST(EventLogJsonTest, EveryControlCharacterIsEscaped) {
  std::string message;
  for (int byte = 0; byte < 0x20; ++byte) message += static_cast<char>(byte);
  message += '\x7F';
  EventLogEntry entry{"CorvalithFilter", 4, 0, 0, {message}, {}};
  std::string line = EventLogJsonLine({2026, 1, 2, 3, 4, 5}, entry);
  for (char c : line) EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 && c != '\x7F') << +c;
  EXPECT_EQ(nlohmann::json::parse(line)["strings"][0], message);
}

TEST(EventLogJsonTest, PriorityFromType) {
  const std::pair<uint16_t, int> cases[] = {{1, LOG_ERR},    {2, LOG_WARNING}, {4, LOG_INFO},
                                            {0, LOG_NOTICE}, {8, LOG_NOTICE},  {16, LOG_NOTICE}};
  for (auto [type, priority] : cases) EXPECT_EQ(SyslogPriority(type), priority) << type;
}

class PosixEventLogTest : public ::testing::Test {
 protected:
  std::vector<nlohmann::json> Entries() {
    std::vector<nlohmann::json> entries;
    for (const std::string& line : SplitText(testing::ReadFileBytes(path_), '\n')) {
      if (!line.empty()) entries.push_back(nlohmann::json::parse(line));
    }
    return entries;
  }

  testing::ManualClock clock_;
  testing::TempDirectory dir_{"corvalith-events"};
  std::string path_ = dir_.File("events.jsonl");
};

TEST_F(PosixEventLogTest, EntriesGoToTheJsonFileOnePerLine) {
  PosixEventLog log(clock_, {false, path_});
  EventSourceHandle handle = log.RegisterEventSource("CorvalithFilter");
  ASSERT_NE(handle, 0u);
  EXPECT_TRUE(log.ReportEvent(handle, EVENTLOG_INFORMATION_TYPE, 0, 0, {"a", "b"}, {'a', 0}));
  clock_.SetNow({2027, 12, 31, 23, 59, 58});
  EXPECT_TRUE(log.ReportEvent(handle, EVENTLOG_ERROR_TYPE, 1, 5, {}, {}));
  log.DeregisterEventSource(handle);
  EXPECT_FALSE(log.ReportEvent(handle, EVENTLOG_ERROR_TYPE, 1, 5, {"late"}, {}));

  std::vector<nlohmann::json> entries = Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0]["time"], "2026-01-02 03:04:05");
  EXPECT_EQ(entries[0]["strings"], nlohmann::json::array({"a", "b"}));
  EXPECT_EQ(entries[0]["data"], "6100");
  EXPECT_EQ(entries[1]["time"], "2027-12-31 23:59:58");
  EXPECT_EQ(entries[1]["type"], 1);
  EXPECT_EQ(entries[1]["event_id"], 5);
}

TEST_F(PosixEventLogTest, FileFromTheEnvironmentAndNowhereToWrite) {
  const char* saved = std::getenv("CORVALITH_EVENT_LOG");
  std::string saved_value = saved ? saved : "";
  PosixEventLog log(clock_, {false, std::nullopt});
  EventSourceHandle handle = log.RegisterEventSource("S");
  setenv("CORVALITH_EVENT_LOG", path_.c_str(), 1);
  EXPECT_TRUE(log.ReportEvent(handle, 4, 0, 0, {"to env file"}, {}));
  setenv("CORVALITH_EVENT_LOG", dir_.File("missing/events.jsonl").c_str(), 1);
  EXPECT_FALSE(log.ReportEvent(handle, 4, 0, 0, {"lost"}, {}));
  unsetenv("CORVALITH_EVENT_LOG");
  EXPECT_FALSE(log.ReportEvent(handle, 4, 0, 0, {"lost"}, {}));
  if (saved) setenv("CORVALITH_EVENT_LOG", saved_value.c_str(), 1);
  ASSERT_EQ(Entries().size(), 1u);
  EXPECT_EQ(Entries()[0]["source"], "S");
  EXPECT_FALSE(log.ReportEvent(0, 4, 0, 0, {"no handle"}, {}));
}

TEST(MemoryEventLogTest, HandlesAndFailures) {
  testing::MemoryEventLog log;
  log.FailRegister(true);
  EXPECT_EQ(log.RegisterEventSource("S"), 0u);
  log.FailRegister(false);
  EventSourceHandle a = log.RegisterEventSource("A");
  EventSourceHandle b = log.RegisterEventSource("B");
  EXPECT_NE(a, 0u);
  EXPECT_NE(a, b);
  EXPECT_TRUE(log.ReportEvent(b, 2, 0, 9, {"x"}, {1}));
  log.DeregisterEventSource(b);
  EXPECT_FALSE(log.ReportEvent(b, 2, 0, 9, {"y"}, {}));
  EXPECT_FALSE(log.ReportEvent(0, 2, 0, 9, {"z"}, {}));
  ASSERT_EQ(log.entries().size(), 1u);
  EXPECT_EQ(log.entries()[0].source, "B");
  EXPECT_EQ(log.registrations(), 2);
  EXPECT_EQ(log.deregistrations(), 1);
}

}  // namespace
}  // namespace corvalith
