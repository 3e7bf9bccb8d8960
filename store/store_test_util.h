// Helpers shared by the store's tests.
#ifndef CORVALITH_STORE_STORE_TEST_UTIL_H_
#define CORVALITH_STORE_STORE_TEST_UTIL_H_

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>

#include "platform/failure.h"
#include "store/store_errors.h"

namespace corvalith::store {

// The number of the failure `body` throws, 0 when it throws none.
template <class Body>
int32_t FailureNumber(Body&& body) {
  try {
    body();
  } catch (const Failure& failure) {
    return failure.number();
  }
  return 0;
}

inline int32_t Number(StoreError kind) { return StoreErrorNumber(kind); }

// A fresh directory under the system temp dir, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            ("corvalith-store-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace corvalith::store

#endif  // CORVALITH_STORE_STORE_TEST_UTIL_H_
