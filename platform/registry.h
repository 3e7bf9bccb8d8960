// Read access to the registry, Win32 style: open a key, query a value's type and bytes.
// The POSIX implementation reads a registry file in the `.reg` export format.
#ifndef CORVALITH_PLATFORM_REGISTRY_H_
#define CORVALITH_PLATFORM_REGISTRY_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace corvalith {

inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_MULTI_SZ = 7;

inline constexpr int32_t ERROR_SUCCESS = 0;
inline constexpr int32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr int32_t ERROR_ACCESS_DENIED = 5;
inline constexpr int32_t ERROR_MORE_DATA = 234;

enum class RegistryRoot { kLocalMachine, kClassesRoot };

// One open key; closed when destroyed (RegCloseKey).
class RegistryKey {
 public:
  virtual ~RegistryKey() = default;
  // RegQueryValueEx: on success fills the type and the value's bytes (a REG_SZ includes its
  // terminating zero, a REG_DWORD is four little-endian bytes). Returns a Win32 status.
  virtual int32_t QueryValue(const std::string& name, uint32_t* type,
                             std::vector<uint8_t>* data) const = 0;
};

class Registry {
 public:
  virtual ~Registry() = default;
  // RegOpenKeyEx with KEY_QUERY_VALUE: ERROR_SUCCESS and the key, or a Win32 status.
  virtual int32_t OpenKey(RegistryRoot root, const std::string& subkey,
                          std::unique_ptr<RegistryKey>* key) = 0;
};

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_REGISTRY_H_
