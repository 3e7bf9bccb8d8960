#include "platform/variant.h"

#include <gtest/gtest.h>

#include "platform/failure.h"

namespace corvalith {
namespace {

int32_t FailureNumberOfToInt32(const Variant& v) {
  try {
    v.ToInt32();
  } catch (const Failure& f) {
    return f.number();
  }
  return 0;
}

TEST(VariantTest, AutomationConversionsToInteger) {
  EXPECT_EQ(Variant().ToInt32(), 0);
  EXPECT_EQ(Variant::Int16(7).ToInt32(), 7);
  EXPECT_EQ(Variant::Int32(-70000).ToInt32(), -70000);
  EXPECT_EQ(Variant::String("2").ToInt32(), 2);
  EXPECT_EQ(Variant::String(" -12 ").ToInt32(), -12);
  EXPECT_EQ(Variant::Bool(true).ToInt32(), -1);
  EXPECT_EQ(FailureNumberOfToInt32(Variant::String("abc")), kErrTypeMismatch);
  EXPECT_EQ(FailureNumberOfToInt32(Variant::String("")), kErrTypeMismatch);
  EXPECT_EQ(FailureNumberOfToInt32(Variant::String("1x")), kErrTypeMismatch);
  EXPECT_EQ(FailureNumberOfToInt32(Variant::Null()), kErrInvalidUseOfNull);
  EXPECT_EQ(FailureNumberOfToInt32(Variant::String("2147483648")), kErrOverflow);
  EXPECT_EQ(Variant::String("-2147483648").ToInt32(), INT32_MIN);
}

TEST(VariantTest, AutomationConversionsToText) {
  EXPECT_EQ(Variant().ToString(), "");
  EXPECT_EQ(Variant::Int16(0).ToString(), "0");
  EXPECT_EQ(Variant::Int32(-5).ToString(), "-5");
  EXPECT_THROW(Variant::Null().ToString(), Failure);
}

TEST(VariantTest, ComparisonWithEmpty) {
  EXPECT_FALSE(Variant().DiffersFromEmpty());
  EXPECT_FALSE(Variant::Int32(0).DiffersFromEmpty());
  EXPECT_FALSE(Variant::String("").DiffersFromEmpty());
  EXPECT_TRUE(Variant::Int32(3).DiffersFromEmpty());
  EXPECT_TRUE(Variant::String("0").DiffersFromEmpty());
}

}  // namespace
}  // namespace corvalith
