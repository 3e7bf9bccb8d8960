// One user's classifier database: a single fixed-size file at exactly the path the filter
// gives as the user's key, mapped into memory; a kind of journaled_file.h, which provides the
// locking, the crash-safe updates and the refusal of foreign or damaged files.
//
// Layout after the common header page and journal (little-endian, 4-byte words):
//   header words  the ham and spam mail counts, the ledger cursor, the ham and spam mails
//                 the feature counts were taken from
//   ledger        a ring of the last kLedgerCapacity registered mails: digest, class, whether
//                 it is in the feature counts, gain
//   weights       2^kTableBits floats (the linear model, model.h)
//   counts        2^kTableBits pairs of ham and spam counts (the counting model,
//                 counting_model.h)
//
// Version 1 files, without counts, are upgraded in place on first open: weights, mail counts
// and ledger are kept, and the feature counts start from the next registered mail.
//
// Why this format: a Classify touches a few hundred weights and must answer in well under a
// millisecond, so the weights are read straight from a shared mapping; SQLite or LMDB would
// add a lookup per feature. The size is fixed (about 3.3 MiB) whatever the mail volume.
//
// A UserDatabase object is for one thread at a time.
#ifndef CORVALITH_CLASSIFIER_USER_DATABASE_H_
#define CORVALITH_CLASSIFIER_USER_DATABASE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "classifier/counting_model.h"
#include "classifier/journaled_file.h"

namespace corvalith {

class UserDatabase {
 public:
  static constexpr int kTableBits = 18;
  static constexpr uint32_t kLedgerCapacity = 4096;
  // Room for a relearn of the largest mail: its weights and both counts of every slot.
  static constexpr uint32_t kJournalCapacity = 3 * 8192 + 64;

  struct LedgerEntry {
    uint64_t digest = 0;
    bool spam = false;
    float gain = 0;        // the training this registration applied, see model.h
    bool counted = false;  // whether the mail is in the feature counts
  };

  // Opens the database at `path`. When the file does not exist: creates it if `create`,
  // else returns nullptr (an unknown user). An intact file of the previous version is
  // upgraded first. Throws Failure when the file cannot be opened, created or upgraded (a
  // missing directory included) or is not an intact database; the file is then left
  // untouched.
  static std::unique_ptr<UserDatabase> Open(const std::string& path, bool create);

  UserDatabase(const UserDatabase&) = delete;
  UserDatabase& operator=(const UserDatabase&) = delete;

  // Holds the file lock for a scope; see JournaledFile::Lock.
  class Lock {
   public:
    Lock(UserDatabase* db, bool exclusive) : lock_(db->file_.get(), exclusive) {}

   private:
    JournaledFile::Lock lock_;
  };

  // Reads; REQUIRES: a Lock is held, and the pointer is not used past it.
  const float* weights() const;
  uint32_t ham_mails() const;
  uint32_t spam_mails() const;
  // The feature counts: slot s has its ham count at [2s] and its spam count at [2s + 1].
  const uint32_t* counts() const;
  CountedMails counted_mails() const;
  // The ledger slot of the mail with this digest, if it is still remembered.
  std::optional<uint32_t> FindMail(uint64_t digest) const;
  LedgerEntry ledger_entry(uint32_t index) const;

  // An update, applied all or nothing by Commit. REQUIRES: an exclusive Lock is held.
  class Update {
   public:
    explicit Update(UserDatabase* db) : db_(db), update_(db->file_.get()) {}
    void SetWeight(uint32_t slot, float value);
    void SetCounts(uint32_t ham, uint32_t spam);
    void SetSlotCounts(uint32_t slot, SlotCounts counts);
    void SetCountedMails(CountedMails mails);
    // Stores the entry at `index`, or in the next ring position when no index is given
    // (evicting the oldest mail, whose training stays in the weights).
    void PutLedgerEntry(std::optional<uint32_t> index, const LedgerEntry& entry);
    void EraseLedgerEntry(uint32_t index);
    void Commit();
    using CrashPoint = JournaledFile::Update::CrashPoint;
    // See JournaledFile::Update::CommitUntilCrashForTesting.
    void CommitUntilCrashForTesting(CrashPoint point);

   private:
    UserDatabase* db_;
    JournaledFile::Update update_;
    std::optional<uint32_t> cursor_;
  };

  const std::string& path() const { return file_->path(); }
  static uint64_t FileSize();

 private:
  explicit UserDatabase(std::unique_ptr<JournaledFile> file) : file_(std::move(file)) {}

  std::unique_ptr<JournaledFile> file_;
};

}  // namespace corvalith

#endif  // CORVALITH_CLASSIFIER_USER_DATABASE_H_
