// The engine's online replay against bogofilter: the development split (easy-ham-1 and
// spam-1) in a seeded random order, each mail classified once in a fresh engine object (one
// per save event, as the filter does), a wrong verdict corrected with Relearn and the true
// class, nothing else trained. bogofilter gets the same order and protocol: -u to classify
// and register, unsure counting as ham -- registered as ham with -n, since -u leaves unsure
// mail unregistered and bogofilter would otherwise never learn any ham -- and -Sn/-Ns to
// correct a wrong verdict.
//
//   engine_replay CORPUS_DIR [--seed N] [--no-bogofilter] [--work DIR]
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/engine_corpus.h"
#include "classifier/classifier_engine_object.h"
#include "engine/classifier_engine.h"
#include "platform/object_factory.h"

extern char** environ;

using namespace corvalith;
using Clock = std::chrono::steady_clock;

namespace {

struct Result {
  int fp = 0, fn = 0, late = 0;
  std::vector<double> scores;
  std::vector<bool> truth;
  std::vector<double> classify_ms, relearn_ms, statistics_ms, trained_classify_ms;
  uint64_t db_bytes = 0, db_allocated = 0;
  int32_t stats_ham = 0, stats_spam = 0;
};

double Ms(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * (v.size() - 1) + 0.5);
  return v[i];
}

void Check(HRESULT hr, const char* what) {
  if (Failed(hr)) {
    std::fprintf(stderr, "%s failed: %s\n", what, TakeErrorInfo().c_str());
    std::exit(1);
  }
}

ComPtr<IClassifierEngine> NewEngine(ClassTable& table) {
  ComPtr<IClassifierEngine> engine;
  Check(table.CreateInstance(CLSID_ClassifierEngine, IID_IClassifierEngine, engine.put_void()),
        "CreateInstance");
  return engine;
}

Result RunEngine(const std::vector<bench::CorpusMail>& mails, const std::string& work,
                 const std::vector<bench::CorpusMail>& fresh) {
  ClassTable table;
  RegisterClassifierEngine(table);
  const std::string key = work + "/example.com/user.dat";
  std::filesystem::create_directories(work + "/example.com");
  std::filesystem::remove(key);
  Result r;
  for (size_t i = 0; i < mails.size(); ++i) {
    const auto& mail = mails[i];
    bool spam = false;
    ComPtr<IClassifierEngine> engine = NewEngine(table);
    auto t0 = Clock::now();
    Check(engine->Classify(key, mail.header, mail.body, &spam), "Classify");
    auto t1 = Clock::now();
    r.classify_ms.push_back(Ms(t0, t1));
    r.scores.push_back(static_cast<ClassifierEngineObject*>(engine.get())->last_probability());
    r.truth.push_back(mail.spam);
    if (spam != mail.spam) {
      spam ? ++r.fp : ++r.fn;
      if (i >= mails.size() / 2) ++r.late;
      ComPtr<IClassifierEngine> mover = NewEngine(table);
      auto t2 = Clock::now();
      Check(mover->Relearn(key, mail.header, mail.body, mail.spam), "Relearn");
      r.relearn_ms.push_back(Ms(t2, Clock::now()));
    }
  }
  for (int i = 0; i < 1000; ++i) {
    ComPtr<IClassifierEngine> engine = NewEngine(table);
    auto t0 = Clock::now();
    Check(engine->GetStatistics(key, &r.stats_ham, &r.stats_spam), "GetStatistics");
    r.statistics_ms.push_back(Ms(t0, Clock::now()));
  }
  struct stat st;
  if (stat(key.c_str(), &st) == 0) {
    r.db_bytes = st.st_size;
    r.db_allocated = uint64_t(st.st_blocks) * 512;
  }
  // Speed on a database trained with the whole split, with mail it has not seen (which
  // Classify then registers, as in service); on a copy, so the figures above stay those of
  // the replay.
  const std::string copy = work + "/example.com/trained.dat";
  std::filesystem::copy_file(key, copy, std::filesystem::copy_options::overwrite_existing);
  for (const auto& mail : fresh) {
    bool spam = false;
    ComPtr<IClassifierEngine> engine = NewEngine(table);
    auto t0 = Clock::now();
    Check(engine->Classify(copy, mail.header, mail.body, &spam), "Classify");
    r.trained_classify_ms.push_back(Ms(t0, Clock::now()));
  }
  return r;
}

// Runs bogofilter on one file; returns its exit status and the spamicity it printed.
int RunBogofilter(const std::vector<std::string>& args, double* spamicity) {
  int out[2];
  if (pipe(out) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);  // its chatter
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawnp(&pid, "bogofilter", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, n);
  close(out[0]);
  if (rc != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  size_t at = text.find("spamicity=");
  if (spamicity != nullptr && at != std::string::npos)
    *spamicity = std::atof(text.c_str() + at + 10);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Result RunBogofilterReplay(const std::vector<bench::CorpusMail>& mails, const std::string& work) {
  const std::string dir = work + "/bogofilter";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  Result r;
  for (size_t i = 0; i < mails.size(); ++i) {
    const auto& mail = mails[i];
    double spamicity = 0.5;
    auto t0 = Clock::now();
    int status = RunBogofilter({"bogofilter", "-d", dir, "-u", "-v", "-I", mail.path}, &spamicity);
    r.classify_ms.push_back(Ms(t0, Clock::now()));
    if (status < 0 || status > 2) {
      std::fprintf(stderr, "bogofilter failed on %s\n", mail.path.c_str());
      std::exit(1);
    }
    const bool spam = status == 0, unsure = status == 2;
    if (unsure) RunBogofilter({"bogofilter", "-d", dir, "-n", "-I", mail.path}, nullptr);
    r.classify_ms.back() = Ms(t0, Clock::now());
    r.scores.push_back(spamicity);
    r.truth.push_back(mail.spam);
    if (spam != mail.spam) {
      spam ? ++r.fp : ++r.fn;
      if (i >= mails.size() / 2) ++r.late;
      // -S/-N take back a spam/ham registration, -s/-n make one.
      const char* fix = spam ? "-Sn" : "-Ns";
      auto t2 = Clock::now();
      RunBogofilter({"bogofilter", "-d", dir, fix, "-I", mail.path}, nullptr);
      r.relearn_ms.push_back(Ms(t2, Clock::now()));
    }
  }
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    struct stat st;
    if (stat(entry.path().c_str(), &st) == 0) {
      r.db_bytes += st.st_size;
      r.db_allocated += uint64_t(st.st_blocks) * 512;
    }
  }
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: engine_replay CORPUS_DIR [--seed N] [--no-bogofilter] [--work DIR]\n");
    return 2;
  }
  const std::string corpus = argv[1];
  uint64_t seed = 20240601;
  bool bogofilter = true;
  std::string work =
      std::filesystem::temp_directory_path() / ("engine-replay-" + std::to_string(getpid()));
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--seed" && i + 1 < argc)
      seed = std::strtoull(argv[++i], nullptr, 10);
    else if (arg == "--no-bogofilter")
      bogofilter = false;
    else if (arg == "--work" && i + 1 < argc)
      work = argv[++i];
    else {
      std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
      return 2;
    }
  }
  std::vector<bench::CorpusMail> mails = bench::LoadDevelopmentSplit(corpus);
  bench::ShuffleMails(&mails, seed);
  std::vector<bench::CorpusMail> fresh = bench::LoadHeldOut(corpus);
  bench::ShuffleMails(&fresh, seed);
  fresh.resize(std::min<size_t>(fresh.size(), 1000));
  size_t ham = std::count_if(mails.begin(), mails.end(), [](const auto& m) { return !m.spam; });
  size_t spam = mails.size() - ham;
  std::printf("online replay: %zu mails (%zu ham, %zu spam), seed %llu\n", mails.size(), ham, spam,
              static_cast<unsigned long long>(seed));

  Result engine = RunEngine(mails, work, fresh);
  Result bogo;
  if (bogofilter) bogo = RunBogofilterReplay(mails, work);
  std::filesystem::remove_all(work);

  auto row = [&](const char* name, auto engine_value, auto bogo_value) {
    std::printf("%-38s %16s %16s\n", name, engine_value.c_str(),
                bogofilter ? bogo_value.c_str() : "-");
  };
  auto count = [&](int n, size_t of) {
    char text[64];
    std::snprintf(text, sizeof text, "%d (%.2f%%)", n, 100.0 * n / of);
    return std::string(text);
  };
  auto number = [](double v, const char* format) {
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return std::string(text);
  };
  std::printf("%-38s %16s %16s\n", "", "corvalith", "bogofilter");
  row("false positives (of ham)", count(engine.fp, ham), count(bogo.fp, ham));
  row("false negatives (of spam)", count(engine.fn, spam), count(bogo.fn, spam));
  row("total errors", count(engine.fp + engine.fn, mails.size()),
      count(bogo.fp + bogo.fn, mails.size()));
  row("errors in the second half", count(engine.late, mails.size() / 2),
      count(bogo.late, mails.size() / 2));
  row("(1-ROCA)%", number(bench::OneMinusRocAreaPercent(engine.scores, engine.truth), "%.4f"),
      number(bogofilter ? bench::OneMinusRocAreaPercent(bogo.scores, bogo.truth) : 0, "%.4f"));
  row("classify median ms", number(Percentile(engine.classify_ms, 0.5), "%.3f"),
      number(Percentile(bogo.classify_ms, 0.5), "%.3f"));
  row("classify p95 ms", number(Percentile(engine.classify_ms, 0.95), "%.3f"),
      number(Percentile(bogo.classify_ms, 0.95), "%.3f"));
  row("relearn median ms", number(Percentile(engine.relearn_ms, 0.5), "%.3f"),
      number(Percentile(bogo.relearn_ms, 0.5), "%.3f"));
  row("relearn p95 ms", number(Percentile(engine.relearn_ms, 0.95), "%.3f"),
      number(Percentile(bogo.relearn_ms, 0.95), "%.3f"));
  row("classify on trained db median ms",
      number(Percentile(engine.trained_classify_ms, 0.5), "%.3f"), std::string("-"));
  row("classify on trained db p95 ms", number(Percentile(engine.trained_classify_ms, 0.95), "%.3f"),
      std::string("-"));
  row("GetStatistics median ms", number(Percentile(engine.statistics_ms, 0.5), "%.4f"),
      std::string("-"));
  row("GetStatistics answer ham/spam",
      std::to_string(engine.stats_ham) + "/" + std::to_string(engine.stats_spam), std::string("-"));
  row("database size KiB (allocated)",
      number(engine.db_bytes / 1024.0, "%.0f") + " (" +
          number(engine.db_allocated / 1024.0, "%.0f") + ")",
      number(bogo.db_bytes / 1024.0, "%.0f") + " (" + number(bogo.db_allocated / 1024.0, "%.0f") +
          ")");
  std::printf("bogofilter times include starting its process for every call.\n");
  return 0;
}
