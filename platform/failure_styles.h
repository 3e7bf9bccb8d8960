// The three ways an operation of the filter treats failures. Every operation picks one, and
// these helpers make the choice visible at the top of its body:
//
//   stop-and-log  StopAndLog(body, on_failure): the first failure abandons the body and is
//                 handed to on_failure (which writes the error line); nothing escapes.
//   carry-on      CarryOn: each statement runs on its own; a failure is remembered as the
//                 current error and the next statement runs anyway. The operation tests the
//                 current error where it needs to.
//   unguarded     plain code: a Failure thrown in the body passes to the caller's guard.
#ifndef CORVALITH_PLATFORM_FAILURE_STYLES_H_
#define CORVALITH_PLATFORM_FAILURE_STYLES_H_

#include <optional>
#include <utility>

#include "platform/failure.h"

namespace corvalith {

template <class Body, class OnFailure>
void StopAndLog(Body&& body, OnFailure&& on_failure) {
  std::optional<Failure> failure;
  try {
    std::forward<Body>(body)();
  } catch (...) {
    failure = Failure::FromCurrentException();
  }
  // Handled outside the catch block, so that a failure of the handler itself (an unguarded
  // Log inside it) propagates cleanly instead of nesting in the active exception.
  if (failure) std::forward<OnFailure>(on_failure)(*failure);
}

class CarryOn {
 public:
  // Runs one statement; a failure becomes the current error, replacing any earlier one.
  template <class Statement>
  void operator()(Statement&& statement) {
    try {
      std::forward<Statement>(statement)();
    } catch (...) {
      error_ = Failure::FromCurrentException();
    }
  }

  bool failed() const { return error_.has_value(); }
  const Failure& error() const { return *error_; }
  void Clear() { error_.reset(); }

 private:
  std::optional<Failure> error_;
};

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_FAILURE_STYLES_H_
