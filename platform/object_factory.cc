#include "platform/object_factory.h"

namespace corvalith {

void ClassTable::Register(const CLSID& clsid, Creator creator) {
  std::lock_guard lock(mutex_);
  for (auto& [known, existing] : classes_) {
    if (known == clsid) {
      existing = std::move(creator);
      return;
    }
  }
  classes_.emplace_back(clsid, std::move(creator));
}

HRESULT ClassTable::CreateInstance(const CLSID& clsid, const IID& iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  Creator creator;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [known, existing] : classes_) {
      if (known == clsid) creator = existing;
    }
  }
  if (!creator) {
    SetErrorInfo("Class not registered: " + GuidToString(clsid));
    return static_cast<HRESULT>(0x80040154);  // REGDB_E_CLASSNOTREG
  }
  return creator(iid, object);
}

}  // namespace corvalith
