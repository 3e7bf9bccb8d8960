#include "mailhost/message_source.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/failure.h"
#include "platform/posix_environment.h"
#include "platform/testing/temp_directory.h"

namespace corvalith::host {
namespace {

TEST(SplitMboxTest, Cases) {
  struct Case {
    const char* name;
    std::string mbox;
    std::vector<std::string> messages;
  };
  const Case cases[] = {
      {"one message",
       "From a@b Mon Jan 1 00:00:00 2026\nSubject: x\n\nbody\n",
       {"Subject: x\n\nbody"}},
      {"two messages, the blank separator line goes with the separator",
       "From a Mon\nSubject: 1\n\none\n\nFrom b Tue\nSubject: 2\n\ntwo\n",
       {"Subject: 1\n\none\n", "Subject: 2\n\ntwo"}},
      // mboxrd: exactly one ">" comes off a quoted From line, deeper quoting stays.
      {"quoted From lines",
       "From a\nS: 1\n\n>From here\n>>From deeper\n> From not quoted\n",
       {"S: 1\n\nFrom here\n>From deeper\n> From not quoted"}},
      {"CR LF kept", "From a\r\nS: 1\r\n\r\nbody\r\n", {"S: 1\r\n\r\nbody"}},
      {"From inside a line is no separator",
       "From a\nS: 1\n\nsent From home\n",
       {"S: 1\n\nsent From home"}},
      {"no final line end", "From a\nS: 1\n\nlast", {"S: 1\n\nlast"}},
      {"separator only", "From a\n", {""}},
      {"not an mbox", "Subject: x\n\nbody\n", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SplitMbox(c.mbox), c.messages) << c.name;
  }
}

class ReadMessagesTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    std::filesystem::path path = dir_ / name;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    return path.string();
  }

  PosixFileSystem files_;
  testing::TempDirectory temp_{"corvalith-source"};
  std::filesystem::path dir_ = temp_.path();
  std::istringstream no_input_;
};

TEST_F(ReadMessagesTest, DirectoryInNameOrderSkippingHiddenAndEmptyFiles) {
  Write("msgs/b.eml", "Subject: b\n\nB");
  Write("msgs/a.eml", "Subject: a\n\nA");
  Write("msgs/.hidden", "Subject: h\n\nH");
  Write("msgs/empty.eml", "");
  Write("msgs/sub/c.eml", "Subject: c\n\nC");  // no recursion
  std::vector<SourceMessage> messages = ReadMessages(files_, (dir_ / "msgs").string(), no_input_);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].raw, "Subject: a\n\nA");
  EXPECT_EQ(messages[1].raw, "Subject: b\n\nB");
}

TEST_F(ReadMessagesTest, MboxFileIsSplitAndNamesEachMessage) {
  std::string path = Write("box.mbox", "From a\nS: 1\n\none\n\nFrom b\nS: 2\n\ntwo\n");
  std::vector<SourceMessage> messages = ReadMessages(files_, path, no_input_);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].origin, path + "#2");
  EXPECT_EQ(messages[1].raw, "S: 2\n\ntwo");
}

TEST_F(ReadMessagesTest, MessageFileKeepsEveryByte) {
  std::string raw = "Subject: \xE4\r\n\r\n\x00\xFF body\r\n";
  raw.push_back('\0');
  std::string path = Write("m.eml", raw);
  std::vector<SourceMessage> messages = ReadMessages(files_, path, no_input_);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].raw, raw);
}

TEST_F(ReadMessagesTest, StandardInputIsOneMessage) {
  std::istringstream in("From a\nS: 1\n\nnot split\n");
  std::vector<SourceMessage> messages = ReadMessages(files_, "-", in);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].origin, "-");
  EXPECT_EQ(messages[0].raw, "From a\nS: 1\n\nnot split\n");
}

TEST_F(ReadMessagesTest, UnusableArgumentsFailNamingThePath) {
  Write("empty/.only-hidden", "x");
  const std::string cases[] = {(dir_ / "missing.eml").string(), Write("zero.eml", ""),
                               (dir_ / "empty").string(), "-"};
  for (const std::string& argument : cases) {
    std::istringstream empty_input;
    try {
      ReadMessages(files_, argument, empty_input);
      ADD_FAILURE() << argument << " was accepted";
    } catch (const Failure& failure) {
      EXPECT_NE(failure.description().find(argument == "-" ? "standard input" : argument),
                std::string::npos)
          << failure.description();
    }
  }
}

}  // namespace
}  // namespace corvalith::host
