#include "mailhost/testing/host_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>

#include "platform/testing/file_bytes.h"

extern char** environ;

namespace corvalith::host::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kBinary[] = CORVALITH_BINARY;
constexpr auto kPatience = std::chrono::minutes(2);

// The exit status of the child once it has ended; -1 when it has not ended in time (it is
// killed then) or did not exit by itself.
int WaitForExit(pid_t child) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  if (pidfd >= 0) {
    const auto patience = std::chrono::duration_cast<std::chrono::milliseconds>(kPatience);
    pollfd ended{pidfd, POLLIN, 0};
    int ready;
    do {
      ready = poll(&ended, 1, static_cast<int>(patience.count()));
    } while (ready < 0 && errno == EINTR);
    close(pidfd);
    if (ready == 0) kill(child, SIGKILL);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

CorvalithCommand::CorvalithCommand(const std::string& home, const std::vector<std::string>& args)
    : argv_{kBinary, "--home", home} {
  argv_.insert(argv_.end(), args.begin(), args.end());
  for (char** variable = environ; *variable != nullptr; ++variable) {
    const std::string_view text = *variable;
    if (!text.starts_with("CORVALITH_REGISTRY=") && !text.starts_with("CORVALITH_HOME=")) {
      environment_.emplace_back(text);
    }
  }
  for (std::string& word : argv_) argv_pointers_.push_back(word.data());
  argv_pointers_.push_back(nullptr);
  for (std::string& variable : environment_) environment_pointers_.push_back(variable.data());
  environment_pointers_.push_back(nullptr);
}

void CorvalithCommand::Exec() const {
  execve(argv_pointers_[0], argv_pointers_.data(), environment_pointers_.data());
}

Outcome RunCorvalith(const std::string& home, const std::vector<std::string>& args,
                     const std::string& input) {
  corvalith::testing::TempDirectory streams("corvalith-run");
  const std::string in = streams.File("stdin"), out = streams.File("stdout"),
                    err = streams.File("stderr");
  WriteFile(in, input);
  const CorvalithCommand command(home, args);
  const pid_t child = fork();
  if (child == 0) {
    const int files[] = {open(in.c_str(), O_RDONLY | O_CLOEXEC),
                         open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600),
                         open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
    for (int fd = 0; fd < 3; ++fd) {
      if (files[fd] < 0 || dup2(files[fd], fd) < 0) _exit(127);
    }
    command.Exec();
    _exit(127);
  }
  if (child < 0) return Outcome{-1, "", "fork failed"};
  const int status = WaitForExit(child);
  return Outcome{status, ReadFile(out), ReadFile(err)};
}

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

void CorvalithTest::InitHomeWith(const std::string& mailbox, bool maildir) {
  Outcome init = maildir ? Corvalith({"init", "--maildir", (dir_ / "maildirs").string()})
                         : Corvalith({"init"});
  ASSERT_EQ(init.status, 0) << init.err;
  ASSERT_EQ(Corvalith({"mailbox", "add", mailbox}).status, 0);
}

std::string CorvalithTest::MessageFile(const std::string& name, const std::string& raw) {
  fs::path path = dir_ / "mail" / name;
  WriteFile(path, raw);
  return path.string();
}

}  // namespace corvalith::host::testing
