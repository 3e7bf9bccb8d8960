#include "bench/engine_spamprobe.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "bench/engine_anchor.h"

namespace corvalith::bench {

Spamprobe::Spamprobe(std::string directory) : directory_(std::move(directory)) {
  std::filesystem::remove_all(directory_);
  std::filesystem::create_directories(directory_);
}

bool Spamprobe::Classify(const std::string& file, double* score) {
  // One line per mail: "SPAM 0.9999990 <digest>" or "GOOD 0.0000010 <digest>".
  const ProcessResult run = RunProcess({"spamprobe", "-d", directory_, "receive", file});
  const bool spam = run.out.rfind("SPAM ", 0) == 0;
  if (run.status != 0 || (!spam && run.out.rfind("GOOD ", 0) != 0)) {
    throw std::runtime_error("spamprobe failed on " + file);
  }
  *score = std::atof(run.out.c_str() + 5);
  return spam;
}

void Spamprobe::Register(const std::string& file, bool spam) {
  if (RunProcess({"spamprobe", "-d", directory_, spam ? "spam" : "good", file}).status != 0) {
    throw std::runtime_error("spamprobe failed on " + file);
  }
}

uint64_t Spamprobe::Bytes() const { return DirectoryBytes(directory_); }

}  // namespace corvalith::bench
