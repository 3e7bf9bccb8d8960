#include "whitelist/whitelist.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "logging/testing/recording_logger.h"
#include "platform/testing/memory_environment.h"
#include "platform/text.h"

namespace corvalith {
namespace {

constexpr char kItem[] = "file://./backofficestorage/d/MBX/u/Inbox/M.EML";

class WhiteListTest : public ::testing::Test {
 protected:
  WhiteListTest() { files_.AddDirectory("/data/d"); }
  bool In(const std::string& address) {
    return InWhiteList(files_, logger_, kItem, "/data/d/u.dat.wlt", address);
  }
  bool Add(const std::string& address, const std::string& path = "/data/d/u.dat.wlt") {
    return AddToWhiteList(files_, logger_, kItem, path, address);
  }

  testing::MemoryFileSystem files_;
  testing::RecordingLogger logger_;
};

TEST_F(WhiteListTest, Matching) {
  files_.WriteFile("/data/d/u.dat.wlt",
                   "  alice@example.com  \r\n"
                   "\tbob@example.com\r\n"
                   "@trusted.org\r\n"
                   "\r\n"
                   "a remark\r\n"
                   "nobody\r\n"
                   "last@example.com");  // no final line end
  struct Case {
    const char* address;
    bool listed;
  } cases[] = {
      {"alice@example.com", true},   // blanks around the line are ignored
      {"bob@example.com", false},    // a tab is part of the entry
      {"Alice@example.com", false},  // case-sensitive
      {"carol@trusted.org", true},   // domain entry
      {"x@y@trusted.org", true},     // the domain key starts at the last "@"
      {"carol@TRUSTED.org", false},
      {"nobody", true},            // no "@": only the whole address matches
      {"last@example.com", true},  // last line without a line end
      {"", true},                  // the blank line matches an empty address
  };
  for (const Case& c : cases) EXPECT_EQ(In(c.address), c.listed) << c.address;
  EXPECT_TRUE(logger_.records().empty());
}

TEST_F(WhiteListTest, EmptyListIsSilentMissingListLogsEveryTime) {
  files_.WriteFile("/data/d/u.dat.wlt", "");
  EXPECT_FALSE(In("a@b"));
  EXPECT_TRUE(logger_.records().empty());
  EXPECT_FALSE(InWhiteList(files_, logger_, kItem, "/data/d/global.wlt", "a@b"));
  EXPECT_FALSE(InWhiteList(files_, logger_, kItem, "/data/d/global.wlt", "a@b"));
  ASSERT_EQ(logger_.Count("Err: InWhiteList() failed: "), 2);
  EXPECT_NE(logger_.records()[0].find(std::string("Source: ") + kItem), std::string::npos);
}

TEST_F(WhiteListTest, AddCreatesTheListAndKeepsEntriesOnLinesOfTheirOwn) {
  EXPECT_TRUE(Add("a@x.org"));
  EXPECT_EQ(files_.Contents("/data/d/u.dat.wlt"), "a@x.org\r\n");
  files_.WriteFile("/data/d/u.dat.wlt", "typed@by.hand");
  EXPECT_TRUE(Add("b@x.org"));
  EXPECT_EQ(files_.Contents("/data/d/u.dat.wlt"), "typed@by.hand\r\nb@x.org\r\n");
  EXPECT_TRUE(In("typed@by.hand"));
  EXPECT_TRUE(In("b@x.org"));
}

// An address with a CR LF would match through its forged domain key and, appended, put a
// second entry of the sender's choosing on the list.
TEST_F(WhiteListTest, AddressWithAControlCharacterNeverMatchesAndIsNeverAdded) {
  const std::string list = "@gmail.com\r\neve@evil.example\r\n";
  files_.WriteFile("/data/d/u.dat.wlt", list);
  const char* addresses[] = {"eve@evil.example\r\n@gmail.com", "eve@evil.example\n@gmail.com",
                             "eve@evil.example\r", "eve@evil.example\x7F"};
  for (const char* address : addresses) {
    testing::RecordingLogger log;
    EXPECT_FALSE(InWhiteList(files_, log, kItem, "/data/d/u.dat.wlt", address)) << address;
    EXPECT_TRUE(log.records().empty()) << address;
    EXPECT_FALSE(AddToWhiteList(files_, log, kItem, "/data/d/u.dat.wlt", address)) << address;
    EXPECT_EQ(log.records(), std::vector<std::string>{"Err: AddToWhiteList() failed: Control "
                                                      "character in the sender address 0x5 "
                                                      "Source: " +
                                                      std::string(kItem)});
  }
  EXPECT_EQ(files_.Contents("/data/d/u.dat.wlt"), list);
}

// The filter appends senders; an entry that reads back as "@domain" would trust everyone
// there, and one of several "@" or of quotes and blanks is nobody's address.
TEST_F(WhiteListTest, OnlyAFullAddressIsAdded) {
  const char* refused[] = {
      "@gmail.com",       " @gmail.com",       "  @gmail.com ",      "@gmail.com:eve@evil.example",
      "\"\"@gmail.com",   "\" \"@gmail.com",   "\"\" @gmail.com",    "\\@gmail.com",
      "@@gmail.com",      "@eve@gmail.com",    "a@b@gmail.com",      "\"a@b\"@gmail.com",
      "alice@",           "alice@ ",           "alice@\"\"",         "alice",
      "",                 " ",                 "@",
  };
  for (const char* address : refused) {
    testing::RecordingLogger log;
    EXPECT_FALSE(AddToWhiteList(files_, log, kItem, "/data/d/u.dat.wlt", address)) << address;
    EXPECT_EQ(log.records(), std::vector<std::string>{"Err: AddToWhiteList() failed: Not a full "
                                                      "sender address 0x5 Source: " +
                                                      std::string(kItem)})
        << address;
  }
  EXPECT_FALSE(files_.Exists("/data/d/u.dat.wlt"));

  const char* added[] = {"alice@example.com", "\"john doe\"@example.com", "o'brien@example.com",
                         "j\xC3\xB6rg@b\xC3\xBC" "ro.example", " bob@example.com "};
  std::string list;
  for (const char* address : added) {
    EXPECT_TRUE(Add(address)) << address;
    EXPECT_TRUE(In(std::string(TrimSpaces(address)))) << address;
    list += std::string(address) + "\r\n";
  }
  EXPECT_EQ(files_.Contents("/data/d/u.dat.wlt"), list);
  EXPECT_FALSE(In("anyone@gmail.com"));
  EXPECT_TRUE(logger_.records().empty());
}

// A list is a file anyone with access to the data directory can write, read on every mail.
TEST_F(WhiteListTest, ListsAndTheirLinesAreBounded) {
  const std::string longest = std::string(kMaxWhiteListLineBytes - 6, 'a') + "@x.org";
  const std::string too_long = "a" + longest;
  files_.WriteFile("/data/d/u.dat.wlt", longest + "\r\n" + too_long + "\r\n");
  EXPECT_TRUE(In(longest));
  EXPECT_FALSE(In(too_long));  // a line past the bound is no entry
  EXPECT_TRUE(logger_.records().empty());

  // An entry the list could never match is not written.
  EXPECT_FALSE(Add("b" + longest));
  EXPECT_EQ(logger_.Count("Err: AddToWhiteList() failed: "), 1);

  // An oversized list is refused as a whole, and the filter never makes one.
  const std::string full = std::string(kMaxWhiteListBytes - 12, ' ') + "\r\n";
  files_.WriteFile("/data/d/u.dat.wlt", full);
  EXPECT_FALSE(Add("abc@x.org"));  // would end one byte past the bound
  EXPECT_TRUE(files_.Contents("/data/d/u.dat.wlt") == full);
  EXPECT_EQ(logger_.Count("Err: AddToWhiteList() failed: "), 2);
  EXPECT_TRUE(Add("ab@x.org"));  // ends exactly at the bound
  EXPECT_TRUE(In("ab@x.org"));
  files_.WriteFile("/data/d/u.dat.wlt", full + "ab@x.org\r\nz");
  EXPECT_FALSE(In("ab@x.org"));
  EXPECT_EQ(logger_.Count("Err: InWhiteList() failed: "), 1);
  EXPECT_FALSE(Add("b@x.org"));
  EXPECT_EQ(logger_.Count("Err: AddToWhiteList() failed: "), 3);
}

TEST_F(WhiteListTest, AddWithoutDomainDirectoryFailsWithOneLine) {
  EXPECT_FALSE(Add("a@x.org", "/data/missing/u.dat.wlt"));
  EXPECT_EQ(logger_.Count("Err: AddToWhiteList() failed: "), 1);
  EXPECT_FALSE(files_.IsDirectory("/data/missing"));
}

}  // namespace
}  // namespace corvalith
