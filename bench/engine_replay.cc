// The engine's online replay against bogofilter and spamprobe, on the development split (bench/
// engine_corpus.h), over several seeded orders, printing mean and worst of each figure.
//
// Each mail goes to a user -- one, or --users U of one domain, drawn from the order's own
// generator -- and through Classify in a fresh engine object, as the filter calls it for a
// save event; a wrong verdict is corrected by Relearn with the true class (the user moving
// the mail), nothing else trained. bogofilter gets the same orders and users, once with a word
// list per user and once with one word list for all (site-wide); with one user these are
// the same and it runs once. spamprobe runs beside them with one user only. Errors count
// overall and in each user's first 50 mails.
//
// --hostile makes user 0 move every mail of the junk folder into the inbox (ham), or every
// inbox mail into the junk folder (spam), or correct nothing (passive); each order then runs
// again with it, and the figures add how much the other users' errors rose (user 0's own are
// not counted in either run). A word list per user is untouched by another user, so only the
// engine and site-wide bogofilter run again.
//
// Timing: Classify and Relearn over the replays (every call with its object created); and
// Classify on a copy of the first order's trained databases (user 0's and the site model)
// with held-out mail, which is fine for timing.
//
//   engine_replay CORPUS_DIR [--orders N] [--first-seed S] [--users U]
//                 [--hostile ham|spam|passive] [--site off|directory|domain]
//                 [--no-bogofilter] [--no-spamprobe] [--work DIR]
//                 [--feedback daily:N [--corrects FRACTION] [--order time]
//                  [--list-false-positives]]
//                 [--half older|newer] [--pretrain N] [--whitelist] [--model CONFIG]
//
// --feedback replays one user day by day instead (bench/engine_feedback.h): per day the false
// positives and negatives, and after the first day the worst day's false positives and the
// errors; --corrects: the share of mistakes the user corrects (seeded); --order time: the mail
// in the order of its Date: fields, one order only, instead of the seeded shuffles;
// --list-false-positives: each ham put into junk, under its order, with its day and score.
//
// --half replays only the older or the newer half of the split by Date: (each class split at
// its own median date), with any of the protocols above.
//
// --pretrain N (one user): the user is first taught the oldest N ham and N spam by Date: --
// the engine through Learn, as `corvalith train` does, bogofilter with -s / -n, spamprobe with
// spam / good -- and the replay (or the days) then runs over the first 500 of the other mails
// in each order; the same 500 are replayed again by an untrained user, and the table adds the
// untrained user's false positives, false negatives and errors. The feedback table then counts
// every day, the first too.
//
// --whitelist puts the filter's whitelist in front of every filter, as `corvalith init` sets it
// up (bench/engine_whitelist.h): a sender the user rescues from junk is trusted from then on.
//
// --model changes the engine's model options from the defaults (bench/engine_model_config.h).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/engine_bogofilter.h"
#include "bench/engine_corpus.h"
#include "bench/engine_feedback.h"
#include "bench/engine_model_config.h"
#include "bench/engine_spamprobe.h"
#include "bench/engine_whitelist.h"
#include "classifier/classifier_engine_object.h"
#include "classifier/engine_settings.h"
#include "engine/classifier_engine.h"
#include "platform/object_factory.h"

using namespace corvalith;
using SteadyClock = std::chrono::steady_clock;
using bench::Figure;
using bench::Filter;

namespace {

constexpr int kFirstMails = 50;

enum class Hostility { kNone, kAllHam, kAllSpam, kPassive };

double Ms(SteadyClock::time_point a, SteadyClock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<size_t>(p * (v.size() - 1) + 0.5)];
}

class Corvalith : public Filter {
 public:
  Corvalith(const std::string& data, const EngineOptions& options) : data_(data) {
    RegisterClassifierEngine(table_, options);
    std::filesystem::remove_all(data_);
    std::filesystem::create_directories(data_ + "example.com");
  }

  std::string Key(int user) const {
    return data_ + "example.com/user" + std::to_string(user) + ".dat";
  }

  ComPtr<IClassifierEngine> NewEngine() {
    ComPtr<IClassifierEngine> engine;
    Check(table_.CreateInstance(CLSID_ClassifierEngine, IID_IClassifierEngine, engine.put_void()),
          "CreateInstance");
    return engine;
  }

  bool Classify(int user, const bench::CorpusMail& mail, double* score) override {
    bool spam = false;
    auto t0 = SteadyClock::now();
    ComPtr<IClassifierEngine> engine = NewEngine();
    Check(engine->Classify(Key(user), mail.header, mail.body, &spam), "Classify");
    classify_ms.push_back(Ms(t0, SteadyClock::now()));
    auto* object = static_cast<ClassifierEngineObject*>(engine.get());
    if (!object->site_failure().empty()) {
      std::fprintf(stderr, "site model unusable: %s\n", object->site_failure().c_str());
      std::exit(1);
    }
    *score = object->last_probability();
    return spam;
  }

  void Correct(int user, const bench::CorpusMail& mail, bool spam) override {
    auto t0 = SteadyClock::now();
    Check(NewEngine()->Relearn(Key(user), mail.header, mail.body, spam), "Relearn");
    relearn_ms.push_back(Ms(t0, SteadyClock::now()));
  }

  void Learn(int user, const bench::CorpusMail& mail, bool spam) override {
    Check(NewEngine()->Learn(Key(user), mail.header, mail.body, spam), "Learn");
  }

  static void Check(HRESULT hr, const char* what) {
    if (Failed(hr)) {
      std::fprintf(stderr, "%s failed: %s\n", what, TakeErrorInfo().c_str());
      std::exit(1);
    }
  }

  std::vector<double> classify_ms, relearn_ms;

 private:
  const std::string data_;
  ClassTable table_;
};

// bogofilter or spamprobe (bench::Bogofilter, bench::Spamprobe) for the replays.
template <typename Program>
class Anchor : public Filter {
 public:
  // One word list for all users, or one per user.
  Anchor(const std::string& dir, int users, bool site_wide) {
    for (int u = 0; u < (site_wide ? 1 : users); ++u) {
      lists_.push_back(std::make_unique<Program>(dir + "/list" + std::to_string(u)));
    }
  }
  bool Classify(int user, const bench::CorpusMail& mail, double* score) override {
    auto t0 = SteadyClock::now();
    bool spam = List(user).Classify(mail.path, score);
    classify_ms.push_back(Ms(t0, SteadyClock::now()));
    return spam;
  }
  void Correct(int user, const bench::CorpusMail& mail, bool spam) override {
    List(user).Correct(mail.path, spam);
  }
  void Learn(int user, const bench::CorpusMail& mail, bool spam) override {
    List(user).Learn(mail.path, spam);
  }
  uint64_t Bytes() const {
    uint64_t bytes = 0;
    for (const auto& list : lists_) bytes += list->Bytes();
    return bytes;
  }

  std::vector<double> classify_ms;

 private:
  Program& List(int user) { return *lists_[lists_.size() == 1 ? 0 : user]; }
  std::vector<std::unique_ptr<Program>> lists_;
};
using Bogofilters = Anchor<bench::Bogofilter>;
using Spamprobes = Anchor<bench::Spamprobe>;

struct Outcome {
  int fp = 0, fn = 0, first_fp = 0, first_fn = 0;
  double roca = 0;
  std::vector<int> user_errors;
};

Outcome Replay(Filter& filter, const std::vector<bench::CorpusMail>& mails,
               const std::vector<size_t>& order, const std::vector<int>& owner, int users,
               Hostility hostility) {
  Outcome out;
  out.user_errors.assign(users, 0);
  std::vector<int> seen(users, 0);
  std::vector<double> scores;
  std::vector<bool> truth;
  for (size_t i = 0; i < order.size(); ++i) {
    const bench::CorpusMail& mail = mails[order[i]];
    const int user = owner[i];
    double score = 0;
    const bool verdict = filter.Classify(user, mail, &score);
    const bool first = seen[user]++ < kFirstMails;
    const bool hostile = user == 0 && hostility != Hostility::kNone;
    bool moved_to = mail.spam;
    if (hostile) {
      moved_to = hostility == Hostility::kAllHam    ? false
                 : hostility == Hostility::kAllSpam ? true
                                                    : verdict;
    } else {
      scores.push_back(score);
      truth.push_back(mail.spam);
      if (verdict != mail.spam) {
        verdict ? ++out.fp : ++out.fn;
        if (first) verdict ? ++out.first_fp : ++out.first_fn;
        ++out.user_errors[user];
      }
    }
    if (verdict != moved_to) filter.Correct(user, mail, moved_to);
  }
  out.roca = bench::OneMinusRocAreaPercent(scores, truth);
  return out;
}

struct Column {
  std::string name;
  std::map<std::string, Figure> figures;
  void Add(const Outcome& o) {
    figures["false positives"].values.push_back(o.fp);
    figures["false negatives"].values.push_back(o.fn);
    figures["errors"].values.push_back(o.fp + o.fn);
    figures["(1-ROCA)%"].values.push_back(o.roca);
    figures["first 50: false positives"].values.push_back(o.first_fp);
    figures["first 50: errors"].values.push_back(o.first_fp + o.first_fn);
  }
  // The untrained user beside a pretrained one.
  void AddUntrained(const Outcome& o) {
    figures["untrained: false positives"].values.push_back(o.fp);
    figures["untrained: false negatives"].values.push_back(o.fn);
    figures["untrained: errors"].values.push_back(o.fp + o.fn);
  }
};

// Spam among each user's first mails, the same for every filter: one that misses every early
// spam -- as both do while their databases are nearly empty -- makes exactly this many
// first-50 errors, so equal first-50 figures for two filters are no surprise.
int SpamAmongFirstMails(const std::vector<bench::CorpusMail>& mails,
                        const std::vector<size_t>& order, const std::vector<int>& owner,
                        int users) {
  std::vector<int> seen(users, 0);
  int spam = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    if (seen[owner[i]]++ < kFirstMails && mails[order[i]].spam) ++spam;
  }
  return spam;
}

int OthersErrors(const Outcome& o) {
  int sum = 0;
  for (size_t u = 1; u < o.user_errors.size(); ++u) sum += o.user_errors[u];
  return sum;
}

std::string Line(const char* name, const Outcome& o) {
  char text[160];
  std::snprintf(text, sizeof text, "%s FP %d FN %d errors %d (1-ROCA)%% %.4f first-50 FP %d err %d",
                name, o.fp, o.fn, o.fp + o.fn, o.roca, o.first_fp, o.first_fp + o.first_fn);
  return text;
}

// "N mails (H ham, S spam)".
std::string HamAndSpam(const std::vector<bench::CorpusMail>& mails) {
  const size_t spam =
      std::count_if(mails.begin(), mails.end(), [](const auto& m) { return m.spam; });
  return std::to_string(mails.size()) + " mails (" + std::to_string(mails.size() - spam) +
         " ham, " + std::to_string(spam) + " spam)";
}

uint64_t FileBytes(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: engine_replay CORPUS_DIR [--orders N] [--first-seed S] [--users U] "
                 "[--hostile ham|spam|passive] [--site off|directory|domain] [--no-bogofilter] "
                 "[--no-spamprobe] [--work DIR] [--feedback daily:N [--corrects FRACTION] "
                 "[--order time] [--list-false-positives]] [--half older|newer] [--pretrain N] "
                 "[--whitelist] [--model CONFIG]\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each order's lines as they come
  const std::string corpus = argv[1];
  int orders = 8, users = 1;
  uint64_t first_seed = 1;
  bool bogofilter = true, spamprobe = true, time_order = false, list_false_positives = false;
  bool whitelist = false;
  std::string half;
  int per_day = 0, pretrain = 0;
  double corrects = 1.0;
  Hostility hostility = Hostility::kNone;
  EngineOptions engine_options;
  SiteScope& scope = engine_options.site_scope;
  std::string work =
      std::filesystem::temp_directory_path() / ("engine-replay-" + std::to_string(getpid()));
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool more = i + 1 < argc;
    if (arg == "--orders" && more) {
      orders = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--first-seed" && more) {
      first_seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--users" && more) {
      users = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--hostile" && more) {
      const std::string kind = argv[++i];
      hostility = kind == "ham"       ? Hostility::kAllHam
                  : kind == "spam"    ? Hostility::kAllSpam
                  : kind == "passive" ? Hostility::kPassive
                                      : Hostility::kNone;
      if (hostility == Hostility::kNone) {
        std::fprintf(stderr, "unknown --hostile %s\n", kind.c_str());
        return 2;
      }
    } else if (arg == "--site" && more) {
      const std::string kind = argv[++i];
      scope = kind == "off"      ? SiteScope::kOff
              : kind == "domain" ? SiteScope::kDomain
                                 : SiteScope::kDataDirectory;
    } else if (arg == "--model" && more) {
      if (!bench::ParseModelOptions(argv[++i], &engine_options.model)) {
        std::fprintf(stderr, "unknown model option in %s\n", argv[i]);
        return 2;
      }
    } else if (arg == "--no-bogofilter") {
      bogofilter = false;
    } else if (arg == "--no-spamprobe") {
      spamprobe = false;
    } else if (arg == "--half" && more) {
      half = argv[++i];
      if (half != "older" && half != "newer") {
        std::fprintf(stderr, "--half takes older or newer\n");
        return 2;
      }
    } else if (arg == "--pretrain" && more) {
      pretrain = std::max(0, std::atoi(argv[++i]));
    } else if (arg == "--work" && more) {
      work = argv[++i];
    } else if (arg == "--feedback" && more) {
      per_day = bench::ParseDaily(argv[++i]);
      if (per_day == 0) {
        std::fprintf(stderr, "--feedback takes daily:N\n");
        return 2;
      }
    } else if (arg == "--corrects" && more) {
      corrects = std::atof(argv[++i]);
    } else if (arg == "--whitelist") {
      whitelist = true;
    } else if (arg == "--list-false-positives") {
      list_false_positives = true;
    } else if (arg == "--order" && more && std::string(argv[i + 1]) == "time") {
      time_order = true;
      ++i;
    } else {
      std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
      return 2;
    }
  }
  if (hostility != Hostility::kNone && users < 2) {
    std::fprintf(stderr, "--hostile needs --users of 2 or more\n");
    return 2;
  }
  if (hostility != Hostility::kNone && whitelist) {
    std::fprintf(stderr, "--hostile replays the engine alone: no --whitelist\n");
    return 2;
  }
  if (per_day == 0 && (time_order || corrects != 1.0 || list_false_positives)) {
    std::fprintf(stderr, "--corrects, --order time and --list-false-positives need --feedback\n");
    return 2;
  }
  if (per_day != 0 && (users != 1 || hostility != Hostility::kNone)) {
    std::fprintf(stderr, "--feedback replays one user\n");
    return 2;
  }
  if (pretrain > 0 && users != 1) {
    std::fprintf(stderr, "--pretrain teaches one user\n");
    return 2;
  }
  if (time_order) orders = 1;
  spamprobe = spamprobe && users == 1;
  std::vector<bench::CorpusMail> mails = bench::LoadDevelopmentSplit(corpus);
  std::printf("development split: %s; %d orders from seed %llu; %d user(s)%s; site model %s\n",
              HamAndSpam(mails).c_str(), orders, static_cast<unsigned long long>(first_seed), users,
              hostility == Hostility::kNone ? "" : ", user 0 hostile",
              scope == SiteScope::kOff      ? "off"
              : scope == SiteScope::kDomain ? "per domain"
                                            : "on");
  if (!half.empty()) {
    bench::TimeHalves halves = bench::SplitByDate(mails);
    std::printf("halves by date: the older %s, the newer %s; replaying the %s\n",
                HamAndSpam(halves.older).c_str(), HamAndSpam(halves.newer).c_str(), half.c_str());
    mails = std::move(half == "older" ? halves.older : halves.newer);
  }
  if (per_day != 0) {
    std::vector<bench::NamedFilter> filters = {
        {"corvalith",
         [&] { return std::make_unique<Corvalith>(work + "/data/", engine_options); }}};
    if (bogofilter) {
      filters.push_back({"bogofilter", [&] {
                           return std::make_unique<Bogofilters>(work + "/bogofilter", 1, false);
                         }});
    }
    if (spamprobe) {
      filters.push_back({"spamprobe", [&] {
                           return std::make_unique<Spamprobes>(work + "/spamprobe", 1, false);
                         }});
    }
    bench::RunFeedback(mails,
                       {per_day, corrects, time_order, orders, first_seed, pretrain,
                        list_false_positives, whitelist},
                       filters);
    std::filesystem::remove_all(work);
    return 0;
  }
  const bench::ReplayMails chosen =
      bench::ReplayMails::Choose(mails, pretrain, /*time_order=*/false);
  // Held-out mail, only to time Classify on trained databases.
  std::vector<bench::CorpusMail> fresh = bench::LoadHeldOut(corpus);
  bench::ShuffleMails(&fresh, first_seed);
  fresh.resize(std::min<size_t>(fresh.size(), 1000));

  Column engine{"corvalith", {}}, per_user{users == 1 ? "bogofilter" : "bogofilter per user", {}},
      site_wide{"bogofilter site-wide", {}}, spamprobe_column{"spamprobe", {}};
  Figure engine_rise, engine_over_passive, bogo_rise, first_spam;
  std::vector<double> classify_ms, relearn_ms, bogo_ms, spamprobe_ms, trained_ms, statistics_ms;
  uint64_t user_bytes = 0, site_bytes = 0, bogo_bytes = 0, bogo_site_bytes = 0, spamprobe_bytes = 0;
  for (int o = 0; o < orders; ++o) {
    const uint64_t seed = first_seed + o;
    const std::vector<size_t> order = chosen.Order(/*time_order=*/false, seed);
    const std::vector<int> owner = bench::DrawUsers(order.size(), users, seed);
    // A filter's replay of the order, taught the oldest mail first with --pretrain, and then an
    // untrained one's of the same mail.
    auto replay = [&](Column& column, Filter& engine, const bench::FilterMaker& untrained) {
      bench::AutoWhiteListed filter(engine, whitelist);
      chosen.Pretrain(filter, mails);
      const Outcome out = Replay(filter, mails, order, owner, users, Hostility::kNone);
      column.Add(out);
      std::printf("  %s\n", Line(column.name.c_str(), out).c_str());
      if (pretrain > 0) {
        std::unique_ptr<Filter> fresh_engine = untrained();
        bench::AutoWhiteListed fresh_filter(*fresh_engine, whitelist);
        const Outcome fresh = Replay(fresh_filter, mails, order, owner, users, Hostility::kNone);
        column.AddUntrained(fresh);
        std::printf("  %s\n", Line((column.name + ", untrained").c_str(), fresh).c_str());
      }
      return out;
    };
    const int early_spam = SpamAmongFirstMails(mails, order, owner, users);
    first_spam.values.push_back(early_spam);
    std::printf("order %d (seed %llu), %d spam among %s first 50 mails\n", o + 1,
                static_cast<unsigned long long>(seed), early_spam,
                users == 1 ? "the" : "each user's");
    Corvalith corvalith(work + "/data/", engine_options);
    const Outcome e = replay(engine, corvalith, [&] {
      return std::make_unique<Corvalith>(work + "/untrained/", engine_options);
    });
    classify_ms.insert(classify_ms.end(), corvalith.classify_ms.begin(),
                       corvalith.classify_ms.end());
    relearn_ms.insert(relearn_ms.end(), corvalith.relearn_ms.begin(), corvalith.relearn_ms.end());
    if (o == 0) {
      user_bytes = FileBytes(corvalith.Key(0));
      site_bytes = FileBytes(SiteModelPath(corvalith.Key(0), scope));
      // Speed on copies of the trained databases, with mail they have not seen.
      Corvalith timing(work + "/timing/", engine_options);
      std::filesystem::copy_file(corvalith.Key(0), timing.Key(0));
      if (scope != SiteScope::kOff) {
        std::filesystem::copy_file(SiteModelPath(corvalith.Key(0), scope),
                                   SiteModelPath(timing.Key(0), scope));
      }
      for (const auto& mail : fresh) {
        double ignored;
        auto t0 = SteadyClock::now();
        timing.Classify(0, mail, &ignored);
        trained_ms.push_back(Ms(t0, SteadyClock::now()));
      }
      for (int i = 0; i < 1000; ++i) {
        int32_t h, s;
        auto t0 = SteadyClock::now();
        Corvalith::Check(timing.NewEngine()->GetStatistics(timing.Key(0), &h, &s), "GetStatistics");
        statistics_ms.push_back(Ms(t0, SteadyClock::now()));
      }
    }
    if (hostility != Hostility::kNone) {
      Corvalith attacked(work + "/data/", engine_options);
      const int others = OthersErrors(Replay(attacked, mails, order, owner, users, hostility));
      engine_rise.values.push_back(others - OthersErrors(e));
      std::printf("  corvalith, user 0 hostile: other users' errors %d (%+d)", others,
                  others - OthersErrors(e));
      if (hostility != Hostility::kPassive) {
        // A user who corrects nothing already costs the others the help of their corrections;
        // what the hostile user does beyond that is the damage done.
        Corvalith passive(work + "/data/", engine_options);
        const int quiet =
            OthersErrors(Replay(passive, mails, order, owner, users, Hostility::kPassive));
        engine_over_passive.values.push_back(others - quiet);
        std::printf(", with user 0 passive %d", quiet);
      }
      std::printf("\n");
    }
    if (bogofilter) {
      Bogofilters lists(work + "/bogofilter", users, /*site_wide=*/false);
      replay(per_user, lists, [&] {
        return std::make_unique<Bogofilters>(work + "/bogofilter-untrained", 1, false);
      });
      bogo_bytes = lists.Bytes();
      bogo_ms.insert(bogo_ms.end(), lists.classify_ms.begin(), lists.classify_ms.end());
    }
    if (spamprobe) {
      Spamprobes probe(work + "/spamprobe", 1, /*site_wide=*/false);
      replay(spamprobe_column, probe,
             [&] { return std::make_unique<Spamprobes>(work + "/spamprobe-untrained", 1, false); });
      spamprobe_bytes = probe.Bytes();
      spamprobe_ms.insert(spamprobe_ms.end(), probe.classify_ms.begin(), probe.classify_ms.end());
    }
    if (!bogofilter || users == 1) continue;
    Bogofilters one(work + "/bogofilter", users, /*site_wide=*/true);
    const Outcome w = replay(site_wide, one, bench::FilterMaker());
    bogo_site_bytes = one.Bytes();
    if (hostility != Hostility::kNone) {
      Bogofilters attacked(work + "/bogofilter", users, /*site_wide=*/true);
      const Outcome a = Replay(attacked, mails, order, owner, users, hostility);
      bogo_rise.values.push_back(OthersErrors(a) - OthersErrors(w));
      std::printf("  bogofilter site-wide, user 0 hostile: other users' errors %d (%+d)\n",
                  OthersErrors(a), OthersErrors(a) - OthersErrors(w));
    }
  }
  std::filesystem::remove_all(work);

  std::vector<const Column*> columns = {&engine};
  if (bogofilter) columns.push_back(&per_user);
  if (bogofilter && users > 1) columns.push_back(&site_wide);
  if (spamprobe) columns.push_back(&spamprobe_column);
  std::printf("\nmean / worst over %d orders%s\n%-30s", orders,
              users > 1 ? " (first 50: each user's first 50 mails)" : "", "");
  for (const Column* c : columns) std::printf(" %22s", c->name.c_str());
  std::printf("\n");
  std::vector<const char*> figures = {
      "false positives", "false negatives",           "errors",
      "(1-ROCA)%",       "first 50: false positives", "first 50: errors"};
  if (pretrain > 0) {
    figures.insert(figures.end(), {"untrained: false positives", "untrained: false negatives",
                                   "untrained: errors"});
  }
  for (const char* figure : figures) {
    std::printf("%-30s", figure);
    const bool fraction = std::string(figure) == "(1-ROCA)%";
    for (const Column* c : columns) {
      auto it = c->figures.find(figure);
      std::printf(" %22s", it == c->figures.end()
                               ? "-"
                               : it->second.Text(fraction ? "%.4f" : "%.1f").c_str());
    }
    std::printf("\n");
  }
  std::printf("%-30s %22s (the same for every filter)\n", "first 50: spam among them",
              first_spam.Text("%.1f").c_str());
  if (hostility != Hostility::kNone) {
    std::printf("%-30s %22s", "others' errors rise (hostile)", engine_rise.Text("%+.1f").c_str());
    if (bogofilter) std::printf(" %22s %22s", "0 (own lists)", bogo_rise.Text("%+.1f").c_str());
    std::printf("\n");
    if (!engine_over_passive.values.empty()) {
      std::printf("%-30s %22s\n", "  over a passive user",
                  engine_over_passive.Text("%+.1f").c_str());
    }
  }
  std::printf("\nClassify median / p95 ms            %.3f / %.3f", Percentile(classify_ms, 0.5),
              Percentile(classify_ms, 0.95));
  std::string anchors;
  for (const auto& [name, ms] : {std::pair{"bogofilter", &bogo_ms}, {"spamprobe", &spamprobe_ms}}) {
    if (ms->empty()) continue;
    char text[80];
    std::snprintf(text, sizeof text, "%s %.1f / %.1f, ", name, Percentile(*ms, 0.5),
                  Percentile(*ms, 0.95));
    anchors += text;
  }
  std::printf(anchors.empty() ? "\n" : "   (%sa process per call)\n", anchors.c_str());
  std::printf("Classify on trained dbs median / p95 %.3f / %.3f\n", Percentile(trained_ms, 0.5),
              Percentile(trained_ms, 0.95));
  std::printf("Relearn median / p95 ms             %.3f / %.3f\n", Percentile(relearn_ms, 0.5),
              Percentile(relearn_ms, 0.95));
  std::printf("GetStatistics median ms             %.4f\n", Percentile(statistics_ms, 0.5));
  std::printf("user database / site model KiB      %.0f / %.0f\n", user_bytes / 1024.0,
              site_bytes / 1024.0);
  if (bogofilter) {
    std::printf("bogofilter word lists KiB           %.0f%s\n", bogo_bytes / 1024.0,
                users > 1 ? (" (all users), site-wide " +
                             std::to_string(static_cast<int>(bogo_site_bytes / 1024)))
                                .c_str()
                          : "");
  }
  if (spamprobe) {
    std::printf("spamprobe database KiB              %.0f\n", spamprobe_bytes / 1024.0);
  }
  return 0;
}
