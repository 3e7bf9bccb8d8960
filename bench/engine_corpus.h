// The development corpus for the engine benchmarks: raw RFC 5322 files in groups, each mail
// split by the store's own import (store/mailbox.h DeriveMessage) into its transport header
// block and the body the engine is given (the HTML part when there is one, else the plain
// text, as UTF-8), in a seeded random order.
#ifndef CORVALITH_BENCH_ENGINE_CORPUS_H_
#define CORVALITH_BENCH_ENGINE_CORPUS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace corvalith::bench {

struct CorpusMail {
  std::string path;
  bool spam = false;
  std::string header;  // the raw header block, up to and without the blank line
  std::string body;    // decoded text body
};

// Reads <dir>/<group>/*.eml for each group; `spam` says which groups hold spam. Throws
// std::runtime_error when a group folder is missing or empty.
std::vector<CorpusMail> LoadCorpus(const std::string& dir,
                                   const std::vector<std::pair<std::string, bool>>& groups);

// Fisher-Yates with a fixed generator, so an order is the same on every platform.
void ShuffleMails(std::vector<CorpusMail>* mails, uint64_t seed);

// 100 * (1 - area under the ROC curve) of scores where higher means spam; ties count half.
double OneMinusRocAreaPercent(const std::vector<double>& scores, const std::vector<bool>& spam);

}  // namespace corvalith::bench

#endif  // CORVALITH_BENCH_ENGINE_CORPUS_H_
