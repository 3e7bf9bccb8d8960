#include "config/settings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

#include "config/shared_settings.h"
#include "logging/testing/recording_logger.h"
#include "platform/testing/memory_environment.h"

namespace corvalith {
namespace {

TEST(GetRegistrySettingTest, TypesAndMissingValues) {
  testing::MemoryRegistry registry;
  registry.SetDword("Dw", 10);
  registry.SetDword("Zero", 0);
  registry.SetString("Sz", "Junk E-mail");
  registry.SetValue("Expand", REG_EXPAND_SZ, {'a', 0});
  registry.SetValue("Multi", REG_MULTI_SZ, {'a', 0, 0});
  registry.SetValue("Bin", REG_BINARY, {1, 2});

  EXPECT_EQ(Settings::GetRegistrySetting(registry, "Dw"), Variant::Int32(10));
  EXPECT_EQ(Settings::GetRegistrySetting(registry, "dW"), Variant::Int32(10));  // names fold case
  EXPECT_EQ(Settings::GetRegistrySetting(registry, "Zero"), Variant::Int32(0));
  EXPECT_EQ(Settings::GetRegistrySetting(registry, "Sz"), Variant::String("Junk E-mail"));
  EXPECT_TRUE(Settings::GetRegistrySetting(registry, "Expand").IsEmpty());
  EXPECT_TRUE(Settings::GetRegistrySetting(registry, "Multi").IsEmpty());
  EXPECT_TRUE(Settings::GetRegistrySetting(registry, "Bin").IsEmpty());
  EXPECT_TRUE(Settings::GetRegistrySetting(registry, "Missing").IsEmpty());
  registry.RemoveKey();
  EXPECT_TRUE(Settings::GetRegistrySetting(registry, "Dw").IsEmpty());
}

TEST(QueryRegistryValueTest, StatusForEachOutcome) {
  testing::MemoryRegistry registry;
  registry.SetValue("Expand", REG_EXPAND_SZ, {'a', 0});
  registry.SetString("Sz", "v");
  std::unique_ptr<RegistryKey> key;
  ASSERT_EQ(registry.OpenKey(RegistryRoot::kLocalMachine, Settings::kSettingsKey, &key), 0);
  Variant value = Variant::String("unchanged");
  EXPECT_EQ(Settings::QueryRegistryValue(*key, "Expand", &value), -1);
  EXPECT_EQ(value, Variant::String("unchanged"));
  EXPECT_EQ(Settings::QueryRegistryValue(*key, "Missing", &value), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(value, Variant::String("unchanged"));
  EXPECT_EQ(Settings::QueryRegistryValue(*key, "Sz", &value), 0);
  EXPECT_EQ(value, Variant::String("v"));
}

class SharedSettingTest : public ::testing::Test {
 protected:
  Variant LookUp(const std::string& name) {
    return LookUpSharedSetting(env_.properties, env_.registry_, logger_, name);
  }
  testing::MemoryEnvironment env_;
  testing::RecordingLogger logger_{1};
};

TEST_F(SharedSettingTest, FirstLookupLoadsAndLogsLaterLookupsUseTheCacheOnly) {
  env_.registry_.SetDword("HideSpam", 1);
  EXPECT_EQ(LookUp("HideSpam"), Variant::Int32(1));
  EXPECT_EQ(logger_.records(), std::vector<std::string>{"Loading HideSpam (1) from registry."});
  env_.registry_.SetDword("HideSpam", 0);
  env_.registry_.RemoveKey();
  int opens = env_.registry_.open_count();
  EXPECT_EQ(LookUp("HideSpam"), Variant::Int32(1));
  EXPECT_EQ(env_.registry_.open_count(), opens);
  EXPECT_EQ(logger_.records().size(), 1u);
}

TEST_F(SharedSettingTest, UnsetValuesAnswerInt16ZeroAndStayUnassigned) {
  env_.registry_.SetDword("DebugLevel", 0);
  env_.registry_.SetValue("Expand", REG_EXPAND_SZ, {'1', 0});
  env_.registry_.SetString("Empty", "");
  for (const char* name : {"DebugLevel", "Expand", "Empty", "Missing"}) {
    EXPECT_EQ(LookUp(name), Variant::Int16(0)) << name;
    EXPECT_EQ(env_.properties.Peek(kSettingsGroup, name), Variant()) << name;
  }
  EXPECT_EQ(logger_.Count("Loading DebugLevel (NOT SET) from registry."), 1);
  // The unassigned entry answers from the cache from now on, even after the value appears.
  env_.registry_.SetDword("Missing", 5);
  EXPECT_EQ(LookUp("Missing"), Variant());
  EXPECT_EQ(Variant().ToString(), "");
}

TEST_F(SharedSettingTest, TextNumberIsReturnedAsTextForTheCallerToConvert) {
  env_.registry_.SetString("DebugLevel", "2");
  Variant v = LookUp("DebugLevel");
  EXPECT_EQ(v, Variant::String("2"));
  EXPECT_EQ(v.ToInt32(), 2);
}

TEST_F(SharedSettingTest, NoLoadingLinesAtDebugLevelZero) {
  logger_.set_debug_level(0);
  env_.registry_.SetDword("HideSpam", 1);
  LookUp("HideSpam");
  LookUp("Missing");
  EXPECT_TRUE(logger_.records().empty());
}

TEST_F(SharedSettingTest, PropertyManagerFailureLogsAndAnswersZeroWithoutReadingTheRegistry) {
  env_.properties.FailWith(Failure("COM+ unavailable", static_cast<int32_t>(0x8004E002)));
  EXPECT_EQ(LookUp("HideSpam"), Variant::Int16(0));
  EXPECT_EQ(env_.registry_.open_count(), 0);
  EXPECT_EQ(logger_.records(),
            std::vector<std::string>{
                "Err: Get Settings for HideSpam failed: COM+ unavailable 0x8004E002 Source: "});
}

TEST_F(SharedSettingTest, FailingLoadingLineKeepsTheLoadedValue) {
  env_.registry_.SetDword("HideSpam", 3);
  logger_.set_fail(true);
  EXPECT_EQ(LookUp("HideSpam"), Variant::Int32(3));
  logger_.set_fail(false);
  EXPECT_EQ(LookUp("HideSpam"), Variant::Int32(3));
}

// Holds the first OpenKey until the test releases it: the first lookup of a name is then caught
// between creating the name's property and storing the value read.
class FirstOpenWaitsRegistry : public Registry {
 public:
  explicit FirstOpenWaitsRegistry(Registry& registry) : registry_(registry) {}
  int32_t OpenKey(RegistryRoot root, const std::string& subkey,
                  std::unique_ptr<RegistryKey>* key) override {
    if (opens_++ == 0) {
      entered.count_down();
      release.wait();
    }
    return registry_.OpenKey(root, subkey, key);
  }
  std::latch entered{1};
  std::latch release{1};

 private:
  Registry& registry_;
  std::atomic<int> opens_{0};
};

// Counts the lookups that have reached the property group, and lets the test wait for them.
class ArrivalCountingManager : public SharedPropertyManager {
 public:
  explicit ArrivalCountingManager(SharedPropertyManager& manager) : manager_(manager) {}
  SharedPropertyGroup& CreatePropertyGroup(const std::string& name, int32_t isolation,
                                           int32_t release, bool* existed) override {
    SharedPropertyGroup& group = manager_.CreatePropertyGroup(name, isolation, release, existed);
    ++arrivals_;
    arrivals_.notify_all();
    return group;
  }
  void WaitForArrivals(int count) {
    for (int seen = arrivals_; seen < count; seen = arrivals_) arrivals_.wait(seen);
  }

 private:
  SharedPropertyManager& manager_;
  std::atomic<int> arrivals_{0};
};

// Instances on other threads that look a setting up while its first lookup is still reading
// the registry must get the value read, not the empty entry: an empty "UseJunkMailFolder"
// would send their spam into a new Spambox, an empty "DebugLevel" silence their log.
TEST_F(SharedSettingTest, LookupsDuringTheFirstLoadGetTheLoadedValue) {
  env_.registry_.SetString("UseJunkMailFolder", "Junk E-mail");
  FirstOpenWaitsRegistry registry(env_.registry_);
  ArrivalCountingManager properties(env_.properties);
  constexpr int kCallers = 16;
  std::vector<testing::RecordingLogger> loggers(kCallers);
  std::vector<Variant> results(kCallers);
  auto look_up = [&](int i) {
    results[i] = LookUpSharedSetting(properties, registry, loggers[i], "UseJunkMailFolder");
  };
  std::vector<std::thread> callers;
  callers.emplace_back(look_up, 0);
  registry.entered.wait();
  for (int i = 1; i < kCallers; ++i) callers.emplace_back(look_up, i);
  properties.WaitForArrivals(kCallers);
  registry.release.count_down();
  for (std::thread& caller : callers) caller.join();

  int loading_lines = 0;
  for (int i = 0; i < kCallers; ++i) {
    EXPECT_EQ(results[i], Variant::String("Junk E-mail")) << "caller " << i;
    loading_lines += loggers[i].Count("Loading UseJunkMailFolder (Junk E-mail) from registry.");
  }
  EXPECT_EQ(loading_lines, 1);
  EXPECT_EQ(env_.registry_.open_count(), 1);
}

}  // namespace
}  // namespace corvalith
