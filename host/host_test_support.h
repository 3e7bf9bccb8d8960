// What the end-to-end tests of the `corvalith` binary share: a fixture that runs the real
// binary against a home in a temporary directory and captures what it printed, and helpers
// to write mail for it to read.
#ifndef CORVALITH_HOST_HOST_TEST_SUPPORT_H_
#define CORVALITH_HOST_HOST_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/testing/temp_directory.h"

namespace corvalith::host::testing {

// The bytes of a file; "" when it is missing.
std::string ReadFile(const std::filesystem::path& path);
// Writes `bytes` to `path`, creating its folders.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

// A plain-text mail to alice@example.com that came in from outside.
std::string Message(const std::string& from, const std::string& subject, const std::string& body);

// What one run of the binary left: exit status (-1 when it did not exit), stdout and stderr.
struct Outcome {
  int status;
  std::string out;
  std::string err;

  // stdout as the JSON documents of `--json`, one a line.
  std::vector<nlohmann::json> JsonLines() const;
};

class CorvalithTest : public ::testing::Test {
 protected:
  // Runs the binary with the test's home, `input` on stdin, and none of the environment
  // variables that would point it at another home or registry.
  Outcome Corvalith(const std::vector<std::string>& args, const std::string& input = "");

  // Writes `raw` to a file under the test's directory; its path.
  std::string MessageFile(const std::string& name, const std::string& raw);

  corvalith::testing::TempDirectory temp_{"corvalith-host"};
  std::filesystem::path dir_ = temp_.path();
  std::filesystem::path home_ = dir_ / "home";
};

}  // namespace corvalith::host::testing

#endif  // CORVALITH_HOST_HOST_TEST_SUPPORT_H_
