#include "classifier/journaled_file.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "classifier/user_database.h"
#include "platform/failure.h"
#include "platform/testing/file_bytes.h"
#include "platform/testing/temp_directory.h"

namespace corvalith {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;

// A second kind of file, laid out as a kind other than the user database would be.
constexpr uint32_t kOtherJournal = 100;
constexpr uint64_t kOtherDataAt = JournaledFile::DataOffset(kOtherJournal);
constexpr uint64_t kOtherCountAt = JournaledFile::kHeaderWordsAt;

const FileFormat& OtherFormat() {
  static const FileFormat format{
      "test model",  {'C', 'R', 'V', 'T', 'E', 'S', 'T', '1'}, 3, {7, 8, 9},
      kOtherJournal, kOtherDataAt + 3 * JournaledFile::kPage};
  return format;
}

class JournaledFileTest : public ::testing::Test {
 protected:
  // The description of the failure Open throws, or "" when it opens.
  static std::string OpenFailure(const FileFormat& format, const std::string& path) {
    try {
      JournaledFile::Open(format, path, true);
    } catch (const Failure& failure) {
      return failure.description();
    }
    return "";
  }

  testing::TempDirectory temp_{"journaled-file-test"};
  fs::path dir_ = temp_.path();
};

TEST_F(JournaledFileTest, AnotherKindKeepsItsOwnFormatAndUpdates) {
  const std::string path = (dir_ / "model.bin").string();
  EXPECT_EQ(JournaledFile::Open(OtherFormat(), path, false), nullptr);
  {
    auto file = JournaledFile::Open(OtherFormat(), path, true);
    ASSERT_NE(file, nullptr);
    JournaledFile::Lock lock(file.get(), true);
    JournaledFile::Update update(file.get());
    update.Put(kOtherCountAt, 42);
    update.Put(OtherFormat().size - 4, 7);
    update.Commit();
  }
  EXPECT_EQ(fs::file_size(path), OtherFormat().size);
  auto file = JournaledFile::Open(OtherFormat(), path, false);
  ASSERT_NE(file, nullptr);
  JournaledFile::Lock lock(file.get(), false);
  EXPECT_EQ(file->Word(kOtherCountAt), 42u);
  EXPECT_EQ(file->Word(OtherFormat().size - 4), 7u);
  EXPECT_EQ(file->Word(kOtherDataAt), 0u);
}

TEST_F(JournaledFileTest, KindsRefuseEachOthersFilesUntouched) {
  const std::string user = (dir_ / "user.dat").string(), other = (dir_ / "model.bin").string();
  ASSERT_NE(UserDatabase::Open(user, true), nullptr);
  ASSERT_NE(JournaledFile::Open(OtherFormat(), other, true), nullptr);
  const std::string user_bytes = ReadFileBytes(user), other_bytes = ReadFileBytes(other);

  std::string description = OpenFailure(OtherFormat(), user);
  EXPECT_NE(description.find("is not a test model"), std::string::npos) << description;
  EXPECT_NE(description.find(user), std::string::npos) << description;
  try {
    UserDatabase::Open(other, true);
    ADD_FAILURE() << "opened a file of another kind";
  } catch (const Failure& failure) {
    EXPECT_NE(failure.description().find("is not a classifier database"), std::string::npos);
    EXPECT_EQ(failure.number(), kEngineDatabaseForeign);
  }
  // Same magic, another geometry: a layout change is refused, not misread.
  FileFormat changed = OtherFormat();
  changed.geometry[1] = 16;
  description = OpenFailure(changed, other);
  EXPECT_NE(description.find("test model " + other + " is damaged or of another version"),
            std::string::npos)
      << description;
  EXPECT_EQ(ReadFileBytes(user), user_bytes);
  EXPECT_EQ(ReadFileBytes(other), other_bytes);
}

// Each page is written through the mapping or with pwrite(), by how recently this process
// wrote it; the file must read the same either way, with the later of two writes to one word.
TEST_F(JournaledFileTest, WritesLandWhicheverWayTheyGo) {
  const std::string path = (dir_ / "model.bin").string();
  const uint64_t boundary = kOtherDataAt + JournaledFile::kPage;
  for (auto still_writable : {std::chrono::hours(0), std::chrono::hours(1)}) {
    SCOPED_TRACE(still_writable.count());
    JournaledFile::Tuning tuning;
    tuning.still_writable = still_writable;
    JournaledFile::SetTuning(tuning);
    fs::remove(path);
    for (uint32_t round = 1; round <= 2; ++round) {
      auto file = JournaledFile::Open(OtherFormat(), path, true);
      JournaledFile::Lock lock(file.get(), true);
      JournaledFile::Update update(file.get());
      update.Put(boundary + 4, 20 + round);
      update.Put(boundary - 4, 1);
      update.Put(kOtherCountAt, round);
      update.Put(boundary, 10 + round);
      update.Put(boundary - 4, 30 + round);  // the later write to this word wins
      update.Commit();
    }
    const std::string bytes = ReadFileBytes(path);  // what the file holds, not the mapping
    auto word = [&](uint64_t at) {
      uint32_t w;
      std::memcpy(&w, bytes.data() + at, 4);
      return w;
    };
    EXPECT_EQ(word(kOtherCountAt), 2u);
    EXPECT_EQ(word(boundary - 4), 32u);
    EXPECT_EQ(word(boundary), 12u);
    EXPECT_EQ(word(boundary + 4), 22u);
    EXPECT_EQ(word(boundary + 8), 0u);
    EXPECT_EQ(word(boundary - 8), 0u);
  }
  JournaledFile::SetTuning(JournaledFile::Tuning());
}

TEST_F(JournaledFileTest, UpdateLargerThanTheJournalChangesNothing) {
  const std::string path = (dir_ / "model.bin").string();
  auto file = JournaledFile::Open(OtherFormat(), path, true);
  JournaledFile::Lock lock(file.get(), true);
  JournaledFile::Update update(file.get());
  for (uint32_t i = 0; i <= kOtherJournal; ++i) update.Put(kOtherDataAt + 4 * i, 1);
  try {
    update.Commit();
    ADD_FAILURE() << "an update beyond the journal was committed";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), kEngineJournalFull);
  }
  EXPECT_EQ(file->Word(kOtherDataAt), 0u);
}

// A journal marked committed but not yet applied (the writer died in between) is replayed by
// the next locker only when its checksum holds. A journal damaged after the mark (a torn
// write, a flipped bit on disk) must never reach the data: it is dropped, the data left as it
// was before the update, and the mark cleared. The undamaged twin shows the crash is one
// recovery replays. The flipped bit is in a word's value, not its offset, so that only the
// checksum can tell.
TEST_F(JournaledFileTest, ADamagedCommittedJournalIsDroppedNotReplayed) {
  // The documented layout: the entry count at byte 128, the first (offset, word) pair at the
  // start of page 1.
  constexpr uint64_t kJournalCountAt = 128;
  constexpr uint64_t kFirstWordAt = JournaledFile::kPage + 4;
  const uint64_t target = kOtherDataAt + 8;
  for (bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "damaged" : "intact");
    const std::string path = (dir_ / (damaged ? "damaged.bin" : "intact.bin")).string();
    {
      auto file = JournaledFile::Open(OtherFormat(), path, true);
      JournaledFile::Lock lock(file.get(), true);
      JournaledFile::Update update(file.get());
      update.Put(target, 0x11111111);
      // One write: the process dies after the mark, before applying any of it.
      update.CommitUntilCrashForTesting(JournaledFile::Update::CrashPoint::kAfterMark);
    }
    auto word_in_file = [&](uint64_t at) {
      const std::string bytes = ReadFileBytes(path);
      uint32_t word;
      std::memcpy(&word, bytes.data() + at, 4);
      return word;
    };
    ASSERT_EQ(word_in_file(kJournalCountAt), 1u) << "committed";
    ASSERT_EQ(word_in_file(kFirstWordAt), 0x11111111u);
    ASSERT_EQ(word_in_file(target), 0u) << "not applied";
    if (damaged) {
      std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
      file.seekp(kFirstWordAt);
      file.put('\x10');  // 0x11111110
    }
    auto file = JournaledFile::Open(OtherFormat(), path, false);
    ASSERT_NE(file, nullptr);
    {
      JournaledFile::Lock lock(file.get(), false);
      EXPECT_EQ(file->Word(target), damaged ? 0u : 0x11111111u);
    }
    EXPECT_EQ(word_in_file(target), damaged ? 0u : 0x11111111u);
    EXPECT_EQ(word_in_file(kJournalCountAt), 0u) << "the mark is cleared either way";
  }
}

// The count word of the file at `path` as a fresh open sees it; -1 when there is no file.
int64_t CountAt(const std::string& path) {
  auto file = JournaledFile::Open(OtherFormat(), path, false);
  if (!file) return -1;
  JournaledFile::Lock lock(file.get(), false);
  return file->Word(kOtherCountAt);
}

void SetCount(JournaledFile* file, uint32_t count) {
  JournaledFile::Lock lock(file, true);
  JournaledFile::Update update(file);
  update.Put(kOtherCountAt, count);
  update.Commit();
}

// Adds one to the count and to a data word, `times` times, each in a call of its own.
void Increment(const std::string& path, int times) {
  for (int i = 0; i < times; ++i) {
    auto file = JournaledFile::Open(OtherFormat(), path, true);
    JournaledFile::Lock lock(file.get(), true);
    JournaledFile::Update update(file.get());
    update.Put(kOtherCountAt, file->Word(kOtherCountAt) + 1);
    update.Put(kOtherDataAt, file->Word(kOtherDataAt) + 1);
    update.Commit();
  }
}

// The process keeps mappings between opens; a file removed, replaced or changed in place since
// must never be read or written through the mapping kept for its predecessor.
TEST_F(JournaledFileTest, CachedMappingFollowsTheFileAtThePath) {
  const std::string path = (dir_ / "model.bin").string();
  const std::string spare = (dir_ / "spare.bin").string();
  SetCount(JournaledFile::Open(OtherFormat(), path, true).get(), 5);
  ASSERT_EQ(CountAt(path), 5);

  {
    SCOPED_TRACE("replaced between opens");
    SetCount(JournaledFile::Open(OtherFormat(), spare, true).get(), 9);
    fs::rename(spare, path);
    EXPECT_EQ(CountAt(path), 9);
  }
  {
    SCOPED_TRACE("removed between opens");
    fs::remove(path);
    EXPECT_EQ(CountAt(path), -1);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(JournaledFile::Open(OtherFormat(), path, true)->Word(kOtherCountAt), 0u);
  }
  auto object = JournaledFile::Open(OtherFormat(), path, false);
  SetCount(object.get(), 1);
  fs::create_hard_link(path, spare);  // keeps the first file to look at
  {
    SCOPED_TRACE("replaced between two calls of one object");
    SetCount(JournaledFile::Open(OtherFormat(), (dir_ / "new.bin").string(), true).get(), 20);
    fs::rename(dir_ / "new.bin", path);
    SetCount(object.get(), 21);
    EXPECT_EQ(CountAt(path), 21);
    EXPECT_EQ(CountAt(spare), 1);  // the replaced file was not written
  }
  {
    SCOPED_TRACE("removed between two calls of an object that may not create");
    fs::remove(path);
    try {
      SetCount(object.get(), 22);
      ADD_FAILURE() << "wrote a removed file";
    } catch (const Failure& failure) {
      EXPECT_NE(failure.description().find(path + " was removed"), std::string::npos)
          << failure.description();
    }
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(CountAt(spare), 1);
  }
}

TEST_F(JournaledFileTest, CachedFileChangedInPlaceIsRefusedAndLeftAlone) {
  const std::string path = (dir_ / "model.bin").string();
  auto object = JournaledFile::Open(OtherFormat(), path, true);
  SetCount(object.get(), 3);
  const std::string good = ReadFileBytes(path);
  struct Case {
    const char* name;
    std::string content;
    const char* description;
  } cases[] = {
      // Same inode, so the cached mapping is of this very file: a mapped page past a cut
      // end would kill the process with SIGBUS.
      {"cut", good.substr(0, good.size() / 3), "damaged"},
      {"grown", good + "tail", "damaged"},
      {"overwritten by another kind", "XXXXXXXX" + good.substr(8), "not a test model"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    { std::ofstream(path, std::ios::binary | std::ios::in | std::ios::out) << c.content; }
    fs::resize_file(path, c.content.size());
    try {
      JournaledFile::Open(OtherFormat(), path, true);
      ADD_FAILURE() << "opened";
    } catch (const Failure& failure) {
      EXPECT_NE(failure.description().find(c.description), std::string::npos)
          << failure.description();
    }
    EXPECT_EQ(ReadFileBytes(path), c.content);
    { std::ofstream(path, std::ios::binary | std::ios::trunc) << good; }
  }
  // The object opened before the changes goes on with the restored file.
  SetCount(object.get(), 4);
  EXPECT_EQ(CountAt(path), 4);
  fs::resize_file(path, good.size() / 2);
  EXPECT_THROW(SetCount(object.get(), 5), Failure);
  EXPECT_EQ(fs::file_size(path), good.size() / 2);
}

TEST_F(JournaledFileTest, SymlinkAtThePathIsRefused) {
  const std::string path = (dir_ / "model.bin").string(), target = (dir_ / "t.bin").string();
  SetCount(JournaledFile::Open(OtherFormat(), path, true).get(), 1);
  fs::rename(path, target);
  fs::create_symlink(target, path);
  EXPECT_THROW(JournaledFile::Open(OtherFormat(), path, true), Failure);
  EXPECT_TRUE(fs::is_symlink(path));
  EXPECT_EQ(CountAt(target), 1);
}

TEST_F(JournaledFileTest, EvictedMappingStaysValidForItsObject) {
  JournaledFile::Tuning tuning;
  tuning.cached_mappings = 1;
  JournaledFile::SetTuning(tuning);
  const std::string first = (dir_ / "1.bin").string(), second = (dir_ / "2.bin").string();
  auto object = JournaledFile::Open(OtherFormat(), first, true);
  Increment(second, 3);  // evicts the first file's mapping
  SetCount(object.get(), 7);
  JournaledFile::SetTuning(JournaledFile::Tuning());
  EXPECT_EQ(CountAt(first), 7);
  EXPECT_EQ(CountAt(second), 3);
}

// Objects on several threads share the process's mapping; each still needs the file lock to
// itself, as objects of several processes do.
TEST_F(JournaledFileTest, ThreadsAndProcessesLoseNoUpdate) {
  constexpr int kTimes = 200;
  for (auto still_writable : {std::chrono::hours(0), std::chrono::hours(1)}) {
    SCOPED_TRACE(still_writable.count());
    JournaledFile::Tuning tuning;
    tuning.still_writable = still_writable;
    JournaledFile::SetTuning(tuning);
    const std::string path = (dir_ / ("model" + std::to_string(still_writable.count()))).string();
    Increment(path, 1);  // the parent's mapping is cached before the children inherit it
    pid_t children[2];
    for (pid_t& child : children) {
      child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        bool ok = true;
        try {
          Increment(path, kTimes);
        } catch (...) {
          ok = false;
        }
        _exit(ok ? 0 : 1);
      }
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) threads.emplace_back([&] { Increment(path, kTimes); });
    for (std::thread& thread : threads) thread.join();
    for (pid_t child : children) {
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const int64_t expected = 1 + 5 * kTimes;
    EXPECT_EQ(CountAt(path), expected);
    auto file = JournaledFile::Open(OtherFormat(), path, false);
    JournaledFile::Lock lock(file.get(), false);
    EXPECT_EQ(file->Word(kOtherDataAt), expected);
  }
  JournaledFile::SetTuning(JournaledFile::Tuning());
}

}  // namespace
}  // namespace corvalith
