#include "bench/engine_bogofilter.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

extern char** environ;

namespace corvalith::bench {

namespace {

// Runs bogofilter; returns its exit status and, when asked, the spamicity it printed.
int Run(const std::vector<std::string>& args, double* spamicity) {
  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);  // its chatter
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawnp(&pid, "bogofilter", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, n);
  close(out[0]);
  if (rc != 0) throw std::runtime_error("cannot start bogofilter");
  int status = 0;
  waitpid(pid, &status, 0);
  size_t at = text.find("spamicity=");
  if (spamicity != nullptr && at != std::string::npos) {
    *spamicity = std::atof(text.c_str() + at + 10);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

Bogofilter::Bogofilter(std::string directory) : directory_(std::move(directory)) {
  std::filesystem::remove_all(directory_);
  std::filesystem::create_directories(directory_);
}

bool Bogofilter::Classify(const std::string& file, double* spamicity) {
  *spamicity = 0.5;
  const int status = Run({"bogofilter", "-d", directory_, "-u", "-v", "-I", file}, spamicity);
  if (status < 0 || status > 2) throw std::runtime_error("bogofilter failed on " + file);
  if (status == 2) Run({"bogofilter", "-d", directory_, "-n", "-I", file}, nullptr);
  return status == 0;
}

void Bogofilter::Correct(const std::string& file, bool spam) {
  // -S/-N take back a spam/ham registration, -s/-n make one.
  Run({"bogofilter", "-d", directory_, spam ? "-Ns" : "-Sn", "-I", file}, nullptr);
}

uint64_t Bogofilter::Bytes() const {
  uint64_t bytes = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
    struct stat st;
    if (stat(entry.path().c_str(), &st) == 0) bytes += st.st_size;
  }
  return bytes;
}

}  // namespace corvalith::bench
