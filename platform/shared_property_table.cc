#include "platform/shared_property_table.h"

#include "platform/no_destructor.h"

namespace corvalith {

class SharedPropertyTable::Property final : public SharedProperty {
 public:
  Variant Value() const override {
    std::lock_guard lock(mutex_);
    return value_;
  }
  void SetValue(const Variant& value) override {
    std::lock_guard lock(mutex_);
    value_ = value;
  }

 private:
  mutable std::mutex mutex_;
  Variant value_;  // empty until first set
};

class SharedPropertyTable::Group final : public SharedPropertyGroup {
 public:
  SharedProperty& CreateProperty(const std::string& name, bool* existed) override {
    std::lock_guard lock(mutex_);
    auto [it, inserted] = properties_.try_emplace(name);
    if (inserted) it->second = std::make_unique<Property>();
    if (existed != nullptr) *existed = !inserted;
    return *it->second;
  }

  std::optional<Variant> Peek(const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = properties_.find(name);
    if (it == properties_.end()) return std::nullopt;
    return it->second->Value();
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::unique_ptr<Property>> properties_;
};

SharedPropertyTable::SharedPropertyTable() = default;
SharedPropertyTable::~SharedPropertyTable() = default;

SharedPropertyGroup& SharedPropertyTable::CreatePropertyGroup(const std::string& name,
                                                              int32_t /*isolation*/,
                                                              int32_t /*release*/, bool* existed) {
  // Only LockSetGet/Process are ever asked for; both are what this table gives anyway.
  std::lock_guard lock(mutex_);
  auto [it, inserted] = groups_.try_emplace(name);
  if (inserted) it->second = std::make_unique<Group>();
  if (existed != nullptr) *existed = !inserted;
  return *it->second;
}

std::optional<Variant> SharedPropertyTable::Peek(const std::string& group,
                                                 const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto it = groups_.find(group);
  if (it == groups_.end()) return std::nullopt;
  return it->second->Peek(name);
}

void SharedPropertyTable::Clear() {
  std::lock_guard lock(mutex_);
  groups_.clear();
}

SharedPropertyTable& ProcessSharedProperties() {
  static NoDestructor<SharedPropertyTable> table;
  return *table;
}

void ResetProcessSharedPropertiesForTesting() { ProcessSharedProperties().Clear(); }

}  // namespace corvalith
