// One argument for /bin/sh, for tests and benchmarks that run our commands through system().
// Header-only, so that any folder can use it without linking.
#ifndef CORVALITH_PLATFORM_TESTING_SHELL_QUOTE_H_
#define CORVALITH_PLATFORM_TESTING_SHELL_QUOTE_H_

#include <string>

namespace corvalith::testing {

// `arg` as one word for /bin/sh, whatever it holds.
inline std::string Quote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace corvalith::testing

#endif  // CORVALITH_PLATFORM_TESTING_SHELL_QUOTE_H_
