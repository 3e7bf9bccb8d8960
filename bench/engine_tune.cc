// Chooses the classifier's settings by measurement: replays the development corpus online in
// memory (no files, no locking) with the same protocol as engine_replay -- each mail scored,
// a wrong verdict corrected by undoing its registration and training the true class -- once
// per configuration given on the command line, and prints the errors and (1-ROCA)% of each.
//
//   engine_tune CORPUS_DIR [--seed N] [--bits B] CONFIG...
//   CONFIG = comma-separated key=value: lr, passes, margin, threshold, self (0/1),
//            words, osb, tags, hosts, hdr (0/1), gram (body bytes), hgram (header bytes)
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/engine_corpus.h"
#include "classifier/model.h"

using namespace corvalith;

namespace {

bool ParseConfig(const std::string& text, ModelOptions* o) {
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    size_t eq = item.find('=');
    if (eq == std::string::npos) return false;
    std::string key = item.substr(0, eq);
    double v = std::atof(item.c_str() + eq + 1);
    if (key == "lr")
      o->learning_rate = v;
    else if (key == "passes")
      o->max_passes = static_cast<int>(v);
    else if (key == "margin")
      o->train_margin = v;
    else if (key == "hmargin")
      o->ham_margin = v;
    else if (key == "minc")
      o->min_class_mails = static_cast<int>(v);
    else if (key == "threshold")
      o->spam_threshold = v;
    else if (key == "self")
      o->self_train = v != 0;
    else if (key == "words")
      o->features.body_words = v != 0;
    else if (key == "osb")
      o->features.body_osb = v != 0;
    else if (key == "tags")
      o->features.html_tags = v != 0;
    else if (key == "hosts")
      o->features.link_hosts = v != 0;
    else if (key == "hdr")
      o->features.header_tokens = v != 0;
    else if (key == "gram")
      o->features.body_ngram_bytes = static_cast<size_t>(v);
    else if (key == "hgram")
      o->features.header_ngram_bytes = static_cast<size_t>(v);
    else if (key == "maxf")
      o->features.max_features = static_cast<size_t>(v);
    else
      return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: engine_tune CORPUS_DIR [--seed N] [--bits B] CONFIG...\n");
    return 2;
  }
  uint64_t seed = 1;
  int bits = 18;
  std::vector<std::string> configs;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--seed" && i + 1 < argc)
      seed = std::strtoull(argv[++i], nullptr, 10);
    else if (arg == "--bits" && i + 1 < argc)
      bits = std::atoi(argv[++i]);
    else
      configs.push_back(arg);
  }
  if (configs.empty()) configs.push_back("lr=2");
  std::vector<bench::CorpusMail> mails =
      bench::LoadCorpus(argv[1], {{"easy-ham-1", false}, {"spam-1", true}});
  bench::ShuffleMails(&mails, seed);

  for (const std::string& config : configs) {
    ModelOptions options;
    if (!ParseConfig(config, &options)) {
      std::fprintf(stderr, "bad config %s\n", config.c_str());
      return 2;
    }
    std::vector<float> table(size_t{1} << bits, 0.0f);
    std::vector<double> scores;
    std::vector<bool> truth;
    int fp = 0, fn = 0, late = 0;
    int64_t counts[2] = {0, 0};
    size_t feature_total = 0;
    for (size_t i = 0; i < mails.size(); ++i) {
      const auto& mail = mails[i];
      MailVector v = Vectorize(ExtractFeatures(mail.header, mail.body, options.features), bits);
      feature_total += v.slots.size();
      double score = MailScore(v, table.data());
      bool verdict = IsSpam(score, counts[0], counts[1], options);
      ++counts[verdict];
      scores.push_back(score);
      truth.push_back(mail.spam);
      double gain = options.self_train ? TrainingGain(score, verdict, options) : 0;
      ApplyGain(v, gain, table.data());
      if (verdict != mail.spam) {
        verdict ? ++fp : ++fn;
        if (std::getenv("TUNE_VERBOSE") && verdict)
          std::printf("  FP at %zu score %.2f %s\n", i, score, mail.path.c_str());
        if (i >= mails.size() / 2) ++late;
        --counts[verdict];
        ++counts[mail.spam];
        ApplyGain(v, -gain, table.data());
        double corrected = MailScore(v, table.data());
        ApplyGain(v, TrainingGain(corrected, mail.spam, options), table.data());
      }
    }
    std::printf("%-60s FP %3d FN %3d errors %3d (%.2f%%) late %3d 1-ROCA %.4f%% feats/mail %zu\n",
                config.c_str(), fp, fn, fp + fn, 100.0 * (fp + fn) / mails.size(), late,
                bench::OneMinusRocAreaPercent(scores, truth), feature_total / mails.size());
  }
  return 0;
}
