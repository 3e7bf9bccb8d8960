// One user's classifier database: a single fixed-size file at exactly the path the filter
// gives as the user's key, mapped into memory.
//
// Layout (little-endian, 4-byte words):
//   header page   magic, version and geometry (checked on every open), the ham and spam
//                 mail counts, the ledger cursor, and the journal descriptor
//   journal       a redo log of (offset, word) pairs for the update being committed
//   ledger        a ring of the last kLedgerCapacity registered mails: digest, class, gain
//   weights       2^kTableBits floats
//
// Why this format: a Classify touches a few hundred weights and must answer in well under a
// millisecond, so the weights are read straight from a shared mapping; SQLite or LMDB would
// add a lookup per feature. The size is fixed (about 1.2 MiB) whatever the mail volume.
//
// Concurrency: every call takes flock() on the file, shared to read and exclusive to write,
// so two processes (or two engine objects) never interleave updates and lose none.
// Crash safety: an update is first written in full to the journal, then marked committed by
// its checksum, then applied and cleared. A crash before the mark leaves the old state; after
// it, the next locker replays the journal (replay is idempotent). Process crashes are
// covered because the mapping is the page cache itself; the file is not fsync'd per call,
// which would cost milliseconds a store cannot wait for.
// Creation is atomic: the new image is written under a temporary name beside the key and
// linked to the key, so the key never names a half-written file.
//
// A UserDatabase object is for one thread at a time.
#ifndef CORVALITH_CLASSIFIER_USER_DATABASE_H_
#define CORVALITH_CLASSIFIER_USER_DATABASE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvalith {

// Failure numbers of the engine: the FACILITY_ITF range, as COM servers define their own.
inline constexpr int32_t kEngineDatabaseCorrupt = static_cast<int32_t>(0x80040E10);
inline constexpr int32_t kEngineDatabaseForeign = static_cast<int32_t>(0x80040E11);
inline constexpr int32_t kEngineDatabaseIo = static_cast<int32_t>(0x80040E12);
inline constexpr int32_t kEngineJournalFull = static_cast<int32_t>(0x80040E13);

class UserDatabase {
 public:
  static constexpr int kTableBits = 18;
  static constexpr uint32_t kLedgerCapacity = 4096;
  static constexpr uint32_t kJournalCapacity = 8192 + 64;

  struct LedgerEntry {
    uint64_t digest = 0;
    bool spam = false;
    float gain = 0;  // the training this registration applied, see model.h
  };

  // Opens the database at `path`. When the file does not exist: creates it if `create`,
  // else returns nullptr (an unknown user). Throws Failure when the file cannot be opened or
  // created (a missing directory included) or is not an intact database of this format; the
  // file is then left untouched.
  static std::unique_ptr<UserDatabase> Open(const std::string& path, bool create);

  ~UserDatabase();
  UserDatabase(const UserDatabase&) = delete;
  UserDatabase& operator=(const UserDatabase&) = delete;

  // Holds the file lock for a scope. A committed but unapplied journal found on locking is
  // replayed first (taking the lock exclusively for that moment if need be).
  class Lock {
   public:
    Lock(UserDatabase* db, bool exclusive);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    UserDatabase* db_;
  };

  // Reads; REQUIRES: a Lock is held.
  const float* weights() const { return weights_; }
  uint32_t ham_mails() const;
  uint32_t spam_mails() const;
  // The ledger slot of the mail with this digest, if it is still remembered.
  std::optional<uint32_t> FindMail(uint64_t digest) const;
  LedgerEntry ledger_entry(uint32_t index) const;

  // An update, applied all or nothing by Commit. REQUIRES: an exclusive Lock is held.
  class Update {
   public:
    explicit Update(UserDatabase* db) : db_(db) {}
    void SetWeight(uint32_t slot, float value);
    void SetCounts(uint32_t ham, uint32_t spam);
    // Stores the entry at `index`, or in the next ring position when no index is given
    // (evicting the oldest mail, whose training stays in the weights).
    void PutLedgerEntry(std::optional<uint32_t> index, const LedgerEntry& entry);
    void EraseLedgerEntry(uint32_t index);
    void Commit();
    // Simulates a process dying inside Commit, at or just before the commit point; for
    // tests of recovery only.
    enum class CrashPoint { kBeforeMark, kAfterMark };
    void CommitUntilCrashForTesting(CrashPoint point);

   private:
    void WriteJournal();
    void Put(uint64_t offset, uint32_t word);
    UserDatabase* db_;
    std::vector<std::pair<uint32_t, uint32_t>> writes_;
    std::optional<uint32_t> cursor_;
  };

  const std::string& path() const { return path_; }
  static uint64_t FileSize();

 private:
  UserDatabase(std::string path, int fd, uint8_t* base);
  uint32_t Word(uint64_t offset) const;
  void SetWord(uint64_t offset, uint32_t word);
  bool JournalPending() const;
  void Recover();

  std::string path_;
  int fd_;
  uint8_t* base_;
  float* weights_;
};

}  // namespace corvalith

#endif  // CORVALITH_CLASSIFIER_USER_DATABASE_H_
