// The COM binary model in portable C++: interface identifiers, IUnknown with reference
// counting and QueryInterface, a smart pointer, and per-thread error information (the
// description that goes with a failure status, as SetErrorInfo/GetErrorInfo carry it).
#ifndef CORVALITH_PLATFORM_COM_H_
#define CORVALITH_PLATFORM_COM_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "platform/failure.h"

namespace corvalith {

struct GUID {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  std::array<uint8_t, 8> data4;

  bool operator==(const GUID&) const = default;
};
using IID = GUID;
using CLSID = GUID;

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case, as the registry writes it.
std::string GuidToString(const GUID& guid);
std::optional<GUID> GuidFromString(const std::string& text);

inline constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

class IUnknown {
 public:
  virtual HRESULT QueryInterface(const IID& iid, void** object) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

class IClassFactory : public IUnknown {
 public:
  virtual HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) = 0;
  virtual HRESULT LockServer(bool lock) = 0;

 protected:
  ~IClassFactory() = default;
};

// Owns one reference to an interface.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  // Takes over a reference the caller already holds (the result of a creation call).
  static ComPtr Attach(T* raw) {
    ComPtr p;
    p.raw_ = raw;
    return p;
  }
  ComPtr(const ComPtr& other) : raw_(other.raw_) {
    if (raw_) raw_->AddRef();
  }
  ComPtr(ComPtr&& other) noexcept : raw_(std::exchange(other.raw_, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(raw_, other.raw_);
    return *this;
  }
  ~ComPtr() {
    if (raw_) raw_->Release();
  }

  T* get() const { return raw_; }
  T* operator->() const { return raw_; }
  explicit operator bool() const { return raw_ != nullptr; }
  void** put_void() {
    *this = ComPtr();
    return reinterpret_cast<void**>(&raw_);
  }

 private:
  T* raw_ = nullptr;
};

// The description of the last failure status returned on this thread, set by the callee
// and taken by the caller, so that a failure keeps its text across a COM call.
void SetErrorInfo(std::string description);
std::string TakeErrorInfo();

// Turns a failure status of a COM call into a Failure carrying the callee's description.
Failure FailureFromStatus(HRESULT hr);

// Throws the Failure of a failure status; a success status passes.
inline void ThrowIfFailed(HRESULT hr) {
  if (Failed(hr)) throw FailureFromStatus(hr);
}

// Runs `body` and maps any failure it throws to a status, leaving its description as the
// thread's error information: the boundary every COM method of ours returns through.
template <class Body>
HRESULT ReturnStatus(Body&& body) {
  try {
    std::forward<Body>(body)();
    return S_OK;
  } catch (...) {
    Failure failure = Failure::FromCurrentException();
    SetErrorInfo(failure.description());
    return Failed(failure.number()) ? failure.number() : E_FAIL;
  }
}

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_COM_H_
