// What the end-to-end tests of the `corvalith` binary share: a fixture that runs the real
// binary against a home in a temporary directory and captures what it printed, and helpers
// to write mail for it to read.
#ifndef CORVALITH_MAILHOST_TESTING_HOST_TEST_SUPPORT_H_
#define CORVALITH_MAILHOST_TESTING_HOST_TEST_SUPPORT_H_

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

// `corvalith --home HOME ARGS...` as a test starts it: the binary itself, each argument passed
// as it is (no shell between, so no quoting to get wrong), in the test's environment without
// the variables that would point it at another home or registry.
class CorvalithCommand {
 public:
  CorvalithCommand(const std::string& home, const std::vector<std::string>& args);
  CorvalithCommand(const CorvalithCommand&) = delete;
  CorvalithCommand& operator=(const CorvalithCommand&) = delete;

  // Becomes the command, in a child just forked; returns only when that fails. Allocates
  // nothing, as a child of a process with threads must not.
  void Exec() const;

 private:
  std::vector<std::string> argv_;
  std::vector<std::string> environment_;
  std::vector<char*> argv_pointers_;
  std::vector<char*> environment_pointers_;
};

// Runs the command to its end with `input` on stdin. A run that has not ended after two
// minutes is killed, and its status is -1.
Outcome RunCorvalith(const std::string& home, const std::vector<std::string>& args,
                     const std::string& input = "");

class CorvalithTest : public ::testing::Test {
 protected:
  // RunCorvalith with the test's home.
  Outcome Corvalith(const std::vector<std::string>& args, const std::string& input = "") {
    return RunCorvalith(home_.string(), args, input);
  }

  // Writes `raw` to a file under the test's directory; its path.
  std::string MessageFile(const std::string& name, const std::string& raw);
  // Makes the test's home by init, its mail in Maildirs under the test's directory when
  // `maildir`, else in store.db, and adds `mailbox` to it.
  void InitHomeWith(const std::string& mailbox, bool maildir);

  corvalith::testing::TempDirectory temp_{"corvalith-host"};
  std::filesystem::path dir_ = temp_.path();
  std::filesystem::path home_ = dir_ / "home";
};

}  // namespace corvalith::host::testing

#endif  // CORVALITH_MAILHOST_TESTING_HOST_TEST_SUPPORT_H_
