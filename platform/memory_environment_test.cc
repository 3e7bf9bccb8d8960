// The doubles' own behaviour where other folders' tests rely on more than storage: injected
// failures, normalised paths, call counts, snapshots and the clock's stepping. The POSIX file
// semantics are checked against the real file system in posix_file_system_test.cc.
#include "platform/testing/memory_environment.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace corvalith::testing {
namespace {

TEST(MemoryFileSystemTest, FailPathHitsEveryCallOnThatPathOnly) {
  MemoryFileSystem fs;
  fs.WriteFile("/data/d/u.dat.create", "");
  fs.FailPath("/data/d/u.dat.create/", EACCES);  // same path once normalised
  EXPECT_FALSE(fs.DeleteFile("/data/d/u.dat.create"));
  EXPECT_EQ(fs.LastError(), EACCES);
  EXPECT_FALSE(fs.Exists("/data//d/u.dat.create"));
  EXPECT_EQ(fs.LastError(), EACCES);
  EXPECT_FALSE(fs.CreateDirectory("/data/d/u.dat.create"));
  EXPECT_EQ(fs.LastError(), EACCES);
  for (auto call : {+[](MemoryFileSystem& f) { f.AppendText("/data/d/u.dat.create", "x"); },
                    +[](MemoryFileSystem& f) { f.ReadFile("/data/d/u.dat.create", 100); },
                    +[](MemoryFileSystem& f) { f.WriteNewFile("/data/d/u.dat.create", "x"); }}) {
    try {
      call(fs);
      ADD_FAILURE();
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.number(), EACCES);
    }
  }
  EXPECT_EQ(fs.calls("/data/d/u.dat.create"), 6);
  EXPECT_EQ(fs.Contents("/data/d/u.dat.create"), "");  // nothing was changed
  EXPECT_TRUE(fs.CreateDirectory("/data/d/other"));    // another path is unaffected
  EXPECT_EQ(fs.calls("/data/d"), 0);                   // set-up calls do not count

  fs.FailPath("/data/d/u.dat.create", 0);
  EXPECT_TRUE(fs.DeleteFile("/data/d/u.dat.create"));
  EXPECT_EQ(fs.Paths(), (std::vector<std::string>{"/data", "/data/d", "/data/d/other"}));
}

TEST(MemoryFileSystemTest, RelativePathsLiveInTheCurrentDirectory) {
  MemoryFileSystem fs;
  fs.AppendText("Corvalith.log", "a\r\n");
  EXPECT_EQ(fs.Contents("Corvalith.log"), "a\r\n");
  EXPECT_TRUE(fs.CreateDirectory("sub"));
  EXPECT_TRUE(fs.IsDirectory("sub"));
  EXPECT_FALSE(fs.IsDirectory("/sub"));
  EXPECT_EQ(fs.Contents("sub"), std::nullopt);  // a directory has no contents
  EXPECT_EQ(fs.Paths(), (std::vector<std::string>{"Corvalith.log", "sub"}));
}

TEST(MemoryRegistryTest, TheSettingsKeyOnlyWithInjectedFailures) {
  MemoryRegistry registry;
  registry.SetDword("HideSpam", 0x01020304);
  registry.SetString("Junk", "J");
  std::unique_ptr<RegistryKey> key;
  EXPECT_EQ(registry.OpenKey(RegistryRoot::kClassesRoot, MemoryRegistry::kSettingsKey, &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(registry.OpenKey(RegistryRoot::kLocalMachine, "Software\\Other", &key),
            ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(registry.OpenKey(RegistryRoot::kLocalMachine, "SOFTWARE\\corvalith", &key),
            ERROR_SUCCESS);
  registry.SetDword("HideSpam", 9);  // an open key keeps what it saw at open
  uint32_t type = 0;
  std::vector<uint8_t> data;
  EXPECT_EQ(key->QueryValue("hidespam", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(data, (std::vector<uint8_t>{4, 3, 2, 1}));
  EXPECT_EQ(key->QueryValue("Junk", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, (std::vector<uint8_t>{'J', 0}));
  EXPECT_EQ(key->QueryValue("Gone", &type, &data), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(registry.query_count(), 3);

  registry.FailOpen(ERROR_ACCESS_DENIED);
  EXPECT_EQ(registry.OpenKey(RegistryRoot::kLocalMachine, MemoryRegistry::kSettingsKey, &key),
            ERROR_ACCESS_DENIED);
  registry.FailOpen(ERROR_SUCCESS);
  registry.RemoveKey();
  EXPECT_EQ(registry.OpenKey(RegistryRoot::kLocalMachine, MemoryRegistry::kSettingsKey, &key),
            ERROR_FILE_NOT_FOUND);
  registry.SetDword("UseWhiteList", 1);  // brings the key back, without the old values
  ASSERT_EQ(registry.OpenKey(RegistryRoot::kLocalMachine, MemoryRegistry::kSettingsKey, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(key->QueryValue("HideSpam", &type, &data), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(registry.open_count(), 6);
}

TEST(ManualClockTest, StepsAfterEachReadAndWraps) {
  ManualClock clock;
  EXPECT_EQ(clock.TickCount(), 1000u);
  EXPECT_EQ(clock.Now().year, 2026);
  clock.SetTicks(0xFFFFFFF0u);
  clock.AdvanceOnRead(0x20);
  EXPECT_EQ(clock.TickCount(), 0xFFFFFFF0u);
  EXPECT_EQ(clock.TickCount(), 0x10u);
  EXPECT_EQ(SignedTicks(0xFFFFFFF0u), -16);
  EXPECT_EQ(clock.tick_reads(), 3);
}

TEST(MemoryEnvironmentTest, OverridesReturnTheMembers) {
  MemoryEnvironment env;
  Environment& base = env;
  EXPECT_EQ(&base.file_system(), &env.files);
  EXPECT_EQ(&base.registry(), &env.registry_);
  EXPECT_EQ(&base.shared_properties(), &env.properties);
  EXPECT_EQ(&base.event_log(), &env.events);
  EXPECT_EQ(&base.clock(), &env.clock_);
  EXPECT_EQ(&base.objects(), &env.classes);
}

}  // namespace
}  // namespace corvalith::testing
