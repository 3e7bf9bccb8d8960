// spamprobe as the engine benchmarks run it beside the engine, the way its documentation has a
// mail delivery agent run it for a filter that learns as it goes: one process per call;
// `receive` classifies the mail and registers it as its verdict, and the user's move is
// `spam` / `good`, which register a mail not seen before and move one registered as the other
// class (spamprobe remembers each mail's digest). Its own threshold (0.7) decides.
#ifndef CORVALITH_BENCH_ENGINE_SPAMPROBE_H_
#define CORVALITH_BENCH_ENGINE_SPAMPROBE_H_

#include <cstdint>
#include <string>

namespace corvalith::bench {

class Spamprobe {
 public:
  // A database in `directory`, created empty (an old one there is removed).
  explicit Spamprobe(std::string directory);

  // Classifies and registers the mail in `file`; true for spam. *score gets its score.
  bool Classify(const std::string& file, double* score);
  // Moves the mail's registration to the other class: `spam` is the class it now has.
  void Correct(const std::string& file, bool spam) { Register(file, spam); }
  // Registers the mail, not seen before, as `spam` or ham, as sorted mail is taught.
  void Learn(const std::string& file, bool spam) { Register(file, spam); }
  // Bytes of the database on disk.
  uint64_t Bytes() const;

 private:
  void Register(const std::string& file, bool spam);

  const std::string directory_;
};

}  // namespace corvalith::bench

#endif  // CORVALITH_BENCH_ENGINE_SPAMPROBE_H_
