// Creation of COM objects by class identifier, as CoCreateInstance does. Classes are
// registered with a creation function; the environment owns the table.
#ifndef CORVALITH_PLATFORM_OBJECT_FACTORY_H_
#define CORVALITH_PLATFORM_OBJECT_FACTORY_H_

#include <functional>
#include <mutex>
#include <vector>

#include "platform/com.h"

namespace corvalith {

class ObjectFactory {
 public:
  virtual ~ObjectFactory() = default;
  // CoCreateInstance: S_OK and one reference in *object, or a failure status with the
  // description left as error information.
  virtual HRESULT CreateInstance(const CLSID& clsid, const IID& iid, void** object) = 0;
};

// A table of creatable classes. Thread-safe.
class ClassTable : public ObjectFactory {
 public:
  using Creator = std::function<HRESULT(const IID& iid, void** object)>;

  void Register(const CLSID& clsid, Creator creator);
  HRESULT CreateInstance(const CLSID& clsid, const IID& iid, void** object) override;

 private:
  std::mutex mutex_;
  std::vector<std::pair<CLSID, Creator>> classes_;
};

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_OBJECT_FACTORY_H_
