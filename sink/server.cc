#include "sink/server.h"

#include <dlfcn.h>

#include "classifier/classifier_engine_object.h"
#include "platform/no_destructor.h"
#include "platform/registry_file.h"
#include "sink/exchange_filter.h"
#include "sink/interfaces.h"

namespace corvalith {

namespace {

class ServerEnvironmentImpl final : public Environment {
 public:
  ServerEnvironmentImpl() : base_(DefaultEnvironment()) {
    RegisterClassifierEngine(classes_, base_);
  }
  Registry& registry() override { return base_.registry(); }
  SharedPropertyManager& shared_properties() override { return base_.shared_properties(); }
  EventLog& event_log() override { return base_.event_log(); }
  FileSystem& file_system() override { return base_.file_system(); }
  Clock& clock() override { return base_.clock(); }
  ObjectFactory& objects() override { return classes_; }

 private:
  Environment& base_;
  ClassTable classes_;
};

// Server locks count as live objects: either keeps the library loaded.
class ClassFactory final : public IClassFactory {
 public:
  HRESULT QueryInterface(const IID& iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid != IID_IUnknown && iid != IID_IClassFactory) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  uint32_t AddRef() override { return ++references_; }
  uint32_t Release() override {
    uint32_t left = --references_;
    if (left == 0) delete this;
    return left;
  }
  HRESULT CreateInstance(IUnknown* outer, const IID& iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    ExchangeFilter* filter = ExchangeFilter::Create(ServerEnvironment());
    HRESULT hr = filter->QueryInterface(iid, object);
    filter->Release();
    return hr;
  }
  HRESULT LockServer(bool lock) override {
    LiveObjectCount() += lock ? 1 : -1;
    return S_OK;
  }

  ClassFactory() { ++LiveObjectCount(); }
  ~ClassFactory() { --LiveObjectCount(); }

 private:
  std::atomic<uint32_t> references_{1};
};

std::string ThisLibraryPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&DllRegisterServer), &info) == 0 ||
      info.dli_fname == nullptr) {
    return "";
  }
  return info.dli_fname;
}

std::string ClsidKey() { return "HKEY_CLASSES_ROOT\\CLSID\\" + GuidToString(CLSID_ExchangeFilter); }
std::string ProgIdKey() { return std::string("HKEY_CLASSES_ROOT\\") + kProgId; }
std::string TypeLibKey() {
  return "HKEY_CLASSES_ROOT\\TypeLib\\" + GuidToString(LIBID_CorvalithFilter);
}
std::string InterfaceKey() {
  return "HKEY_CLASSES_ROOT\\Interface\\" + GuidToString(IID__ExchangeFilter);
}

}  // namespace

Environment& ServerEnvironment() {
  static NoDestructor<ServerEnvironmentImpl> environment;
  return *environment;
}

std::vector<RegistrationValue> RegistrationValues(const std::string& library_path) {
  const std::string clsid = GuidToString(CLSID_ExchangeFilter);
  const std::string libid = GuidToString(LIBID_CorvalithFilter);
  // The dispatch interfaces are marshalled by the standard automation proxy.
  const std::string automation_proxy = "{00020424-0000-0000-C000-000000000046}";
  return {
      {ClsidKey(), "", "ExchangeFilter"},
      {ClsidKey() + "\\InprocServer32", "", library_path},
      {ClsidKey() + "\\InprocServer32", "ThreadingModel", "Apartment"},
      {ClsidKey() + "\\ProgID", "", kProgId},
      {ClsidKey() + "\\TypeLib", "", libid},
      {ClsidKey() + "\\Version", "", "1.0"},
      {ProgIdKey(), "", "ExchangeFilter"},
      {ProgIdKey() + "\\CLSID", "", clsid},
      {TypeLibKey() + "\\1.0", "", "CorvalithFilter"},
      {TypeLibKey() + "\\1.0\\0\\win32", "", library_path},
      {TypeLibKey() + "\\1.0\\FLAGS", "", "0"},
      {InterfaceKey(), "", "_ExchangeFilter"},
      {InterfaceKey() + "\\ProxyStubClsid32", "", automation_proxy},
      {InterfaceKey() + "\\TypeLib", "", libid},
      {InterfaceKey() + "\\TypeLib", "Version", "1.0"},
  };
}

std::vector<std::string> RegistrationKeys() {
  return {ClsidKey(), ProgIdKey(), TypeLibKey(), InterfaceKey()};
}

HRESULT RegisterServerIn(const std::string& registry_path, const std::string& library_path) {
  return ReturnStatus([&] {
    RegistryFile file = RegistryFile::Load(registry_path);
    for (const std::string& key : RegistrationKeys()) file.RemoveKeyTree(key);
    for (const RegistrationValue& v : RegistrationValues(library_path)) {
      file.SetString(v.key, v.name, v.value);
    }
    file.Save(registry_path);
  });
}

HRESULT UnregisterServerIn(const std::string& registry_path) {
  return ReturnStatus([&] {
    RegistryFile file = RegistryFile::Load(registry_path);
    for (const std::string& key : RegistrationKeys()) file.RemoveKeyTree(key);
    file.Save(registry_path);
  });
}

}  // namespace corvalith

using namespace corvalith;

HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (clsid != CLSID_ExchangeFilter) return CLASS_E_CLASSNOTAVAILABLE;
  ClassFactory* factory = new ClassFactory();
  HRESULT hr = factory->QueryInterface(iid, object);
  factory->Release();
  return hr;
}

HRESULT DllCanUnloadNow() { return LiveObjectCount() == 0 ? S_OK : S_FALSE; }

HRESULT DllRegisterServer() {
  std::string library = ThisLibraryPath();
  if (library.empty()) return SELFREG_E_CLASS;
  HRESULT hr = RegisterServerIn(RegistryFilePath(), library);
  return Failed(hr) ? SELFREG_E_CLASS : S_OK;
}

HRESULT DllUnregisterServer() {
  HRESULT hr = UnregisterServerIn(RegistryFilePath());
  return Failed(hr) ? SELFREG_E_CLASS : S_OK;
}
