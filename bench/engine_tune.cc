// Chooses the linear models' settings by measurement on the development split only: replays
// it online in memory (no files, no locking) with the engine's protocol and policy for its
// linear models -- each mail scored by the site model plus the user's own and registered, a
// wrong verdict corrected by undoing its registration and training the true class -- once per
// configuration given on the command line and order, and prints mean and worst over the
// orders. The counting model is not replayed here: these are the engine's verdicts with
// `counting_weight` 0 and no `linear_limit`; engine_replay --model measures the whole engine.
//
//   engine_tune CORPUS_DIR [--seeds N] [--first S] [--users U] [--domains D]
//               [--hostile ham|spam|passive|dissent] [--verbose] CONFIG...
//
// --users U spreads the mail over U users drawn from the order's generator (as the engine
// benchmark does), each with a model of their own, and the site model trained by all; with
// --domains D the users are dealt round-robin into D domains. --hostile changes what user 0
// does: moves every mail of the junk folder into the inbox (ham) or every inbox mail into the
// junk folder (spam), corrects nothing (passive), or calls newsletters -- hard ham -- spam
// (dissent); the line then adds how much the other users' errors rose against the same run
// without it, and for dissent user 0's own errors by their own taste.
//
// CONFIG = comma-separated key=value, changes from the engine's defaults:
//   model     lr, passes, margin (spam), hmargin (ham), threshold, self (0/1), minc, share
//   features  words, osb, tags, hosts, hdr, ev (0/1), gram, hgram (bytes), maxf
//   site      site (0/1), sbits, perdom (0/1: one site model per domain), own (0/1: the site
//             self-trains on its own verdict), agree (0/1: ... only where the sum's verdict
//             is the same), veto (0/1: a user cannot teach the site against its confident
//             verdict), comb (0 sum, 1 fading site: (1-n/(n+take))*site + user), take
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/engine_corpus.h"
#include "bench/engine_model_config.h"
#include "classifier/model.h"

using namespace corvalith;

namespace {

struct Config {
  std::string text;
  ModelOptions model;
  bool site = true;
  int site_bits = 22;
  bool per_domain = false;
  bool own = true;
  bool agree = true;
  bool veto = true;
  bool fade = false;
  double take = 1000;
};

bool ParseConfig(const std::string& text, Config* config) {
  config->text = text;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    size_t eq = item.find('=');
    if (eq == std::string::npos) return false;
    const std::string key = item.substr(0, eq);
    const double v = std::atof(item.c_str() + eq + 1);
    const std::map<std::string, bool*> flags = {
        {"site", &config->site}, {"perdom", &config->per_domain}, {"own", &config->own},
        {"veto", &config->veto}, {"comb", &config->fade},         {"agree", &config->agree},
    };
    if (bench::SetModelOption(key, v, &config->model)) continue;
    if (auto b = flags.find(key); b != flags.end()) {
      *b->second = v != 0;
    } else if (key == "take") {
      config->take = v;
    } else if (key == "sbits") {
      config->site_bits = static_cast<int>(v);
    } else {
      return false;
    }
  }
  return true;
}

// The features of every mail for one set of feature options, extracted once.
const std::vector<MailFeatures>& Features(const std::vector<bench::CorpusMail>& mails,
                                          const FeatureOptions& options) {
  static std::map<std::string, std::vector<MailFeatures>> cache;
  char key[256];
  std::snprintf(key, sizeof key, "%d%d%d%d%d%d %zu %zu %zu", options.header_tokens,
                options.body_words, options.body_osb, options.html_tags, options.link_hosts,
                options.sender_evidence, options.header_ngram_bytes, options.body_ngram_bytes,
                options.max_features);
  auto [it, inserted] = cache.try_emplace(key);
  if (inserted) {
    for (const auto& mail : mails)
      it->second.push_back(ExtractFeatures(mail.header, mail.body, options));
  }
  return it->second;
}

struct Registration {
  bool spam = false;
  double gain = 0, site_gain = 0;
};

// One model in memory: the weights and the counts; a user's also has the ledger.
struct Model {
  explicit Model(int bits) : bits(bits), table(size_t{1} << bits, 0.0f) {}
  int bits;
  std::vector<float> table;
  int64_t counts[2] = {0, 0};
  std::unordered_map<size_t, Registration> ledger;  // by mail index
  int site = 0;                                     // which site model serves the user
};

struct Outcome {
  int fp = 0, fn = 0;
  int first_fp = 0, first_fn = 0;  // in each user's first kFirstMails mails
  double roca = 0;
  std::vector<int> user_errors;
  int dissenter_errors = 0;  // user 0's, by their own taste
};

constexpr int kFirstMails = 50;
constexpr int kUserBits = 18;

enum class Hostility { kNone, kAllHam, kAllSpam, kPassive, kDissent };

class Replay {
 public:
  Replay(const Config& config, const std::vector<bench::CorpusMail>& mails, int users, int domains)
      : config_(config), mails_(mails), features_(Features(mails, config.model.features)) {
    for (int d = 0; d < (config.per_domain ? domains : 1); ++d) {
      sites_.emplace_back(config.site ? config.site_bits : 1);
    }
    for (int u = 0; u < users; ++u) {
      users_.emplace_back(kUserBits);
      users_.back().site = config.per_domain ? u % domains : 0;
    }
  }

  Outcome Run(const std::vector<size_t>& order, const std::vector<int>& owner, Hostility hostility,
              bool verbose) {
    Outcome out;
    out.user_errors.assign(users_.size(), 0);
    std::vector<int> seen(users_.size(), 0);
    std::vector<double> scores;
    std::vector<bool> truth;
    const ModelOptions& o = config_.model;
    for (size_t i = 0; i < order.size(); ++i) {
      const size_t m = order[i];
      const int u = owner[i];
      Model& user = users_[u];
      Model& site = sites_[user.site];
      const bool spam = mails_[m].spam;
      const Mail mail{Vectorize(features_[m], user.bits, o.header_share),
                      Vectorize(features_[m], site.bits, o.header_share)};
      const double score = Combined(user, mail);
      const bool verdict =
          IsSpam(score, user.counts[0] + site.counts[0], user.counts[1] + site.counts[1], o);
      scores.push_back(score);
      truth.push_back(spam);
      Registration r{verdict, 0, 0};
      if (o.self_train) Train(&user, mail, verdict, /*self=*/true, &r);
      ++user.counts[verdict];
      user.ledger[m] = r;
      const bool first = seen[u]++ < kFirstMails;
      const bool newsletter = mails_[m].path.find("hard-ham") != std::string::npos;
      bool target = spam;
      if (u == 0) {
        switch (hostility) {
          case Hostility::kNone:
            break;
          case Hostility::kAllHam:
            target = false;
            break;
          case Hostility::kAllSpam:
            target = true;
            break;
          case Hostility::kPassive:
            target = verdict;
            break;
          case Hostility::kDissent:
            target = spam || newsletter;
            break;
        }
      }
      if (u == 0 && hostility == Hostility::kDissent) {
        out.dissenter_errors += verdict != target;
      } else if (verdict != spam && !(u == 0 && hostility != Hostility::kNone)) {
        verdict ? ++out.fp : ++out.fn;
        if (first) verdict ? ++out.first_fp : ++out.first_fn;
        ++out.user_errors[u];
        if (verbose && verdict) {
          std::printf("  FP at %zu user %d score %.2f %s\n", i, u, score, mails_[m].path.c_str());
        }
      }
      if (verdict != target) Teach(&user, mail, m, target);
    }
    out.roca = bench::OneMinusRocAreaPercent(scores, truth);
    return out;
  }

 private:
  struct Mail {
    MailVector user, site;
  };

  double SiteScore(const Model& user, const Mail& mail) const {
    return config_.site ? MailScore(mail.site, sites_[user.site].table.data()) : 0;
  }

  double Combined(const Model& user, const Mail& mail) const {
    const double own = MailScore(mail.user, user.table.data());
    double site_share = 1;
    if (config_.fade) {
      const double n = static_cast<double>(user.counts[0] + user.counts[1]);
      site_share = 1 - n / (n + config_.take);
    }
    return site_share * SiteScore(user, mail) + own;
  }

  // Trains the site model, then the user's own on the sum; adds the gains to `r`.
  void Train(Model* user, const Mail& mail, bool spam, bool self, Registration* r) {
    const ModelOptions& o = config_.model;
    if (config_.site) {
      Model& site = sites_[user->site];
      const double ss = MailScore(mail.site, site.table.data());
      double g;
      if (self) {
        if (!config_.own) {
          g = TrainingGain(ss, spam, o);
        } else if (config_.agree) {
          g = SiteSelfTrainingGain(ss, spam, o);
        } else {
          g = TrainingGain(ss, ss > o.spam_threshold, o);
        }
      } else {
        g = config_.veto && SiteVetoes(ss, spam, o) ? 0.0 : TrainingGain(ss, spam, o);
      }
      ApplyGain(mail.site, g, site.table.data());
      r->site_gain += g;
      if (g != 0) ++site.counts[self && config_.own ? ss > o.spam_threshold : spam];
    }
    const double g = TrainingGain(Combined(*user, mail), spam, o);
    ApplyGain(mail.user, g, user->table.data());
    r->gain += g;
  }

  void Teach(Model* user, const Mail& mail, size_t m, bool spam) {
    Registration& r = user->ledger[m];
    ApplyGain(mail.user, -r.gain, user->table.data());
    ApplyGain(mail.site, -r.site_gain, sites_[user->site].table.data());
    --user->counts[r.spam];
    Registration fresh{spam, 0, 0};
    Train(user, mail, spam, /*self=*/false, &fresh);
    ++user->counts[spam];
    r = fresh;
  }

  const Config& config_;
  const std::vector<bench::CorpusMail>& mails_;
  const std::vector<MailFeatures>& features_;
  std::vector<Model> users_;
  std::vector<Model> sites_;
};

struct Stat {
  std::vector<double> values;
  void Add(double v) { values.push_back(v); }
  double Mean() const {
    double s = 0;
    for (double v : values) s += v;
    return values.empty() ? 0 : s / values.size();
  }
  double Worst() const {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
  }
  std::string Text(const char* format = "%.1f/%.0f") const {
    char text[64];
    std::snprintf(text, sizeof text, format, Mean(), Worst());
    return text;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: engine_tune CORPUS_DIR [--seeds N] [--first S] [--users U] [--domains D] "
                 "[--hostile ham|spam|passive|dissent] [--verbose] CONFIG...\n");
    return 2;
  }
  int seeds = 8, users = 1, domains = 1;
  uint64_t first_seed = 1;
  bool verbose = false;
  Hostility hostility = Hostility::kNone;
  std::vector<Config> configs;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool more = i + 1 < argc;
    if (arg == "--seeds" && more) {
      seeds = std::atoi(argv[++i]);
    } else if (arg == "--first" && more) {
      first_seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--users" && more) {
      users = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--domains" && more) {
      domains = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--hostile" && more) {
      const std::string kind = argv[++i];
      const std::map<std::string, Hostility> kinds = {{"ham", Hostility::kAllHam},
                                                      {"spam", Hostility::kAllSpam},
                                                      {"passive", Hostility::kPassive},
                                                      {"dissent", Hostility::kDissent}};
      if (!kinds.count(kind)) {
        std::fprintf(stderr, "unknown --hostile %s\n", kind.c_str());
        return 2;
      }
      hostility = kinds.at(kind);
    } else if (arg == "--verbose") {
      verbose = true;
    } else {
      Config config;
      if (!ParseConfig(arg, &config)) {
        std::fprintf(stderr, "bad config %s\n", arg.c_str());
        return 2;
      }
      configs.push_back(config);
    }
  }
  if (configs.empty()) {
    configs.emplace_back();
    configs.back().text = "(defaults)";
  }
  const std::vector<bench::CorpusMail> mails = bench::LoadDevelopmentSplit(argv[1]);
  std::printf("%zu mails, %d orders from seed %llu, %d user(s) in %d domain(s)%s\n", mails.size(),
              seeds, static_cast<unsigned long long>(first_seed), users, domains,
              hostility == Hostility::kNone ? "" : ", user 0 hostile");
  std::printf("%-44s %9s %9s %9s %13s %9s %9s\n", "config (mean/worst)", "FP", "FN", "errors",
              "(1-ROCA)%", "first FP", "first err");
  for (const Config& config : configs) {
    Stat fp, fn, errors, roca, first_fp, first_errors, rise, over_passive, dissent;
    for (int s = 0; s < seeds; ++s) {
      const uint64_t seed = first_seed + s;
      const std::vector<size_t> order = bench::ShuffledOrder(mails.size(), seed);
      const std::vector<int> owner = bench::DrawUsers(mails.size(), users, seed);
      Outcome out =
          Replay(config, mails, users, domains).Run(order, owner, Hostility::kNone, verbose);
      if (hostility != Hostility::kNone) {
        auto others = [&](Hostility h) {
          const Outcome o = Replay(config, mails, users, domains).Run(order, owner, h, false);
          int sum = 0;
          for (int u = 1; u < users; ++u) sum += o.user_errors[u];
          if (h == Hostility::kDissent) dissent.Add(o.dissenter_errors);
          return sum;
        };
        int normal = 0;
        for (int u = 1; u < users; ++u) normal += out.user_errors[u];
        const int attacked = others(hostility);
        rise.Add(attacked - normal);
        // A user who corrects nothing already costs the others the help of their
        // corrections; what the hostile user does beyond that is the damage done.
        if (hostility == Hostility::kAllHam || hostility == Hostility::kAllSpam) {
          over_passive.Add(attacked - others(Hostility::kPassive));
        }
      }
      fp.Add(out.fp);
      fn.Add(out.fn);
      errors.Add(out.fp + out.fn);
      roca.Add(out.roca);
      first_fp.Add(out.first_fp);
      first_errors.Add(out.first_fp + out.first_fn);
    }
    std::printf("%-44s %9s %9s %9s %13s %9s %9s", config.text.c_str(), fp.Text().c_str(),
                fn.Text().c_str(), errors.Text().c_str(), roca.Text("%.3f/%.3f").c_str(),
                first_fp.Text().c_str(), first_errors.Text().c_str());
    if (hostility != Hostility::kNone) std::printf("  others' rise %s", rise.Text().c_str());
    if (!over_passive.values.empty()) {
      std::printf(" (over a passive user %s)", over_passive.Text().c_str());
    }
    if (hostility == Hostility::kDissent) std::printf("  dissenter %s", dissent.Text().c_str());
    std::printf("\n");
  }
  return 0;
}
