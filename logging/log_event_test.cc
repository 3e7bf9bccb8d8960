#include "logging/log_event.h"

#include <gtest/gtest.h>

#include "platform/testing/memory_environment.h"

namespace corvalith {
namespace {

TEST(WriteEventLogTest, OneEntryWithTheMessageAsStringAndZeroTerminatedData) {
  testing::MemoryEventLog log;
  LogEvent::WriteEventLog(log, "Database for Exchange Domain d successfully created.", 4, 0);
  ASSERT_EQ(log.entries().size(), 1u);
  const std::vector<EventLogEntry> entries = log.entries();
  const EventLogEntry& entry = entries[0];
  const std::string message = "Database for Exchange Domain d successfully created.";
  EXPECT_EQ(entry.source, "CorvalithFilter");
  EXPECT_EQ(entry.type, 4);
  EXPECT_EQ(entry.category, 0);
  EXPECT_EQ(entry.event_id, 0u);
  EXPECT_EQ(entry.strings, std::vector<std::string>{message});
  ASSERT_EQ(entry.data.size(), message.size() + 1);
  EXPECT_EQ(entry.data.back(), 0);
  EXPECT_EQ(std::string(entry.data.begin(), entry.data.end() - 1), message);
}

TEST(WriteEventLogTest, EachCallRegistersAndDeregistersTheSource) {
  testing::MemoryEventLog log;
  LogEvent::WriteEventLog(log, "a", 4, 0);
  LogEvent::WriteEventLog(log, "b", 2, 7);
  EXPECT_EQ(log.registrations(), 2);
  EXPECT_EQ(log.deregistrations(), 2);
  EXPECT_EQ(log.entries()[1].event_id, 7u);
}

TEST(WriteEventLogTest, UnregistrableSourceIsNoFailure) {
  testing::MemoryEventLog log;
  log.FailRegister(true);
  LogEvent::WriteEventLog(log, "a", 4, 0);
  EXPECT_TRUE(log.entries().empty());
}

}  // namespace
}  // namespace corvalith
