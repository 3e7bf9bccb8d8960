#include "classifier/user_database.h"

#include <array>
#include <cstring>

namespace corvalith {

namespace {

// Header words.
constexpr uint64_t kHamAt = JournaledFile::kHeaderWordsAt;
constexpr uint64_t kSpamAt = kHamAt + 4;
constexpr uint64_t kCursorAt = kHamAt + 8;
constexpr uint64_t kCountedHamAt = kHamAt + 12;  // then the spam count

constexpr uint64_t kSlots = uint64_t{1} << UserDatabase::kTableBits;
constexpr uint64_t kLedgerEntryBytes = 16;

constexpr uint64_t PageAligned(uint64_t bytes) {
  return (bytes + JournaledFile::kPage - 1) / JournaledFile::kPage * JournaledFile::kPage;
}

constexpr uint64_t kLedgerAt = JournaledFile::DataOffset(UserDatabase::kJournalCapacity);
constexpr uint64_t kWeightsAt =
    kLedgerAt + PageAligned(UserDatabase::kLedgerCapacity * kLedgerEntryBytes);
constexpr uint64_t kCountsAt = kWeightsAt + kSlots * 4;
constexpr uint64_t kFileSize = kCountsAt + kSlots * 8;
static_assert(kFileSize <= 4 * 1024 * 1024, "a user's database must stay within 4 MiB");

constexpr uint32_t kEntryUsed = 1;
constexpr uint32_t kEntrySpam = 2;
constexpr uint32_t kEntryCounted = 4;

constexpr std::array<char, 8> kMagic = {'C', 'R', 'V', 'L', 'T', 'H', 'D', 'B'};

const FileFormat& UserDatabaseFormat() {
  static const FileFormat format{"classifier database",
                                 kMagic,
                                 2,
                                 {UserDatabase::kTableBits, UserDatabase::kLedgerCapacity},
                                 UserDatabase::kJournalCapacity,
                                 kFileSize};
  return format;
}

// Version 1: the same header words up to the cursor, ledger and weights, no counts.
namespace v1 {
constexpr uint32_t kJournalCapacity = 8192 + 64;
constexpr uint64_t kLedgerAt = JournaledFile::DataOffset(kJournalCapacity);
constexpr uint64_t kWeightsAt =
    kLedgerAt + PageAligned(UserDatabase::kLedgerCapacity * kLedgerEntryBytes);
constexpr uint64_t kFileSize = kWeightsAt + kSlots * 4;

const FileFormat& Format() {
  static const FileFormat format{"classifier database",
                                 kMagic,
                                 1,
                                 {UserDatabase::kTableBits, UserDatabase::kLedgerCapacity},
                                 kJournalCapacity,
                                 kFileSize};
  return format;
}
}  // namespace v1

void UpgradeFromVersion1(const std::string& path) {
  JournaledFile::Upgrade(v1::Format(), UserDatabaseFormat(), path,
                         [](const JournaledFile& old, uint8_t* image) {
                           const uint8_t* from = old.data();
                           std::memcpy(image + kHamAt, from + kHamAt, kCountedHamAt - kHamAt);
                           // Ledger entries keep their flags: none is counted yet.
                           std::memcpy(image + kLedgerAt, from + v1::kLedgerAt,
                                       UserDatabase::kLedgerCapacity * kLedgerEntryBytes);
                           std::memcpy(image + kWeightsAt, from + v1::kWeightsAt, kSlots * 4);
                         });
}

}  // namespace

uint64_t UserDatabase::FileSize() { return kFileSize; }

std::unique_ptr<UserDatabase> UserDatabase::Open(const std::string& path, bool create) {
  std::unique_ptr<JournaledFile> file;
  try {
    file = JournaledFile::Open(UserDatabaseFormat(), path, create);
  } catch (const Failure& failure) {
    if (failure.number() != kEngineDatabaseOlderVersion) throw;
    UpgradeFromVersion1(path);
    file = JournaledFile::Open(UserDatabaseFormat(), path, create);
  }
  if (!file) return nullptr;
  return std::unique_ptr<UserDatabase>(new UserDatabase(std::move(file)));
}

const float* UserDatabase::weights() const {
  return reinterpret_cast<const float*>(file_->data() + kWeightsAt);
}

uint32_t UserDatabase::ham_mails() const { return file_->Word(kHamAt); }
uint32_t UserDatabase::spam_mails() const { return file_->Word(kSpamAt); }

const uint32_t* UserDatabase::counts() const {
  return reinterpret_cast<const uint32_t*>(file_->data() + kCountsAt);
}

CountedMails UserDatabase::counted_mails() const {
  return {file_->Word(kCountedHamAt), file_->Word(kCountedHamAt + 4)};
}

std::optional<uint32_t> UserDatabase::FindMail(uint64_t digest) const {
  const uint32_t lo = static_cast<uint32_t>(digest), hi = static_cast<uint32_t>(digest >> 32);
  for (uint32_t i = 0; i < kLedgerCapacity; ++i) {
    const uint64_t at = kLedgerAt + i * kLedgerEntryBytes;
    if (file_->Word(at) == lo && file_->Word(at + 4) == hi && (file_->Word(at + 8) & kEntryUsed)) {
      return i;
    }
  }
  return std::nullopt;
}

UserDatabase::LedgerEntry UserDatabase::ledger_entry(uint32_t index) const {
  const uint64_t at = kLedgerAt + uint64_t{index % kLedgerCapacity} * kLedgerEntryBytes;
  LedgerEntry entry;
  entry.digest = file_->Word(at) | (uint64_t{file_->Word(at + 4)} << 32);
  entry.spam = (file_->Word(at + 8) & kEntrySpam) != 0;
  entry.counted = (file_->Word(at + 8) & kEntryCounted) != 0;
  uint32_t gain_bits = file_->Word(at + 12);
  std::memcpy(&entry.gain, &gain_bits, 4);
  return entry;
}

void UserDatabase::Update::SetWeight(uint32_t slot, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  update_.Put(kWeightsAt + uint64_t{slot % (1u << kTableBits)} * 4, bits);
}

void UserDatabase::Update::SetCounts(uint32_t ham, uint32_t spam) {
  update_.Put(kHamAt, ham);
  update_.Put(kSpamAt, spam);
}

void UserDatabase::Update::SetSlotCounts(uint32_t slot, SlotCounts counts) {
  update_.PutPair(kCountsAt + uint64_t{slot % kSlots} * 8, counts.ham, counts.spam);
}

void UserDatabase::Update::SetCountedMails(CountedMails mails) {
  update_.PutPair(kCountedHamAt, mails.ham, mails.spam);
}

void UserDatabase::Update::PutLedgerEntry(std::optional<uint32_t> index, const LedgerEntry& entry) {
  uint32_t i;
  if (index) {
    i = *index % kLedgerCapacity;
  } else {
    if (!cursor_) cursor_ = db_->file_->Word(kCursorAt);
    i = *cursor_ % kLedgerCapacity;
    cursor_ = (i + 1) % kLedgerCapacity;
    update_.Put(kCursorAt, *cursor_);
  }
  const uint64_t at = kLedgerAt + uint64_t{i} * kLedgerEntryBytes;
  uint32_t gain_bits;
  std::memcpy(&gain_bits, &entry.gain, 4);
  update_.Put(at, static_cast<uint32_t>(entry.digest));
  update_.Put(at + 4, static_cast<uint32_t>(entry.digest >> 32));
  update_.Put(at + 8, kEntryUsed | (entry.spam ? kEntrySpam : 0) |
                          (entry.counted ? kEntryCounted : 0));
  update_.Put(at + 12, gain_bits);
}

void UserDatabase::Update::EraseLedgerEntry(uint32_t index) {
  const uint64_t at = kLedgerAt + uint64_t{index % kLedgerCapacity} * kLedgerEntryBytes;
  for (uint64_t word = 0; word < kLedgerEntryBytes; word += 4) update_.Put(at + word, 0);
}

void UserDatabase::Update::Commit() {
  update_.Commit();
  cursor_.reset();
}

void UserDatabase::Update::CommitUntilCrashForTesting(CrashPoint point) {
  update_.CommitUntilCrashForTesting(point);
  cursor_.reset();
}

}  // namespace corvalith
