// What a fuzz target does when a property of the code under test does not hold: report it
// and abort, so that libFuzzer keeps the input as a crash.
#ifndef CORVALITH_FUZZ_FUZZ_CHECK_H_
#define CORVALITH_FUZZ_FUZZ_CHECK_H_

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

namespace corvalith::fuzz {

inline std::string Bytes(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace corvalith::fuzz

#endif  // CORVALITH_FUZZ_FUZZ_CHECK_H_
