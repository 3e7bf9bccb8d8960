#include "mailhost/mbox_reader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "mailhost/message_source.h"
#include "platform/failure.h"
#include "platform/testing/temp_directory.h"

namespace corvalith::host {
namespace {

class MboxReaderTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& bytes) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << bytes;
    return path_;
  }

  // Every message of the file, read one at a time.
  std::vector<std::string> ReadAll(const std::string& bytes) {
    MboxReader reader(Write(bytes));
    std::vector<std::string> messages;
    for (const MboxReader::Entry& entry : reader.entries()) {
      messages.push_back(reader.Read(entry, bytes.size()));
    }
    return messages;
  }

  // The failure opening `path` throws.
  static Failure OpenFailure(const std::string& path) {
    try {
      MboxReader reader(path);
    } catch (const Failure& failure) {
      return failure;
    }
    ADD_FAILURE() << "opened " << path;
    return Failure("opened", S_OK);
  }

  testing::TempDirectory temp_{"corvalith-mbox"};
  std::string path_ = temp_.File("folder.mbox");
};

// One message at a time gives what splitting the whole file gives: LF and CR LF, quoted From
// lines, "From" inside a line, no final line end, empty messages.
TEST_F(MboxReaderTest, MessagesReadOneAtATimeAreThoseOfTheWholeFile) {
  const std::string cases[] = {
      "From a@b Mon Jan 1 00:00:00 2026\nSubject: x\n\nbody\n",
      "From a Mon\nSubject: 1\n\none\n\nFrom b Tue\nSubject: 2\n\ntwo\n",
      "From a\r\nS: 1\r\n\r\n>From here\r\n>>From deeper\r\nFrom b\r\nS: 2\r\n\r\nx\r\n",
      "From a\nS: 1\n\nsent From home\nFromage\n",
      "From a\nS: 1\n\nlast",
      "From a\nFrom b\nS: 2\n\nx\nFrom c",
  };
  for (const std::string& mbox : cases) {
    EXPECT_EQ(ReadAll(mbox), SplitMbox(mbox)) << mbox;
  }
}

// The file is scanned in pieces of 1 MiB: a "From " line split between two must be found, and
// a line end just before a piece must still start a line.
TEST_F(MboxReaderTest, ASeparatorAcrossTheScansPiecesIsFound) {
  constexpr size_t kPiece = size_t{1} << 20;
  for (size_t split : {size_t{0}, size_t{1}, size_t{3}, size_t{5}}) {
    std::string first = "From a\nS: 1\n\n";
    first += std::string(kPiece - split - first.size() - 1, 'x') + "\n";
    ASSERT_EQ(first.size(), kPiece - split);
    const std::string mbox = first + "From b\nS: 2\n\ntwo\n";
    const std::vector<std::string> messages = ReadAll(mbox);
    ASSERT_EQ(messages.size(), 2u) << "split " << split;
    EXPECT_EQ(messages[1], "S: 2\n\ntwo") << "split " << split;
  }
}

TEST_F(MboxReaderTest, BoundsAndFilesThatAreNoMbox) {
  EXPECT_TRUE(MboxReader(Write("")).entries().empty());

  // A file that is no mbox stays so however often it is read: bad input, a permanent failure.
  for (const char* bad : {"Subject: x\n\nFrom a\n", "Fro", "from a\n"}) {
    const Failure failure = OpenFailure(Write(bad));
    EXPECT_EQ(failure.number(), E_INVALIDARG) << bad;
    EXPECT_TRUE(failure.permanent()) << bad;
    EXPECT_NE(failure.description().find("not an mbox"), std::string::npos)
        << failure.description();
  }
  EXPECT_TRUE(OpenFailure(temp_.path()).permanent()) << "a directory";
  EXPECT_FALSE(OpenFailure(temp_.File("missing")).permanent()) << "it may be there later";

  // The bound counts the bytes after the From line.
  MboxReader reader(Write("From a\nS: 1\n\n12345\nFrom b\nS: 2\n\n1\n"));
  ASSERT_EQ(reader.entries().size(), 2u);
  EXPECT_EQ(reader.Read(reader.entries()[0], 12), "S: 1\n\n12345");
  try {
    reader.Read(reader.entries()[0], 11);
    ADD_FAILURE() << "read past its bound";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), EFBIG);
  }

  // Rewritten since it was opened: no message is made up of what is there now.
  std::filesystem::resize_file(path_, 20);
  EXPECT_THROW(reader.Read(reader.entries()[1], 100), Failure);
  Write("S: 0\n\nnot the same file any more, but as long as it was before....\n");
  EXPECT_THROW(reader.Read(reader.entries()[1], 100), Failure);
}

}  // namespace
}  // namespace corvalith::host
