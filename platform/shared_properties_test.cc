#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/environment.h"
#include "platform/shared_property_table.h"
#include "platform/testing/memory_environment.h"

namespace corvalith {
namespace {

TEST(SharedPropertyTableTest, FirstLookupCreatesLaterLookupsFind) {
  SharedPropertyTable table;
  EXPECT_EQ(table.Peek("G", "P"), std::nullopt);
  bool existed = true;
  SharedPropertyGroup& group = table.CreatePropertyGroup("G", LockSetGet, Process, &existed);
  EXPECT_FALSE(existed);
  EXPECT_EQ(table.Peek("G", "P"), std::nullopt);  // Peek creates nothing
  SharedProperty& property = group.CreateProperty("P", &existed);
  EXPECT_FALSE(existed);
  EXPECT_TRUE(property.Value().IsEmpty());
  property.SetValue(Variant::Int32(7));

  SharedPropertyGroup& again = table.CreatePropertyGroup("G", LockSetGet, Process, &existed);
  EXPECT_TRUE(existed);
  EXPECT_EQ(&again, &group);
  SharedProperty& same = again.CreateProperty("P", &existed);
  EXPECT_TRUE(existed);
  EXPECT_EQ(&same, &property);
  EXPECT_EQ(same.Value(), Variant::Int32(7));
  EXPECT_EQ(table.Peek("G", "P"), Variant::Int32(7));
  // Names are exact: another case is another property, another group another namespace.
  again.CreateProperty("p", &existed);
  EXPECT_FALSE(existed);
  table.CreatePropertyGroup("H", LockSetGet, Process, &existed).CreateProperty("P", &existed);
  EXPECT_FALSE(existed);
  EXPECT_TRUE(table.Peek("H", "P")->IsEmpty());
}

// Many threads race to create the same property: exactly one may see it as new (the one that
// goes on to load the setting), and all must get the same object.
TEST(SharedPropertyTableTest, CreationIsDecidedOnceUnderRaces) {
  SharedPropertyTable table;
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  std::atomic<int> created{0};
  std::vector<std::vector<SharedProperty*>> seen(kThreads);
  std::vector<std::thread> threads;
  std::atomic<bool> go{false};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      for (int r = 0; r < kRounds; ++r) {
        bool group_existed = false;
        bool existed = false;
        SharedProperty& property =
            table.CreatePropertyGroup("G", LockSetGet, Process, &group_existed)
                .CreateProperty("P" + std::to_string(r), &existed);
        if (!existed) ++created;
        seen[t].push_back(&property);
        // Read-modify-write is not atomic as a whole, but each read and write is: the
        // value is always one that some thread wrote, never a torn string.
        property.SetValue(Variant::String(std::string(100, static_cast<char>('a' + t))));
        std::string value = property.Value().ToString();
        EXPECT_EQ(value.size(), 100u);
        EXPECT_EQ(value.find_first_not_of(value[0]), std::string::npos);
      }
    });
  }
  go = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(created, kRounds);
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]);
}

TEST(ProcessSharedPropertiesTest, OneProcessWideTableWithATestReset) {
  ResetProcessSharedPropertiesForTesting();
  bool existed = true;
  DefaultEnvironment()
      .shared_properties()
      .CreatePropertyGroup("SPGCorvalith", LockSetGet, Process, &existed)
      .CreateProperty("HideSpam", &existed)
      .SetValue(Variant::Int32(1));
  EXPECT_FALSE(existed);
  EXPECT_EQ(ProcessSharedProperties().Peek("SPGCorvalith", "HideSpam"), Variant::Int32(1));
  EXPECT_EQ(&DefaultEnvironment(), &DefaultEnvironment());
  ResetProcessSharedPropertiesForTesting();
  EXPECT_EQ(ProcessSharedProperties().Peek("SPGCorvalith", "HideSpam"), std::nullopt);
}

TEST(MemorySharedPropertyManagerTest, InjectedFailureStopsCreationUntilCleared) {
  testing::MemorySharedPropertyManager manager;
  bool existed = false;
  manager.CreatePropertyGroup("G", LockSetGet, Process, &existed).CreateProperty("P", &existed);
  manager.FailWith(Failure("unavailable", static_cast<int32_t>(0x8004E002)));
  try {
    manager.CreatePropertyGroup("G", LockSetGet, Process, &existed);
    ADD_FAILURE();
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), static_cast<int32_t>(0x8004E002));
    EXPECT_EQ(failure.description(), "unavailable");
  }
  EXPECT_EQ(manager.Peek("G", "P"), Variant());  // what existed is kept
  manager.FailWith(std::nullopt);
  manager.CreatePropertyGroup("G", LockSetGet, Process, &existed);
  EXPECT_TRUE(existed);
}

}  // namespace
}  // namespace corvalith
