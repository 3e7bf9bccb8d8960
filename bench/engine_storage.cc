// Measures what chose the engine's storage: the cost of one Classify-sized read (the weights
// of ~270 distinct slots, the median mail's feature count, and the ledger lookup) and one
// Relearn-sized write (those weights rewritten, durably for a process crash) in
//   - SQLite: a (slot INTEGER PRIMARY KEY, weight REAL) table, WAL journal, synchronous=NORMAL
//   - the mapped fixed-size file of classifier/user_database.h with its journal, mapped afresh
//     on every open, and with the process's mapping cache (one user; and more users in turn
//     than the cache holds, so that every open misses it)
// Opened per call, as the engine opens the user's file per save event. Run it on a quiet
// machine and with a core kept busy: page faults are what a busy virtual machine makes slow.
//
//   engine_storage [ROUNDS]
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "classifier/journaled_file.h"
#include "classifier/user_database.h"

using namespace corvalith;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kSlots = 270;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double Ms(Clock::time_point a) {
  return std::chrono::duration<double, std::milli>(Clock::now() - a).count();
}

void Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s\n", error);
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 300;
  const std::string dir =
      std::filesystem::temp_directory_path() / ("engine-storage-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::mt19937 random(1);
  const uint32_t table = 1u << UserDatabase::kTableBits;
  auto slots = [&] {
    std::vector<uint32_t> s(kSlots);
    for (auto& x : s) x = random() % table;
    std::sort(s.begin(), s.end());
    s.erase(std::unique(s.begin(), s.end()), s.end());
    return s;
  };

  // SQLite, filled with a trained user's worth of rows.
  const std::string sqlite_path = dir + "/user.sqlite";
  {
    sqlite3* db;
    sqlite3_open(sqlite_path.c_str(), &db);
    Exec(db, "PRAGMA journal_mode=WAL; CREATE TABLE w(slot INTEGER PRIMARY KEY, weight REAL);");
    Exec(db, "BEGIN");
    sqlite3_stmt* insert;
    sqlite3_prepare_v2(db, "INSERT INTO w VALUES(?, ?)", -1, &insert, nullptr);
    for (uint32_t i = 0; i < table; i += 4) {  // a quarter of the slots in use
      sqlite3_bind_int64(insert, 1, i);
      sqlite3_bind_double(insert, 2, 0.01 * (i % 100));
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    Exec(db, "COMMIT");
    sqlite3_close(db);
  }
  std::vector<double> sqlite_read, sqlite_write;
  for (int r = 0; r < rounds; ++r) {
    std::vector<uint32_t> s = slots();
    auto t0 = Clock::now();
    sqlite3* db;
    sqlite3_open(sqlite_path.c_str(), &db);
    Exec(db, "PRAGMA synchronous=NORMAL");
    sqlite3_stmt* select;
    sqlite3_prepare_v2(db, "SELECT weight FROM w WHERE slot=?", -1, &select, nullptr);
    double sum = 0;
    for (uint32_t slot : s) {
      sqlite3_bind_int64(select, 1, slot);
      if (sqlite3_step(select) == SQLITE_ROW) sum += sqlite3_column_double(select, 0);
      sqlite3_reset(select);
    }
    sqlite3_finalize(select);
    sqlite_read.push_back(Ms(t0));
    auto t1 = Clock::now();
    Exec(db, "BEGIN IMMEDIATE");
    sqlite3_stmt* upsert;
    sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO w VALUES(?, ?)", -1, &upsert, nullptr);
    for (uint32_t slot : s) {
      sqlite3_bind_int64(upsert, 1, slot);
      sqlite3_bind_double(upsert, 2, sum);
      sqlite3_step(upsert);
      sqlite3_reset(upsert);
    }
    sqlite3_finalize(upsert);
    Exec(db, "COMMIT");
    sqlite3_close(db);
    sqlite_write.push_back(Ms(t1) + sqlite_read.back());
  }

  const std::string mapped_path = dir + "/user.dat";
  struct Figures {
    std::vector<double> read, write;
  };
  // One Classify-sized read and one Relearn-sized write on each of `paths` in turn; with
  // `written_back`, the file is first written to disk, as the kernel does within about half a
  // minute of a write, which makes the next store to each mapped page fault again.
  auto measure = [&](const std::vector<std::string>& paths, bool written_back) {
    Figures figures;
    for (int r = 0; r < rounds; ++r) {
      const std::string& path = paths[r % paths.size()];
      std::vector<uint32_t> s = slots();
      if (written_back) {
        int fd = open(path.c_str(), O_RDWR);
        fdatasync(fd);
        close(fd);
      }
      auto t0 = Clock::now();
      double sum = 0;
      {
        auto db = UserDatabase::Open(path, true);
        UserDatabase::Lock lock(db.get(), false);
        for (uint32_t slot : s) sum += db->weights()[slot];
        sum += db->FindMail(r).has_value();
      }
      figures.read.push_back(Ms(t0));
      auto t1 = Clock::now();
      {
        auto db = UserDatabase::Open(path, true);
        UserDatabase::Lock lock(db.get(), true);
        UserDatabase::Update update(db.get());
        for (uint32_t slot : s)
          update.SetWeight(slot, static_cast<float>(sum + db->weights()[slot]));
        update.SetCounts(r, r);
        update.PutLedgerEntry(db->FindMail(r), {static_cast<uint64_t>(r), true, 1});
        update.Commit();
      }
      figures.write.push_back(Ms(t1));
    }
    return figures;
  };
  JournaledFile::Tuning tuning;
  tuning.cached_mappings = 0;
  JournaledFile::SetTuning(tuning);
  const Figures afresh = measure({mapped_path}, false);
  JournaledFile::SetTuning(JournaledFile::Tuning());
  const Figures cached = measure({mapped_path}, false);
  // After a pause of more than half a minute the kernel has written the pages back and the
  // process's last write is long past: simulated by writing back before each call and
  // forgetting the recent writes.
  tuning = JournaledFile::Tuning();
  tuning.still_writable = std::chrono::milliseconds(0);
  JournaledFile::SetTuning(tuning);
  const Figures paused = measure({mapped_path}, true);
  // The same with every write through the mapping, as if the process wrote a moment ago.
  tuning.still_writable = std::chrono::hours(1);
  JournaledFile::SetTuning(tuning);
  const Figures paused_mapped = measure({mapped_path}, true);
  JournaledFile::SetTuning(JournaledFile::Tuning());
  std::vector<std::string> users;
  for (size_t i = 0; i <= JournaledFile::Tuning().cached_mappings; ++i) {
    users.push_back(dir + "/user" + std::to_string(i) + ".dat");
  }
  measure(users, false);  // creates them
  const Figures missing = measure(users, false);

  std::printf("storage, %d rounds of %d weights, opened per call  median ms\n", rounds, kSlots);
  std::printf("  %-50s %8.3f\n", "SQLite WAL: read", Median(sqlite_read));
  std::printf("  %-50s %8.3f\n", "SQLite WAL: read + write transaction", Median(sqlite_write));
  auto print = [](const char* what, const Figures& figures) {
    std::printf("  %-50s %8.3f\n", (std::string(what) + ": read").c_str(), Median(figures.read));
    std::printf("  %-50s %8.3f\n", (std::string(what) + ": journaled write").c_str(),
                Median(figures.write));
  };
  print("mapped afresh per open", afresh);
  print("mapping cached, calls back to back", cached);
  print("mapping cached, a pause between calls", paused);
  print("  the same, stores through the mapping", paused_mapped);
  print("mapping cached, more users than it holds", missing);
  std::printf("  sizes: SQLite %ju KiB (+WAL %ju KiB), mapped %ju KiB\n",
              static_cast<uintmax_t>(std::filesystem::file_size(sqlite_path) / 1024),
              static_cast<uintmax_t>(std::filesystem::exists(sqlite_path + "-wal")
                                         ? std::filesystem::file_size(sqlite_path + "-wal") / 1024
                                         : 0),
              static_cast<uintmax_t>(std::filesystem::file_size(mapped_path) / 1024));
  std::filesystem::remove_all(dir);
  return 0;
}
