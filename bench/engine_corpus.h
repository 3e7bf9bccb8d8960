// The corpus for the engine benchmarks: raw RFC 5322 files in groups, each mail split by the
// store's own import (store/message_import.h DeriveMessage) into its transport header block and the
// body the engine is given (the HTML part when there is one, else the plain text, as UTF-8),
// in a seeded random order.
//
// Two parts, never mixed: the development split, the only mail any feature, setting or
// threshold is chosen on, and the held-out rest, for timing and the final acceptance only.
#ifndef CORVALITH_BENCH_ENGINE_CORPUS_H_
#define CORVALITH_BENCH_ENGINE_CORPUS_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace corvalith::bench {

struct CorpusMail {
  std::string path;
  bool spam = false;
  std::string header;  // the raw header block, up to and without the blank line
  std::string body;    // decoded text body
  std::string sender;  // the From address the filter's whitelists go by; "" without one
};

struct CorpusGroup {
  std::string name;
  bool spam = false;
  // Which mails of the group to take, by id (the file name without ".eml"); all when empty.
  std::function<bool(const std::string& id)> take;
};

// Reads <dir>/<group>/*.eml for each group. Throws std::runtime_error when a group folder is
// missing or nothing of it is taken.
std::vector<CorpusMail> LoadCorpus(const std::string& dir, const std::vector<CorpusGroup>& groups);

// easy-ham-1, spam-1 and the hard-ham-1 mails listed in bench/hard-ham-dev.txt (chosen by the
// sender's domain, so that no sender of them appears in the held-out rest).
std::vector<CorpusMail> LoadDevelopmentSplit(const std::string& dir);

// Everything else: the rest of hard-ham-1, easy-ham-2, spam-2.
std::vector<CorpusMail> LoadHeldOut(const std::string& dir);

// Fisher-Yates with a fixed generator, so an order is the same on every platform.
void ShuffleMails(std::vector<CorpusMail>* mails, uint64_t seed);

// The same permutation as ShuffleMails, as indices: mail order[i] comes i-th.
std::vector<size_t> ShuffledOrder(size_t count, uint64_t seed);

// For each of `count` mails in order, the user (0 .. users-1) it is delivered to, drawn
// uniformly from a generator of its own for the seed.
std::vector<int> DrawUsers(size_t count, int users, uint64_t seed);

// 100 * (1 - area under the ROC curve) of scores where higher means spam; ties count half.
double OneMinusRocAreaPercent(const std::vector<double>& scores, const std::vector<bool>& spam);

}  // namespace corvalith::bench

#endif  // CORVALITH_BENCH_ENGINE_CORPUS_H_
