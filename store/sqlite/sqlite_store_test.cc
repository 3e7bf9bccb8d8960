#include "store/sqlite/sqlite_store.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "platform/testing/memory_environment.h"
#include "platform/testing/temp_directory.h"
#include "store/store_test_util.h"

namespace corvalith::store {
namespace {

const std::string kRoot = "file://./backofficestorage/example.com/MBX/alice";
const std::string kInbox = kRoot + "/Inbox";

// Runs `body` in `n` child processes at once and waits for all; true when all exited 0.
template <class Body>
bool InChildren(int n, Body body) {
  std::vector<pid_t> children;
  for (int i = 0; i < n; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      int code = 0;
      try {
        body(i);
      } catch (...) {
        code = 1;
      }
      _exit(code);
    }
    children.push_back(pid);
  }
  bool ok = true;
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  return ok;
}

class SqliteStoreTest : public ::testing::Test {
 protected:
  testing::TempDirectory dir_{"corvalith-sqlite"};
  std::string path_ = dir_.File("store.db");
  testing::MemoryFileSystem files_;
};

TEST_F(SqliteStoreTest, ReopenKeepsEverything) {
  {
    SqliteStore store(path_, files_);
    store.CreateFolder(kInbox);
    store.PutItem(kInbox + "/M.EML", {{"n", Variant::Int16(4)}, {"s", Variant::String("x")}},
                  std::string("raw\0bytes", 9));
    auto connection = store.Connect();
    auto record = connection->OpenRecord(kInbox + "/M.EML", adModeReadWrite, adFailIfNotExists,
                                         adOpenRecordUnspecified, "", "");
    record->GetFields().Item("b").SetValue(Variant::Bool(false));
    record->GetFields().Update();
  }
  SqliteStore store(path_, files_);
  EXPECT_EQ(store.Content(kInbox + "/M.EML"), std::string("raw\0bytes", 9));
  EXPECT_EQ(store.Property(kInbox + "/M.EML", "n"), Variant::Int16(4));
  EXPECT_EQ(store.Property(kInbox + "/M.EML", "s"), Variant::String("x"));
  EXPECT_EQ(store.Property(kInbox + "/M.EML", "b"), Variant::Bool(false));
  EXPECT_EQ(store.Children(kRoot), std::vector<std::string>{kInbox});
}

TEST_F(SqliteStoreTest, ProcessesWritingOneFileLoseNothing) {
  { SqliteStore(path_, files_).CreateFolder(kInbox); }
  constexpr int kProcesses = 4, kItems = 50, kIncrements = 50;
  const std::string counter = kRoot;
  EXPECT_TRUE(InChildren(kProcesses, [&](int child) {
    testing::MemoryFileSystem files;
    SqliteStore store(path_, files);
    auto connection = store.Connect();
    for (int i = 0; i < kItems; ++i) {
      const std::string url = kInbox + "/" + std::to_string(child) + "-" + std::to_string(i);
      connection->OpenRecord(url, adModeReadWrite, adCreateOverwrite, adOpenRecordUnspecified, "",
                             "");
    }
    // Read-modify-write inside a transaction: only serialised writers keep every increment.
    for (int i = 0; i < kIncrements; ++i) {
      connection->BeginTrans();
      auto root = connection->OpenRecord(counter, adModeReadWrite, adFailIfNotExists,
                                         adOpenRecordUnspecified, "", "");
      Field& field = root->GetFields().Item("count");
      int32_t value = field.Value().IsNull() ? 0 : field.Value().ToInt32();
      field.SetValue(Variant::Int32(value + 1));
      root->GetFields().Update();
      connection->CommitTrans();
    }
  }));
  SqliteStore store(path_, files_);
  EXPECT_EQ(store.Children(kInbox).size(), size_t{kProcesses * kItems});
  EXPECT_EQ(store.Property(counter, "count"), Variant::Int32(kProcesses * kIncrements));
}

TEST_F(SqliteStoreTest, AProcessDyingMidTransactionLeavesNoHalfItem) {
  { SqliteStore(path_, files_).CreateFolder(kInbox); }
  EXPECT_TRUE(InChildren(1, [&](int) {
    testing::MemoryFileSystem files;
    SqliteStore store(path_, files);
    auto connection = store.Connect();
    connection->BeginTrans();
    auto record = connection->OpenRecord(kInbox + "/Half.EML", adModeReadWrite, adCreateOverwrite,
                                         adOpenRecordUnspecified, "", "");
    auto stream = record->GetFields().Item(adDefaultStream).StreamValue();
    stream->Write("content");
    stream->Flush();
    _exit(0);  // no commit, no destructors: as a crash
  }));
  SqliteStore store(path_, files_);
  EXPECT_FALSE(store.Exists(kInbox + "/Half.EML"));
  store.PutItem(kInbox + "/After.EML", {}, "x");  // the lock died with the process
  EXPECT_TRUE(store.Exists(kInbox + "/After.EML"));
}

TEST_F(SqliteStoreTest, RefusesFilesThatAreNotOurs) {
  struct Case {
    const char* what;
    std::function<void(const std::string&)> make;
    int32_t error;
  } cases[] = {
      {"text file",
       [](const std::string& path) { std::ofstream(path) << "From: a\r\n\r\nnot a database\r\n"; },
       Number(StoreError::kNotAStore)},
      {"another application's database",
       [](const std::string& path) { Sql(path, "CREATE TABLE t(x); INSERT INTO t VALUES(1);"); },
       Number(StoreError::kNotAStore)},
      {"ours, newer",
       [this](const std::string& path) {
         { SqliteStore store(path, files_); }
         Sql(path, "PRAGMA user_version = " + std::to_string(SqliteStore::kSchemaVersion + 1));
       },
       Number(StoreError::kNewerSchema)},
      {"ours, current", [this](const std::string& path) { SqliteStore store(path, files_); }, 0},
      {"missing: created", [](const std::string&) {}, 0},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir_.File("case" + std::to_string(n++));
    c.make(path);
    EXPECT_EQ(FailureNumber([&] { SqliteStore store(path, files_); }), c.error);
  }
  // A refused file is left as it was.
  const std::string text = dir_.File("case0");
  std::ifstream in(text);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
            "From: a\r\n\r\nnot a database\r\n");
}

TEST_F(SqliteStoreTest, HostListings) {
  SqliteStore store(path_, files_);
  const std::string bob = "file://./backofficestorage/example.com/MBX/bob";
  store.CreateFolder(kInbox);
  store.CreateFolder(kRoot + "/Junk E-mail");
  store.CreateFolder(bob);
  // A sibling whose name extends the root must not count as one of its folders.
  store.CreateFolder(kRoot + "x/Inbox");
  store.PutItem(kInbox + "/1.EML", {}, "12345");
  store.PutItem(kInbox + "/2.EML", {}, "");
  store.PutItem(kRoot + "/Top.EML", {}, "");

  std::vector<std::pair<std::string, int64_t>> folders;
  for (const auto& f : store.Folders(kRoot + "/")) folders.emplace_back(f.url, f.items);
  EXPECT_EQ(folders, (std::vector<std::pair<std::string, int64_t>>{
                         {kRoot, 1}, {kInbox, 2}, {kRoot + "/Junk E-mail", 0}}));
  EXPECT_EQ(store.Mailboxes(), (std::vector<std::string>{kRoot, kRoot + "x", bob}));
  auto item = store.FindItem(kInbox + "/1.EML");
  ASSERT_TRUE(item.has_value());
  EXPECT_EQ(item->folder_url, kInbox);
  EXPECT_EQ(item->size, 5);
  EXPECT_FALSE(store.FindItem(kInbox).has_value()) << "a folder is no item";
  EXPECT_FALSE(store.FindItem(kInbox + "/3.EML").has_value());
}

TEST_F(SqliteStoreTest, ConnectionsAreIsolatedUntilCommit) {
  SqliteStore store(path_, files_);
  store.CreateFolder(kInbox);
  auto writer = store.Connect();
  writer->BeginTrans();
  writer->OpenRecord(kInbox + "/T.EML", adModeReadWrite, adCreateOverwrite, adOpenRecordUnspecified,
                     "", "");
  auto reader = store.Connect();
  EXPECT_EQ(FailureNumber([&] {
              reader->OpenRecord(kInbox + "/T.EML", adModeRead, adFailIfNotExists,
                                 adOpenRecordUnspecified, "", "");
            }),
            Number(StoreError::kNotFound));
  writer->CommitTrans();
  EXPECT_EQ(reader
                ->OpenRecord(kInbox + "/T.EML", adModeRead, adFailIfNotExists,
                             adOpenRecordUnspecified, "", "")
                ->Source(),
            kInbox + "/T.EML");
  // A connection dropped with its transaction open rolls it back.
  writer->BeginTrans();
  writer->OpenRecord(kInbox + "/U.EML", adModeReadWrite, adCreateOverwrite, adOpenRecordUnspecified,
                     "", "");
  writer.reset();
  EXPECT_FALSE(store.Exists(kInbox + "/U.EML"));
}

}  // namespace
}  // namespace corvalith::store
