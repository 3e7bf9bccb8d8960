#include "platform/failure.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace corvalith {

Failure Failure::InvalidProcedureCall() {
  return Failure("Invalid procedure call or argument", kErrInvalidProcedureCall);
}
Failure Failure::Overflow() { return Failure("Overflow", kErrOverflow); }
Failure Failure::SubscriptOutOfRange() {
  return Failure("Subscript out of range", kErrSubscriptOutOfRange);
}
Failure Failure::TypeMismatch() { return Failure("Type mismatch", kErrTypeMismatch); }
Failure Failure::InvalidUseOfNull() { return Failure("Invalid use of Null", kErrInvalidUseOfNull); }

Failure Failure::FromErrno(const std::string& context, int err) {
  std::string text = std::strerror(err);
  if (!context.empty()) text = context + ": " + text;
  return Failure(text, err);
}

Failure Failure::FileTooLarge(const std::string& path, size_t max_bytes) {
  return FromErrno(path + " holds more than " + std::to_string(max_bytes) + " bytes", EFBIG);
}

Failure Failure::FromCurrentException() {
  try {
    throw;
  } catch (const Failure& failure) {
    return failure;
  } catch (const std::bad_alloc&) {
    return Failure("Out of memory", kErrOutOfMemory);
  } catch (const std::exception& e) {
    return Failure(e.what(), E_FAIL);
  } catch (...) {
    return Failure("Unknown failure", E_FAIL);
  }
}

}  // namespace corvalith
