// A fresh directory for one test: created under $TMPDIR (else /tmp) with a name no other test
// or process can hold, and removed with everything in it when the object goes, also when the
// test failed on the way. Header-only, so that any folder's tests can use it without linking.
#ifndef CORVALITH_PLATFORM_TESTING_TEMP_DIRECTORY_H_
#define CORVALITH_PLATFORM_TESTING_TEMP_DIRECTORY_H_

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace corvalith::testing {

class TempDirectory {
 public:
  // `prefix` names the directory for a reader of /tmp; it must hold no "/".
  explicit TempDirectory(const std::string& prefix = "corvalith-test") {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot create a temporary directory " + pattern + ": " +
                               std::strerror(errno));
    }
    path_ = pattern;
  }
  ~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  const std::string& path() const { return path_; }
  // The path of `name` (a relative path) inside the directory.
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

}  // namespace corvalith::testing

#endif  // CORVALITH_PLATFORM_TESTING_TEMP_DIRECTORY_H_
