// The library as an in-process COM server: the class factory of ExchangeFilter and the four
// exported entry points, with their COM meanings.
#ifndef CORVALITH_SINK_SERVER_H_
#define CORVALITH_SINK_SERVER_H_

#include <string>
#include <vector>

#include "platform/com.h"
#include "platform/environment.h"

#define CORVALITH_EXPORT extern "C" __attribute__((visibility("default")))

// Hands out the class factory of ExchangeFilter (CLSID_ExchangeFilter).
CORVALITH_EXPORT corvalith::HRESULT DllGetClassObject(const corvalith::CLSID& clsid,
                                                      const corvalith::IID& iid, void** object);
// S_OK when no object of the library is alive and no server lock is held, else S_FALSE.
CORVALITH_EXPORT corvalith::HRESULT DllCanUnloadNow();
// Writes the class registration into the registry file (HKEY_CLASSES_ROOT keys), leaving
// every other key as it was.
CORVALITH_EXPORT corvalith::HRESULT DllRegisterServer();
// Removes exactly the keys DllRegisterServer writes.
CORVALITH_EXPORT corvalith::HRESULT DllUnregisterServer();

namespace corvalith {

// The environment of instances made by the class factory: the process's POSIX environment,
// with the classification engine registered as a creatable class.
Environment& ServerEnvironment();

// The registry keys DllRegisterServer writes, as (key, value name, value) triples, for the
// library at `library_path`. Value name "" is a key's default value.
struct RegistrationValue {
  std::string key;
  std::string name;
  std::string value;
};
std::vector<RegistrationValue> RegistrationValues(const std::string& library_path);
// The top keys DllUnregisterServer removes with everything below them.
std::vector<std::string> RegistrationKeys();

// DllRegisterServer and DllUnregisterServer against a given registry file.
HRESULT RegisterServerIn(const std::string& registry_path, const std::string& library_path);
HRESULT UnregisterServerIn(const std::string& registry_path);

}  // namespace corvalith

#endif  // CORVALITH_SINK_SERVER_H_
