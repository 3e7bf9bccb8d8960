// bogofilter as the engine benchmarks run it beside the engine: one process per call, with the
// replay's protocol -- -u to classify and register, an Unsure (counted as ham) registered as
// ham with -n, since -u leaves unsure mail unregistered and bogofilter would otherwise never
// learn any ham, and -Sn/-Ns to move a registration to the other class.
#ifndef CORVALITH_BENCH_ENGINE_BOGOFILTER_H_
#define CORVALITH_BENCH_ENGINE_BOGOFILTER_H_

#include <cstdint>
#include <string>

namespace corvalith::bench {

class Bogofilter {
 public:
  // A word list in `directory`, created empty (an old one there is removed).
  explicit Bogofilter(std::string directory);

  // Classifies and registers the mail in `file`; true for spam. *spamicity gets its score.
  bool Classify(const std::string& file, double* spamicity);
  // Moves the mail's registration to the other class: `spam` is the class it now has.
  void Correct(const std::string& file, bool spam);
  // Registers the mail, not seen before, as `spam` or ham (-s / -n), as sorted mail is taught.
  void Learn(const std::string& file, bool spam);
  // Bytes of the word list on disk.
  uint64_t Bytes() const;

 private:
  const std::string directory_;
};

}  // namespace corvalith::bench

#endif  // CORVALITH_BENCH_ENGINE_BOGOFILTER_H_
