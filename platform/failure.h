// A failure is a description plus a 32-bit number: a COM status code for a failed COM or
// store call, or one of the classic runtime error numbers. Every layer raises failures by
// throwing this type; guards turn them back into log lines and status codes. A failure also
// says whether trying again can help (FailureKind): that decides whether a mail server bounces
// a message or keeps it to try again.
#ifndef CORVALITH_PLATFORM_FAILURE_H_
#define CORVALITH_PLATFORM_FAILURE_H_

#include <cstdint>
#include <exception>
#include <string>

namespace corvalith {

using HRESULT = int32_t;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
inline constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201);

inline constexpr bool Succeeded(HRESULT hr) { return hr >= 0; }
inline constexpr bool Failed(HRESULT hr) { return hr < 0; }

// Runtime error numbers with their classic meanings.
inline constexpr int32_t kErrInvalidProcedureCall = 5;
inline constexpr int32_t kErrOverflow = 6;
inline constexpr int32_t kErrOutOfMemory = 7;
inline constexpr int32_t kErrSubscriptOutOfRange = 9;
inline constexpr int32_t kErrTypeMismatch = 13;
inline constexpr int32_t kErrInvalidUseOfNull = 94;

// kPermanent: trying again cannot help, because what was asked for is wrong (the address or
// mailbox does not exist, the input is bad); a mail server bounces the message. kTemporary:
// anything else (I/O, a lock, a resource, whatever is not known to be permanent); a mail
// server keeps the message and tries again, so that none is lost to a passing fault. Only the
// place that knows the request itself is wrong makes a failure permanent.
enum class FailureKind { kTemporary, kPermanent };

class Failure : public std::exception {
 public:
  Failure(std::string description, int32_t number, FailureKind kind = FailureKind::kTemporary)
      : description_(std::move(description)), number_(number), kind_(kind) {}
  // A failure that trying again cannot mend.
  static Failure Permanent(std::string description, int32_t number) {
    return Failure(std::move(description), number, FailureKind::kPermanent);
  }

  const std::string& description() const { return description_; }
  int32_t number() const { return number_; }
  FailureKind kind() const { return kind_; }
  bool permanent() const { return kind_ == FailureKind::kPermanent; }
  const char* what() const noexcept override { return description_.c_str(); }

  static Failure InvalidProcedureCall();
  static Failure Overflow();
  static Failure SubscriptOutOfRange();
  static Failure TypeMismatch();
  static Failure InvalidUseOfNull();
  // A platform call that failed with errno `err`; the number is the errno itself, so that a
  // log reader can look it up as the platform's own error number.
  static Failure FromErrno(const std::string& context, int err);
  // A file larger than its reader's bound (EFBIG).
  static Failure FileTooLarge(const std::string& path, size_t max_bytes);

  // The failure being handled right now, for use inside a catch block. Anything that is not a
  // Failure (a bad_alloc, a library exception) is translated, so that no exception ever
  // crosses a COM boundary unreported.
  static Failure FromCurrentException();

 private:
  std::string description_;
  int32_t number_;
  FailureKind kind_;
};

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_FAILURE_H_
