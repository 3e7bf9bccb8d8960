#include "bench/engine_bogofilter.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "bench/engine_anchor.h"

namespace corvalith::bench {

Bogofilter::Bogofilter(std::string directory) : directory_(std::move(directory)) {
  std::filesystem::remove_all(directory_);
  std::filesystem::create_directories(directory_);
}

bool Bogofilter::Classify(const std::string& file, double* spamicity) {
  const ProcessResult run = RunProcess({"bogofilter", "-d", directory_, "-u", "-v", "-I", file});
  if (run.status < 0 || run.status > 2) throw std::runtime_error("bogofilter failed on " + file);
  const size_t at = run.out.find("spamicity=");
  *spamicity = at == std::string::npos ? 0.5 : std::atof(run.out.c_str() + at + 10);
  if (run.status == 2) RunProcess({"bogofilter", "-d", directory_, "-n", "-I", file});
  return run.status == 0;
}

void Bogofilter::Correct(const std::string& file, bool spam) {
  // -S/-N take back a spam/ham registration, -s/-n make one.
  RunProcess({"bogofilter", "-d", directory_, spam ? "-Ns" : "-Sn", "-I", file});
}

void Bogofilter::Learn(const std::string& file, bool spam) {
  RunProcess({"bogofilter", "-d", directory_, spam ? "-s" : "-n", "-I", file});
}

uint64_t Bogofilter::Bytes() const { return DirectoryBytes(directory_); }

}  // namespace corvalith::bench
