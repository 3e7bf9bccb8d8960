#include "config/settings.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace corvalith
