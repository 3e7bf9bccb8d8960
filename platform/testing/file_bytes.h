// A file's whole content, for a test to compare with what it expects. Header-only, so that any
// folder's tests can use it without linking.
#ifndef CORVALITH_PLATFORM_TESTING_FILE_BYTES_H_
#define CORVALITH_PLATFORM_TESTING_FILE_BYTES_H_

#include <fstream>
#include <sstream>
#include <string>

namespace corvalith::testing {

// The bytes of the file at `path`; "" when it is missing or unreadable.
inline std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace corvalith::testing

#endif  // CORVALITH_PLATFORM_TESTING_FILE_BYTES_H_
