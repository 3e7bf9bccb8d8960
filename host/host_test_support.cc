#include "host/host_test_support.h"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/testing/file_bytes.h"
#include "platform/testing/shell_quote.h"

namespace corvalith::host::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kBinary[] = CORVALITH_BINARY;
using corvalith::testing::Quote;

}  // namespace

std::string ReadFile(const fs::path& path) {
  return corvalith::testing::ReadFileBytes(path.string());
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string Message(const std::string& from, const std::string& subject, const std::string& body) {
  return "Received: from mx.sender.example ([192.0.2.1]) by mx.example.com; Mon, 5 Jan 2026\r\n"
         "From: " +
         from + "\r\nTo: alice@example.com\r\nSubject: " + subject +
         "\r\nContent-Type: text/plain\r\n\r\n" + body + "\r\n";
}

std::vector<nlohmann::json> Outcome::JsonLines() const {
  std::vector<nlohmann::json> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

Outcome CorvalithTest::Corvalith(const std::vector<std::string>& args, const std::string& input) {
  WriteFile(dir_ / "stdin", input);
  std::string command = "env -u CORVALITH_REGISTRY -u CORVALITH_HOME " + Quote(kBinary) +
                        " --home " + Quote(home_.string());
  for (const std::string& arg : args) command += " " + Quote(arg);
  command += " <" + Quote((dir_ / "stdin").string()) + " >" + Quote((dir_ / "stdout").string()) +
             " 2>" + Quote((dir_ / "stderr").string());
  int raw = std::system(command.c_str());
  return Outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(dir_ / "stdout"),
                 ReadFile(dir_ / "stderr")};
}

std::string CorvalithTest::MessageFile(const std::string& name, const std::string& raw) {
  fs::path path = dir_ / "mail" / name;
  WriteFile(path, raw);
  return path.string();
}

}  // namespace corvalith::host::testing
