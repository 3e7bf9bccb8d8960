// Where feature extraction puts the features of one mail: their hashes, up to a cap, and --
// only when asked, on the explain path -- a readable name beside each ("subject:viagra",
// "link host example.com"). The name is built by a callable that Classify never invokes.
#ifndef CORVALITH_CLASSIFIER_FEATURE_SINK_H_
#define CORVALITH_CLASSIFIER_FEATURE_SINK_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace corvalith {

class FeatureSink {
 public:
  // `names` may be null: then no name is ever built.
  FeatureSink(std::vector<uint64_t>* hashes, std::vector<std::string>* names, size_t cap)
      : hashes_(hashes), names_(names), cap_(cap) {}

  bool full() const { return hashes_->size() >= cap_; }

  template <typename Name>
  void Add(uint64_t hash, Name&& name) {
    if (full()) return;
    hashes_->push_back(hash);
    if (names_ != nullptr) names_->push_back(name());
  }

 private:
  std::vector<uint64_t>* hashes_;
  std::vector<std::string>* names_;
  size_t cap_;
};

}  // namespace corvalith

#endif  // CORVALITH_CLASSIFIER_FEATURE_SINK_H_
