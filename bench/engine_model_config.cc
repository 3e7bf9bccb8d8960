#include "bench/engine_model_config.h"

#include <cstdlib>
#include <map>
#include <sstream>

namespace corvalith::bench {

bool SetModelOption(const std::string& key, double v, ModelOptions* o) {
  FeatureOptions* f = &o->features;
  const std::map<std::string, double*> reals = {
      {"lr", &o->learning_rate},   {"margin", &o->train_margin},
      {"hmargin", &o->ham_margin}, {"threshold", &o->spam_threshold},
      {"share", &o->header_share},
      {"cw", &o->counting_weight}, {"limit", &o->linear_limit}, {"cs", &o->counting.strength}, {"css", &o->counting.site_strength},
      {"cdev", &o->counting.min_deviation},
  };
  const std::map<std::string, bool*> flags = {
      {"self", &o->self_train}, {"words", &f->body_words}, {"osb", &f->body_osb},
      {"tags", &f->html_tags},  {"hosts", &f->link_hosts}, {"hdr", &f->header_tokens},
      {"ev", &f->sender_evidence},
  };
  const std::map<std::string, size_t*> sizes = {
      {"gram", &f->body_ngram_bytes},
      {"hgram", &f->header_ngram_bytes},
      {"maxf", &f->max_features},
  };
  if (auto r = reals.find(key); r != reals.end()) {
    *r->second = v;
  } else if (auto b = flags.find(key); b != flags.end()) {
    *b->second = v != 0;
  } else if (auto z = sizes.find(key); z != sizes.end()) {
    *z->second = static_cast<size_t>(v);
  } else if (key == "passes") {
    o->max_passes = static_cast<int>(v);
  } else if (key == "cmax") {
    o->counting.max_features = static_cast<size_t>(v);
  } else if (key == "minc") {
    o->min_class_mails = static_cast<int>(v);
  } else {
    return false;
  }
  return true;
}

bool ParseModelOptions(const std::string& text, ModelOptions* options) {
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    const size_t eq = item.find('=');
    if (eq == std::string::npos ||
        !SetModelOption(item.substr(0, eq), std::atof(item.c_str() + eq + 1), options)) {
      return false;
    }
  }
  return true;
}

}  // namespace corvalith::bench
