// What `corvalith report` costs on a large verdict history: a history of N rows (default
// 1,000,000: 20 users of 2 domains over 90 days, a mail server's mix of spam, ham, trusted
// senders and the users' corrections) is written into a temporary home, then `corvalith report`
// and `corvalith report --html` run on it, each as a child process, and their wall time and peak
// resident memory (getrusage of the child) are printed. The aim: under 5 s and under 200 MiB.
//
//   report_bench [--rows N] [--corvalith PATH] [--keep]
//
// The figures are printed, not checked: this is no test.
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "history/verdict_history.h"
#include "platform/testing/temp_directory.h"

namespace corvalith {
namespace {

constexpr int kUsers = 20;
constexpr int kDays = 90;

struct Child {
  int status = -1;
  double seconds = 0;
  double peak_mib = 0;
};

// Runs the command with its stdout on /dev/null; its exit status, wall time and peak RSS.
Child Run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::fflush(stdout);  // or the child writes what is buffered once more
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (freopen("/dev/null", "w", stdout) == nullptr) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  Child child;
  struct rusage usage {};
  int status = 0;
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return child;
  child.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  child.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  child.peak_mib = static_cast<double>(usage.ru_maxrss) / 1024;  // ru_maxrss is in KiB
  return child;
}

std::string Mailbox(int user) {
  return "user" + std::to_string(user) + "@" + (user % 2 == 0 ? "example.com" : "example.org");
}

void Check(sqlite3* db, int rc) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "report_bench: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
}

// Writes `rows` rows spread evenly over the last kDays days before `now`: per 100 mails about
// 45 spam, 50 ham (5 of them forced by a trusted sender), 2 without verdict, and 3 moves, of
// which 2 are false negatives and 0.5 false positives.
void Fill(const std::string& path, int64_t rows, int64_t now) {
  auto history = history::VerdictHistory::OpenForWriting(path, /*keep_days=*/0);
  sqlite3* db = history->database();
  Check(db, sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr));
  sqlite3_stmt* insert = nullptr;
  Check(db, sqlite3_prepare_v2(
                db,
                "INSERT INTO verdicts(time, mailbox, domain, folder, item, message_id, sender,"
                " subject, event, verdict, marker, reason, trusted, moved, score,"
                " earlier_verdict, correction) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                -1, &insert, nullptr));
  std::mt19937_64 random(20261209);
  std::uniform_real_distribution<double> unit(0, 1);
  const int64_t start = now - int64_t{kDays} * history::kSecondsPerDay;
  for (int64_t i = 0; i < rows; ++i) {
    const int user = static_cast<int>(random() % kUsers);
    const std::string mailbox = Mailbox(user);
    const std::string domain = mailbox.substr(mailbox.find('@') + 1);
    const int64_t time = start + i * (now - start) / rows;
    const double draw = unit(random);
    const bool move = draw >= 0.97;
    std::string verdict = draw < 0.45 ? "spam" : draw < 0.95 ? "ham" : draw < 0.97 ? "none" : "";
    std::string correction, earlier;
    if (move) {
      const double kind = unit(random);
      verdict = kind < 0.67 ? "spam" : "ham";
      earlier = verdict == "spam" ? "ham" : "spam";
      correction = kind < 0.67 ? "false negative" : kind < 0.83 ? "false positive" : "";
    }
    const bool forced = !move && verdict == "ham" && draw >= 0.90;
    const std::string n = std::to_string(i);
    sqlite3_reset(insert);
    sqlite3_bind_int64(insert, 1, time);
    sqlite3_bind_text(insert, 2, mailbox.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 3, domain.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 4, verdict == "spam" ? "Junk E-mail" : "Inbox", -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 5, ("6B18E0C9-06C0D-" + n + ".EML").c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 6, ("<" + n + "@sender.example>").c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(
        insert, 7,
        ("Sender " + std::to_string(random() % 5000) + " <s@host" + n.substr(0, 3) + ".example>")
            .c_str(),
        -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 8,
                      ("A subject of some sixty bytes, as mail has them, number " + n).c_str(), -1,
                      SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 9, move ? "move" : "delivery", -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 10, verdict.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(insert, 11, verdict == "spam" ? 2 : verdict == "ham" ? 1 : 0);
    sqlite3_bind_text(insert, 12,
                      move     ? "swapped"
                      : forced ? "forced"
                               : "parsed",
                      -1, SQLITE_STATIC);
    sqlite3_bind_text(insert, 13, forced ? "WL" : "", -1, SQLITE_STATIC);
    sqlite3_bind_int(insert, 14, !move && verdict == "spam");
    if (forced || move || verdict == "none") {
      sqlite3_bind_null(insert, 15);
    } else {
      sqlite3_bind_double(insert, 15, verdict == "spam" ? 0.9 : 0.1);
    }
    if (move) {
      sqlite3_bind_text(insert, 16, earlier.c_str(), -1, SQLITE_TRANSIENT);
    } else {
      sqlite3_bind_null(insert, 16);
    }
    sqlite3_bind_text(insert, 17, correction.c_str(), -1, SQLITE_TRANSIENT);
    Check(db, sqlite3_step(insert));
  }
  sqlite3_finalize(insert);
  Check(db, sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr));
}

int Main(int argc, char** argv) {
  int64_t rows = 1'000'000;
  std::string binary = CORVALITH_BINARY;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--rows" && i + 1 < argc) {
      rows = std::atoll(argv[++i]);
    } else if (arg == "--corvalith" && i + 1 < argc) {
      binary = argv[++i];
    } else if (arg == "--keep") {
      keep = true;
    } else {
      std::fprintf(stderr, "usage: report_bench [--rows N] [--corvalith PATH] [--keep]\n");
      return 2;
    }
  }
  testing::TempDirectory temp("corvalith-report-bench");
  const std::string home = temp.File("home");
  if (Run({binary, "--home", home, "init"}).status != 0) return 1;
  for (int user = 0; user < kUsers; ++user) {
    if (Run({binary, "--home", home, "mailbox", "add", Mailbox(user)}).status != 0) return 1;
  }
  const auto fill_start = std::chrono::steady_clock::now();
  Fill(home + "/history.db", rows, static_cast<int64_t>(std::time(nullptr)));
  const double fill =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - fill_start).count();
  std::printf("history: %lld rows, %d users, %d days, %.1f MiB, written in %.1f s\n",
              static_cast<long long>(rows), kUsers, kDays,
              static_cast<double>(std::filesystem::file_size(home + "/history.db")) / (1 << 20),
              fill);
  int status = 0;
  for (bool html : {false, true}) {
    std::vector<std::string> args = {binary, "--home", home, "report"};
    if (html) args.insert(args.end(), {"--html", temp.File("report.html")});
    const Child child = Run(args);
    std::printf("corvalith report%s: %.2f s wall, peak RSS %.1f MiB, exit %d\n",
                html ? " --html" : "", child.seconds, child.peak_mib, child.status);
    if (child.status != 0) status = 1;
  }
  if (keep) {
    const std::string kept = temp.path() + "-kept";
    std::filesystem::rename(temp.path(), kept);
    std::printf("home kept in %s/home\n", kept.c_str());
  }
  return status;
}

}  // namespace
}  // namespace corvalith

int main(int argc, char** argv) { return corvalith::Main(argc, argv); }
