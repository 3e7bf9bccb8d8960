// What the anchor filters the engine benchmarks compare with (bogofilter, spamprobe) share: they
// are programs, each call one process, as a mail server's delivery would run them, and each
// keeps its word list in a directory of its own.
#ifndef CORVALITH_BENCH_ENGINE_ANCHOR_H_
#define CORVALITH_BENCH_ENGINE_ANCHOR_H_

#include <cstdint>
#include <string>
#include <vector>

namespace corvalith::bench {

struct ProcessResult {
  int status = -1;  // the exit status; -1 when it did not exit normally
  std::string out;  // standard output (standard error, its chatter, is dropped)
};

// Runs args[0], found on the PATH, with `args`. Throws std::runtime_error when it cannot start.
ProcessResult RunProcess(const std::vector<std::string>& args);

// Bytes of the files in `directory`.
uint64_t DirectoryBytes(const std::string& directory);

}  // namespace corvalith::bench

#endif  // CORVALITH_BENCH_ENGINE_ANCHOR_H_
