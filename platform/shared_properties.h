// The shared property manager: a process-wide map of named groups of named properties. A
// group or property is created by its first lookup and kept until the process ends; each
// single read or write of a property is atomic.
#ifndef CORVALITH_PLATFORM_SHARED_PROPERTIES_H_
#define CORVALITH_PLATFORM_SHARED_PROPERTIES_H_

#include <string>

#include "platform/variant.h"

namespace corvalith {

inline constexpr int32_t LockSetGet = 0;
inline constexpr int32_t Process = 1;

class SharedProperty {
 public:
  virtual Variant Value() const = 0;
  virtual void SetValue(const Variant& value) = 0;

 protected:
  ~SharedProperty() = default;
};

class SharedPropertyGroup {
 public:
  // Returns the property of that name, creating it without a value (empty) when missing;
  // `existed` tells whether it was there before this call. Decided atomically.
  virtual SharedProperty& CreateProperty(const std::string& name, bool* existed) = 0;

 protected:
  ~SharedPropertyGroup() = default;
};

class SharedPropertyManager {
 public:
  virtual ~SharedPropertyManager() = default;
  // May throw Failure when the service is unavailable.
  virtual SharedPropertyGroup& CreatePropertyGroup(const std::string& name, int32_t isolation,
                                                   int32_t release, bool* existed) = 0;
};

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_SHARED_PROPERTIES_H_
