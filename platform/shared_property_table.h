// The shared property manager's rules as an ordinary object: the process-wide manager is one
// never-destroyed instance, and tests make their own.
#ifndef CORVALITH_PLATFORM_SHARED_PROPERTY_TABLE_H_
#define CORVALITH_PLATFORM_SHARED_PROPERTY_TABLE_H_

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/shared_properties.h"

namespace corvalith {

// Groups and properties live until Clear() (or the table's end); references handed out stay
// valid until then. Names are compared exactly. Thread-safe: creation decides existence under
// the table's lock, and each Value()/SetValue() is atomic under the property's own lock.
class SharedPropertyTable : public SharedPropertyManager {
 public:
  SharedPropertyTable();
  ~SharedPropertyTable() override;
  SharedPropertyTable(const SharedPropertyTable&) = delete;
  SharedPropertyTable& operator=(const SharedPropertyTable&) = delete;

  SharedPropertyGroup& CreatePropertyGroup(const std::string& name, int32_t isolation,
                                           int32_t release, bool* existed) override;

  // The property's value; nullopt when the group or property does not exist. Does not create.
  std::optional<Variant> Peek(const std::string& group, const std::string& name) const;

  // Forgets every group. REQUIRES: nobody holds a group or property reference any more.
  void Clear();

 private:
  class Property;
  class Group;

  mutable std::mutex mutex_;
  std::map<std::string, std::unique_ptr<Group>> groups_;
};

// The process's shared property manager: created on first use, never destroyed.
SharedPropertyTable& ProcessSharedProperties();

// Empties the process's manager between tests. REQUIRES: no other thread uses it.
void ResetProcessSharedPropertiesForTesting();

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_SHARED_PROPERTY_TABLE_H_
