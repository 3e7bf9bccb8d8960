// What the Maildir store's tests share: a store in a temporary directory with one mailbox,
// the URLs of its folders, and what Dovecot does to the files, done as Dovecot's documentation
// says it does it, under the same locks.
#ifndef CORVALITH_STORE_MAILDIR_MAILDIR_TEST_SUPPORT_H_
#define CORVALITH_STORE_MAILDIR_MAILDIR_TEST_SUPPORT_H_

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/testing/file_bytes.h"
#include "platform/testing/memory_environment.h"
#include "platform/testing/temp_directory.h"
#include "store/mailbox_url.h"
#include "store/maildir/maildir_control.h"
#include "store/maildir/maildir_names.h"
#include "store/maildir/maildir_store.h"
#include "store/message_import.h"

namespace corvalith::store::maildir_test {

namespace fs = std::filesystem;
using maildir::KeywordTable;
using maildir::ParseMessageFileName;
using maildir::UidListLock;
using testing::ReadFileBytes;

inline const std::string kRoot = MailboxRootUrl("example.com", "alice");
inline const std::string kInbox = kRoot + "/Inbox";
inline const std::string kJunk = kRoot + "/Junk E-mail";
inline constexpr char kJunkDirectory[] = "/.Junk E-mail";
inline constexpr auto kLockTimeout = std::chrono::seconds(20);

inline std::string Message(const std::string& subject) {
  return "From: Bob <bob@example.org>\r\nSubject: " + subject + "\r\n\r\nHello\r\n";
}

inline void WriteWhole(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// The names in a directory, sorted.
inline std::vector<std::string> Names(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Sets a file's mtime to `seconds` since the epoch.
inline void SetModified(const std::string& path, time_t seconds) {
  struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

class MaildirStoreTest : public ::testing::Test {
 protected:
  MaildirStoreTest() { CreateMailbox(*connection_, "example.com", "alice"); }

  std::string Maildir() const { return store_.MaildirPath("example.com", "alice"); }
  std::string Junk() const { return Maildir() + kJunkDirectory; }
  std::string PropertiesFile() const {
    return dir_.File("mail/example.com/alice/corvalith-properties.db");
  }

  std::string Deliver(const std::string& folder_url, const std::string& name,
                      const std::string& raw, Origin origin = Origin::kExternal) {
    const std::string url = folder_url + "/" + name;
    connection_->BeginTrans();
    ImportMessage(*connection_, url, raw, origin);
    connection_->CommitTrans();
    return url;
  }

  std::unique_ptr<Record> Open(const std::string& url) {
    return connection_->OpenRecord(url, adModeReadWrite, adFailIfNotExists, adOpenRecordUnspecified,
                                   "", "");
  }

  void Write(const std::string& url, const std::string& name, const Variant& value) {
    auto record = Open(url);
    record->GetFields().Item(name).SetValue(value);
    record->GetFields().Update();
  }

  // The path of the one file of the item in a folder directory (new/ or cur/).
  std::string FileOf(const std::string& folder_directory, const std::string& item) {
    std::vector<std::string> found;
    for (const char* sub : {"/new", "/cur"}) {
      for (const std::string& name : Names(folder_directory + sub)) {
        auto parsed = ParseMessageFileName(name);
        if (parsed && parsed->item == item) found.push_back(folder_directory + sub + "/" + name);
      }
    }
    EXPECT_EQ(found.size(), 1u) << item << " in " << folder_directory;
    return found.empty() ? "" : found[0];
  }

  // The keyword names the file's letters stand for in the folder's dovecot-keywords, sorted.
  std::set<std::string> KeywordsOf(const std::string& folder_directory, const std::string& item) {
    const std::string name = fs::path(FileOf(folder_directory, item)).filename().string();
    const KeywordTable table = maildir::ReadKeywordTable(folder_directory);
    std::set<std::string> names;
    const std::string_view flags = ParseMessageFileName(name)->flags;
    for (char letter : flags) {
      if (letter >= 'a' && letter <= 'z') names.insert(table.NameOf(letter).value_or("?"));
    }
    return names;
  }

  std::string Flags(const std::string& folder_directory, const std::string& item) {
    const std::string name = fs::path(FileOf(folder_directory, item)).filename().string();
    return std::string(ParseMessageFileName(name)->flags);
  }

  // Dovecot moving a message for an IMAP client: the file is hard-linked into the destination
  // under its base name with the flags it had and keyword letters of the destination's
  // table, and the source is expunged, each folder under its own lock.
  void DovecotMove(const std::string& from, const std::string& to, const std::string& item,
                   const std::string& more_flags) {
    const std::string source = FileOf(from, item);
    const std::string name = fs::path(source).filename().string();
    const maildir::MessageFileName parsed = *ParseMessageFileName(name);
    std::vector<std::string> names;
    std::string flags = more_flags;
    for (char letter : parsed.flags) {
      if (letter >= 'a' && letter <= 'z') {
        names.push_back(*maildir::ReadKeywordTable(from).NameOf(letter));
      } else {
        flags += letter;
      }
    }
    {
      UidListLock lock(to, kLockTimeout);
      const KeywordTable table = maildir::AddKeywords(to, names);
      for (const std::string& name : names) flags += *table.LetterOf(name);
      ASSERT_EQ(link(source.c_str(),
                     (to + "/cur/" + std::string(parsed.base) + ":2," + maildir::SortedFlags(flags))
                         .c_str()),
                0);
    }
    UidListLock lock(from, kLockTimeout);
    ASSERT_EQ(unlink(source.c_str()), 0);
  }

  testing::TempDirectory dir_{"corvalith-maildir"};
  testing::MemoryFileSystem files_;
  MaildirStore store_{dir_.File("mail"), files_, MaildirOptions{kLockTimeout}};
  std::unique_ptr<Connection> connection_ = store_.Connect();
};

}  // namespace corvalith::store::maildir_test

#endif  // CORVALITH_STORE_MAILDIR_MAILDIR_TEST_SUPPORT_H_
