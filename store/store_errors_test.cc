#include "store/store_errors.h"

#include <gtest/gtest.h>

#include <set>

namespace corvalith::store {
namespace {

// Hosts and logs match on these numbers: changing one is a compatibility break, which this
// list makes a deliberate act.
TEST(StoreErrorsTest, NumbersNeverChange) {
  const std::pair<StoreError, uint32_t> pinned[] = {
      {StoreError::kNotFound, 0x80040E19},           {StoreError::kAlreadyExists, 0x800A0E93},
      {StoreError::kParentMissing, 0x800A0E8F},      {StoreError::kRefused, 0x800A0E94},
      {StoreError::kPropertyUnreadable, 0x80040E21}, {StoreError::kWrongMode, 0x800A0E88},
      {StoreError::kBadIndex, 0x800A0CC1},           {StoreError::kNoOpenRecord, 0x800A0E78},
      {StoreError::kBadArgument, 0x800A0BB9},        {StoreError::kReadOnlyProperty, 0x800A0C93},
      {StoreError::kNotSupported, 0x800A0CB3},       {StoreError::kTransactionOpen, 0x8004D013},
      {StoreError::kNoTransaction, 0x8004D00E},      {StoreError::kFileUnreadable, 0x800A0BBA},
      {StoreError::kStorageFault, 0x8003001D},       {StoreError::kBusy, 0x800A0E92},
      {StoreError::kNotAStore, 0x800300FB},          {StoreError::kNewerSchema, 0x80030105},
  };
  int size = 0;
  const StoreErrorInfo* table = StoreErrorTable(&size);
  ASSERT_EQ(size, static_cast<int>(std::size(pinned)));
  std::set<int32_t> numbers;
  for (int i = 0; i < size; ++i) {
    SCOPED_TRACE(table[i].description);
    EXPECT_EQ(table[i].kind, pinned[i].first) << "table out of enumeration order";
    EXPECT_EQ(static_cast<uint32_t>(table[i].number), pinned[i].second);
    EXPECT_LT(table[i].number, 0) << "a failure status";
    EXPECT_TRUE(numbers.insert(table[i].number).second) << "numbers are unique";
  }
}

TEST(StoreErrorsTest, FailureCarriesDetailAndIsRecognised) {
  Failure plain = StoreFailure(StoreError::kNoTransaction);
  Failure detailed = StoreFailure(StoreError::kNotFound, "file://./x");
  EXPECT_EQ(detailed.description(),
            "Object or data matching the name, range, or selection criteria was not found: "
            "file://./x");
  EXPECT_EQ(plain.description().find(':'), std::string::npos);
  EXPECT_TRUE(IsStoreError(detailed, StoreError::kNotFound));
  EXPECT_FALSE(IsStoreError(detailed, StoreError::kAlreadyExists));
  EXPECT_FALSE(IsStoreError(Failure::TypeMismatch(), StoreError::kNotFound));
}

}  // namespace
}  // namespace corvalith::store
