#include "platform/failure.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <exception>
#include <stdexcept>

namespace corvalith {
namespace {

Failure Rethrown(const std::exception_ptr& thrown) {
  try {
    std::rethrow_exception(thrown);
  } catch (...) {
    return Failure::FromCurrentException();
  }
}

// A failure is temporary unless the place that raised it says otherwise, and keeps its kind
// wherever it is handed on: a guard's copy decides whether a mail server bounces a message.
TEST(FailureTest, KindIsTemporaryUnlessSaidAndTravelsWithTheFailure) {
  EXPECT_FALSE(Failure("locked", E_FAIL).permanent());
  EXPECT_FALSE(Failure::FromErrno("open x", EIO).permanent());
  EXPECT_FALSE(Failure("x", E_INVALIDARG).permanent()) << "the number says nothing of the kind";

  const Failure permanent = Failure::Permanent("no such mailbox", E_INVALIDARG);
  EXPECT_TRUE(permanent.permanent());
  EXPECT_EQ(permanent.kind(), FailureKind::kPermanent);
  EXPECT_EQ(permanent.number(), E_INVALIDARG);
  EXPECT_EQ(permanent.description(), "no such mailbox");

  const Failure copied = Rethrown(std::make_exception_ptr(permanent));
  EXPECT_TRUE(copied.permanent());
  EXPECT_EQ(copied.description(), "no such mailbox");
  EXPECT_FALSE(Rethrown(std::make_exception_ptr(std::runtime_error("library"))).permanent());
}

}  // namespace
}  // namespace corvalith
