// The file-system contract, run against the real file system in a temporary directory and
// against the in-memory double, so that tests written against the double mean the same thing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <optional>
#include <thread>

#include "platform/failure.h"
#include "platform/posix_environment.h"
#include "platform/testing/memory_environment.h"
#include "platform/testing/temp_directory.h"
#include "platform/text.h"

namespace corvalith {
namespace {

struct Subject {
  const char* name;
  std::function<std::unique_ptr<FileSystem>()> make;
  bool real;
};

class FileSystemContractTest : public ::testing::TestWithParam<Subject> {
 protected:
  void SetUp() override {
    files_ = GetParam().make();
    if (GetParam().real) {
      temp_.emplace("corvalith-fs");
      root_ = temp_->path();
    } else {
      root_ = "/work";
      static_cast<testing::MemoryFileSystem&>(*files_).AddDirectory(root_);
    }
  }
  std::string P(const std::string& relative) { return root_ + "/" + relative; }
  int Errno(const std::function<void()>& call) {
    try {
      call();
    } catch (const Failure& failure) {
      return failure.number();
    }
    return 0;
  }
  std::unique_ptr<FileSystem> files_;
  std::optional<testing::TempDirectory> temp_;
  std::string root_;
};

TEST_P(FileSystemContractTest, DirectoriesExistenceAndDeletion) {
  FileSystem& fs = *files_;
  ASSERT_TRUE(fs.CreateDirectory(P("d")));
  fs.AppendText(P("d/f"), "x");
  struct Case {
    const char* what;
    std::function<bool()> call;
    bool ok;
    int err;
  };
  const Case cases[] = {
      {"create existing dir", [&] { return fs.CreateDirectory(P("d")); }, false, EEXIST},
      {"create over a file", [&] { return fs.CreateDirectory(P("d/f")); }, false, EEXIST},
      {"create without parent", [&] { return fs.CreateDirectory(P("no/d")); }, false, ENOENT},
      {"create under a file", [&] { return fs.CreateDirectory(P("d/f/x")); }, false, ENOTDIR},
      {"create with trailing slash", [&] { return fs.CreateDirectory(P("e/")); }, true, 0},
      {"dir exists", [&] { return fs.Exists(P("d")); }, true, 0},
      {"dir exists, trailing slash", [&] { return fs.Exists(P("d/")); }, true, 0},
      {"file exists", [&] { return fs.Exists(P("d/f")); }, true, 0},
      {"missing", [&] { return fs.Exists(P("d/g")); }, false, ENOENT},
      {"delete a directory", [&] { return fs.DeleteFile(P("d")); }, false, EISDIR},
      {"delete missing", [&] { return fs.DeleteFile(P("d/g")); }, false, ENOENT},
      {"delete a file", [&] { return fs.DeleteFile(P("d/f")); }, true, 0},
      {"deleted is gone", [&] { return fs.Exists(P("d/f")); }, false, ENOENT},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.call(), c.ok) << c.what;
    if (!c.ok) {
      EXPECT_EQ(fs.LastError(), c.err) << c.what;
    }
  }
}

TEST_P(FileSystemContractTest, LastErrorBelongsToTheThread) {
  ASSERT_FALSE(files_->DeleteFile(P("missing")));
  std::thread([&] {
    EXPECT_FALSE(files_->CreateDirectory(root_));
    EXPECT_EQ(files_->LastError(), EEXIST);
  }).join();
  EXPECT_EQ(files_->LastError(), ENOENT);
}

TEST_P(FileSystemContractTest, ReadsStopAtTheirBound) {
  const std::string content(200000, 'x');  // more than one read buffer
  files_->AppendText(P("big"), content);
  EXPECT_EQ(files_->ReadFile(P("big"), content.size()), content);
  try {
    files_->ReadFile(P("big"), 199999);
    ADD_FAILURE() << "a file over the bound was read";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), EFBIG);
    EXPECT_NE(failure.description().find(P("big") + " holds more than "), std::string::npos);
  }
}

TEST_P(FileSystemContractTest, AppendCreatesAndReadsBack) {
  files_->AppendText(P("log"), "one\r\n");
  files_->AppendText(P("log"), std::string("t\0o\n", 4));
  EXPECT_EQ(files_->ReadFile(P("log"), 100), std::string("one\r\nt\0o\n", 9));
  EXPECT_EQ(Errno([&] { files_->AppendText(P("no/log"), "x"); }), ENOENT);
  EXPECT_EQ(Errno([&] { files_->AppendText(root_, "x"); }), EISDIR);
  EXPECT_EQ(Errno([&] { files_->ReadFile(P("none"), 100); }), ENOENT);
  EXPECT_EQ(Errno([&] { files_->ReadFile(root_, 100); }), EISDIR);
  try {
    files_->AppendText(P("no/log"), "x");
  } catch (const Failure& failure) {
    EXPECT_NE(failure.description().find(P("no/log")), std::string::npos);
  }
}

TEST_P(FileSystemContractTest, KindsListingsAndNewFiles) {
  FileSystem& fs = *files_;
  ASSERT_TRUE(fs.CreateDirectory(P("d")));
  ASSERT_TRUE(fs.CreateDirectory(P("d/sub")));
  EXPECT_TRUE(fs.WriteNewFile(P("d/b"), std::string("t\0o", 3)));
  EXPECT_TRUE(fs.WriteNewFile(P("d/a"), ""));
  EXPECT_FALSE(fs.WriteNewFile(P("d/b"), "other"));  // an existing file is left as it was
  EXPECT_FALSE(fs.WriteNewFile(P("d/sub"), "x"));
  EXPECT_EQ(fs.ReadFile(P("d/b"), 100), std::string("t\0o", 3));
  EXPECT_EQ(Errno([&] { fs.WriteNewFile(P("no/f"), "x"); }), ENOENT);
  EXPECT_FALSE(fs.Exists(P("no/f")));

  EXPECT_EQ(fs.KindOf(P("d")), FileKind::kDirectory);
  EXPECT_EQ(fs.KindOf(P("d/b")), FileKind::kFile);
  EXPECT_EQ(fs.KindOf(P("d/c")), FileKind::kMissing);
  EXPECT_EQ(fs.KindOf(P("d/b/x")), FileKind::kMissing);

  EXPECT_EQ(fs.ListDirectory(P("d")), (std::vector<std::string>{"a", "b", "sub"}));
  EXPECT_EQ(fs.ListDirectory(P("d/sub/")), std::vector<std::string>{});
  EXPECT_EQ(Errno([&] { fs.ListDirectory(P("d/b")); }), ENOTDIR);
  EXPECT_EQ(Errno([&] { fs.ListDirectory(P("d/c")); }), ENOENT);

  EXPECT_EQ(fs.RealPath(P("d/./sub/../b")), fs.RealPath(P("d")) + "/b");
  EXPECT_EQ(fs.RealPath(P("d//sub/")), fs.RealPath(P("d")) + "/sub");
  EXPECT_EQ(Errno([&] { fs.RealPath(P("d/c/..")); }), ENOENT);
  EXPECT_EQ(Errno([&] { fs.RealPath(P("d/b/..")); }), ENOTDIR);
}

INSTANTIATE_TEST_SUITE_P(
    Both, FileSystemContractTest,
    ::testing::Values(Subject{"Posix", [] { return std::make_unique<PosixFileSystem>(); }, true},
                      Subject{"Memory",
                              [] { return std::make_unique<testing::MemoryFileSystem>(); }, false}),
    [](const ::testing::TestParamInfo<Subject>& info) { return info.param.name; });

// Two processes with two threads each append records of a few kilobytes to one file; every
// record must come out whole, because log lines from concurrent saves share one file.
TEST(PosixFileSystemTest, ConcurrentAppendersNeverInterleave) {
  testing::TempDirectory dir("corvalith-append");
  const std::string path = dir.File("shared.log");
  constexpr int kRecords = 200;
  auto append = [&](char tag) {
    PosixFileSystem fs;
    for (int i = 0; i < kRecords; ++i) {
      std::string record(1000 + (i * 37) % 3000, tag);
      fs.AppendText(path,
                    std::string(1, tag) + std::to_string(record.size()) + ":" + record + "\r\n");
    }
  };
  auto run_pair = [&](char a, char b) {
    std::thread first(append, a);
    std::thread second(append, b);
    first.join();
    second.join();
  };
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    run_pair('c', 'd');
    _exit(0);
  }
  run_pair('a', 'b');
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  std::string content = PosixFileSystem().ReadFile(path, size_t{64} << 20);
  std::map<char, int> counts;
  for (const std::string& line : SplitText(content, '\n')) {
    if (line.empty()) continue;  // after the final line end
    ASSERT_GE(line.size(), 3u);
    char tag = line[0];
    size_t colon = line.find(':');
    ASSERT_NE(colon, std::string::npos);
    size_t length = std::stoul(line.substr(1, colon - 1));
    std::string body = line.substr(colon + 1);
    ASSERT_EQ(body, std::string(length, tag) + "\r") << "a record was cut or mixed";
    ++counts[tag];
  }
  EXPECT_EQ(counts, (std::map<char, int>{
                        {'a', kRecords}, {'b', kRecords}, {'c', kRecords}, {'d', kRecords}}));
}

// A pipe or a device put where a file is expected (a whitelist, the manual template) must not
// hold up a save: it is refused at once, without waiting for a writer. The read runs in a child
// whose alarm ends a reader that waits.
TEST(PosixFileSystemTest, ReadRefusesWhatIsNoRegularFileWithoutWaiting) {
  testing::TempDirectory dir("corvalith-fifo");
  const std::string fifo = dir.File("u.dat.wlt");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(10);
    int outcome = 1;
    try {
      PosixFileSystem().ReadFile(fifo, 100);
    } catch (const Failure& failure) {
      outcome = failure.description() == fifo + ": not a regular file" ? 0 : 2;
    }
    _exit(outcome);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
  try {
    PosixFileSystem().ReadFile("/dev/null", 100);
    ADD_FAILURE() << "a device was read as a file";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.description(), "/dev/null: not a regular file");
  }
}

uint32_t BootClockMilliseconds() {
  struct timespec ts;
  clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000 +
                               static_cast<uint64_t>(ts.tv_nsec) / 1000000);
}

// Both clocks are checked against readings taken just before and just after them, never
// against a time bound: a slow or loaded machine may take any time between the readings.
TEST(PosixClockTest, TicksFollowTheBootClockAndTheWallClockIsLocal) {
  PosixClock clock;
  uint32_t before = BootClockMilliseconds();
  uint32_t ticks = clock.TickCount();
  uint32_t after = BootClockMilliseconds();
  EXPECT_LE(ticks - before, after - before);  // unsigned: also right across the 32-bit wrap

  time_t first = time(nullptr);
  LocalTime now = clock.Now();
  time_t second = time(nullptr);
  // min and max: the wall clock may be stepped back between the readings.
  bool seen = false;
  for (time_t t = std::min(first, second); !seen && t <= std::max(first, second); ++t) {
    struct tm tm;
    localtime_r(&t, &tm);
    seen = FormatLocalTime(now) == FormatLocalTime({tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                                                    tm.tm_hour, tm.tm_min, tm.tm_sec});
  }
  EXPECT_TRUE(seen) << FormatLocalTime(now) << " is not the local time of any second from " << first
                    << " to " << second;
  EXPECT_EQ(FormatLocalTime({2026, 1, 2, 3, 4, 5}), "2026-01-02 03:04:05");
}

}  // namespace
}  // namespace corvalith
