#include "logging/log_file.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "platform/failure.h"
#include "platform/testing/memory_environment.h"

namespace corvalith {
namespace {

class LogFileTest : public ::testing::Test {
 protected:
  LogFileTest() {
    env_.files.AddDirectory("/data");
    env_.clock_.SetNow({2026, 3, 4, 5, 6, 7});
    env_.clock_.SetTicks(123456);
  }
  testing::MemoryEnvironment env_;
};

TEST_F(LogFileTest, RecordIsTimestampTicksTextAndCrLf) {
  AppendLogRecord(env_.files, env_.clock_, "/data/", "x");
  EXPECT_EQ(env_.files.Contents("/data/Corvalith.log"), "2026-03-04 05:06:07 123456 x\r\n");
}

TEST_F(LogFileTest, RecordsAppendAndKeepEmbeddedLineEnds) {
  AppendLogRecord(env_.files, env_.clock_, "/data/", "first");
  AppendLogRecord(env_.files, env_.clock_, "/data/", "a\r\nb");
  EXPECT_EQ(env_.files.Contents("/data/Corvalith.log"),
            "2026-03-04 05:06:07 123456 first\r\n2026-03-04 05:06:07 123456 a\r\nb\r\n");
}

// A bare CR or LF would start a line that a reader takes for a record of its own; ESC
// would drive the reader's terminal.
TEST_F(LogFileTest, ControlCharactersAreEscapedButTheRecordsOwnLineEnds) {
  AppendLogRecord(env_.files, env_.clock_, "/data/",
                  "a\r\nb\r2026-03-04 05:06:07 1 forged\nc\x1B[2J");
  EXPECT_EQ(env_.files.Contents("/data/Corvalith.log"),
            "2026-03-04 05:06:07 123456 a\r\nb\\r2026-03-04 05:06:07 1 forged\\nc\\x1B[2J\r\n");
}

TEST_F(LogFileTest, TickCountPastTwoToThe31IsPrintedNegative) {
  env_.clock_.SetTicks(0x80000000u);
  AppendLogRecord(env_.files, env_.clock_, "/data/", "t");
  EXPECT_EQ(env_.files.Contents("/data/Corvalith.log"), "2026-03-04 05:06:07 -2147483648 t\r\n");
}

TEST_F(LogFileTest, MissingDirectoryFailsAndCreatesNothing) {
  EXPECT_THROW(AppendLogRecord(env_.files, env_.clock_, "/nowhere/", "x"), Failure);
  EXPECT_FALSE(env_.files.Contents("/nowhere/Corvalith.log").has_value());
  EXPECT_FALSE(env_.files.IsDirectory("/nowhere"));
}

TEST_F(LogFileTest, EmptyDataDirectoryWritesIntoTheCurrentDirectory) {
  AppendLogRecord(env_.files, env_.clock_, "", "x");
  EXPECT_TRUE(env_.files.Contents("Corvalith.log").has_value());
}

TEST(ErrorRecordTest, NumbersInUpperCaseHexAndTrailingBlankAfterSource) {
  struct Case {
    int32_t number;
    const char* text;
  } cases[] = {{9, "Err: M 0x9 Source: "},
               {13, "Err: M 0xD Source: "},
               {-1, "Err: M 0xFFFFFFFF Source: "},
               {static_cast<int32_t>(0x80040E19), "Err: M 0x80040E19 Source: "},
               {0, "Err: M 0x0 Source: "}};
  for (const Case& c : cases) EXPECT_EQ(ErrorRecordText("M", c.number, ""), c.text) << c.number;
  EXPECT_EQ(ErrorRecordText("M", 5, "file://x"), "Err: M 0x5 Source: file://x");
}

// Descriptions and sources come from outside (a URL, a file name); an error record is one
// line whatever they hold.
TEST(ErrorRecordTest, MessageAndSourceStayOnTheRecordsLine) {
  EXPECT_EQ(ErrorRecordText("Open failed: no\r\n2026-01-01 00:00:00 1 forged", 5,
                            "file://x/M\r\n2026-01-01 00:00:00 1 forged\x1B"),
            "Err: Open failed: no\\r\\n2026-01-01 00:00:00 1 forged 0x5 Source: "
            "file://x/M\\r\\n2026-01-01 00:00:00 1 forged\\x1B");
}

}  // namespace
}  // namespace corvalith
