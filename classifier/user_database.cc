#include "classifier/user_database.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "classifier/hash.h"
#include "platform/failure.h"

namespace corvalith {

namespace {

constexpr char kMagic[8] = {'C', 'R', 'V', 'L', 'T', 'H', 'D', 'B'};
constexpr uint32_t kVersion = 1;
constexpr uint64_t kPage = 4096;

// Header words.
constexpr uint64_t kVersionAt = 8;
constexpr uint64_t kTableBitsAt = 12;
constexpr uint64_t kLedgerCapacityAt = 16;
constexpr uint64_t kJournalCapacityAt = 20;
constexpr uint64_t kGeometryCheckAt = 24;
constexpr uint64_t kHamAt = 64;
constexpr uint64_t kSpamAt = 68;
constexpr uint64_t kCursorAt = 72;
constexpr uint64_t kJournalCountAt = 128;
constexpr uint64_t kJournalCheckAt = 136;  // two words

constexpr uint64_t RoundUp(uint64_t n) { return (n + kPage - 1) / kPage * kPage; }
constexpr uint64_t kJournalAt = kPage;
constexpr uint64_t kLedgerAt = kJournalAt + RoundUp(UserDatabase::kJournalCapacity * 8);
constexpr uint64_t kLedgerEntryBytes = 16;
constexpr uint64_t kWeightsAt =
    kLedgerAt + RoundUp(UserDatabase::kLedgerCapacity * kLedgerEntryBytes);
constexpr uint64_t kFileSize = kWeightsAt + (uint64_t{1} << UserDatabase::kTableBits) * 4;
static_assert(kFileSize <= 2 * 1024 * 1024, "a user's database must stay within 2 MiB");

constexpr uint32_t kEntryUsed = 1;
constexpr uint32_t kEntrySpam = 2;

uint32_t GeometryCheck(const uint8_t* header) {
  return static_cast<uint32_t>(
      HashBytes(std::string_view(reinterpret_cast<const char*>(header), kGeometryCheckAt)));
}

uint64_t JournalChecksum(const uint8_t* entries, uint32_t count) {
  return HashBytes(std::string_view(reinterpret_cast<const char*>(entries), size_t{count} * 8),
                   0x243f6a8885a308d3ULL ^ count);
}

// Keeps the compiler from moving the journal's stores across each other: the order in which
// they reach the mapping is what makes a crash at any point recoverable.
void Fence() { std::atomic_thread_fence(std::memory_order_seq_cst); }

Failure IoFailure(const std::string& what, const std::string& path, int err) {
  return Failure(what + " " + path + ": " + std::strerror(err), kEngineDatabaseIo);
}

void CreateDatabaseFile(const std::string& path) {
  static std::atomic<uint32_t> counter{0};
  std::string temp = path + ".new." + std::to_string(getpid()) + "." + std::to_string(counter++);
  int fd = open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    int err = errno;
    if (err == ENOENT) {
      throw Failure("Cannot create the classifier database " + path + ": its folder does not exist",
                    kEngineDatabaseIo);
    }
    throw IoFailure("Cannot create the classifier database", path, err);
  }
  uint8_t header[kPage] = {};
  std::memcpy(header, kMagic, sizeof kMagic);
  auto put = [&](uint64_t at, uint32_t word) { std::memcpy(header + at, &word, 4); };
  put(kVersionAt, kVersion);
  put(kTableBitsAt, UserDatabase::kTableBits);
  put(kLedgerCapacityAt, UserDatabase::kLedgerCapacity);
  put(kJournalCapacityAt, UserDatabase::kJournalCapacity);
  put(kGeometryCheckAt, GeometryCheck(header));
  // Every block is allocated now: a store of a mapped page into a hole on a full disk would
  // kill the process with SIGBUS, where a failed creation is just a failure status.
  int err = posix_fallocate(fd, 0, static_cast<off_t>(kFileSize));
  bool ok = err == 0;
  if (ok && pwrite(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
    ok = false;
    err = errno;
  }
  close(fd);
  // link() refuses to replace: when another process created the user meanwhile, its file
  // (and whatever it already learned) wins and ours is discarded.
  if (ok && link(temp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
    ok = false;
    err = errno;
  }
  unlink(temp.c_str());
  if (!ok) throw IoFailure("Cannot create the classifier database", path, err);
}

}  // namespace

uint64_t UserDatabase::FileSize() { return kFileSize; }

std::unique_ptr<UserDatabase> UserDatabase::Open(const std::string& path, bool create) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0 && errno == ENOENT) {
    if (!create) return nullptr;
    CreateDatabaseFile(path);
    fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  }
  if (fd < 0) throw IoFailure("Cannot open the classifier database", path, errno);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    throw IoFailure("Cannot examine the classifier database", path, err);
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    throw Failure("The classifier database " + path + " is not a regular file",
                  kEngineDatabaseForeign);
  }
  char magic[sizeof kMagic] = {};
  ssize_t got = pread(fd, magic, sizeof magic, 0);
  if (got != static_cast<ssize_t>(sizeof magic) || std::memcmp(magic, kMagic, sizeof magic) != 0) {
    close(fd);
    throw Failure("The file " + path + " is not a classifier database (unknown format)",
                  kEngineDatabaseForeign);
  }
  if (static_cast<uint64_t>(st.st_size) != kFileSize) {
    close(fd);
    throw Failure("The classifier database " + path + " is damaged: " + std::to_string(st.st_size) +
                      " bytes instead of " + std::to_string(kFileSize),
                  kEngineDatabaseCorrupt);
  }
  void* base = mmap(nullptr, kFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) {
    int err = errno;
    close(fd);
    throw IoFailure("Cannot map the classifier database", path, err);
  }
  std::unique_ptr<UserDatabase> db(new UserDatabase(path, fd, static_cast<uint8_t*>(base)));
  if (db->Word(kVersionAt) != kVersion || db->Word(kTableBitsAt) != kTableBits ||
      db->Word(kLedgerCapacityAt) != kLedgerCapacity ||
      db->Word(kJournalCapacityAt) != kJournalCapacity ||
      db->Word(kGeometryCheckAt) != GeometryCheck(db->base_)) {
    throw Failure("The classifier database " + path +
                      " is damaged or of another version (header check failed)",
                  kEngineDatabaseCorrupt);
  }
  return db;
}

UserDatabase::UserDatabase(std::string path, int fd, uint8_t* base)
    : path_(std::move(path)),
      fd_(fd),
      base_(base),
      weights_(reinterpret_cast<float*>(base + kWeightsAt)) {}

UserDatabase::~UserDatabase() {
  munmap(base_, kFileSize);
  close(fd_);
}

uint32_t UserDatabase::Word(uint64_t offset) const {
  uint32_t word;
  std::memcpy(&word, base_ + offset, 4);
  return word;
}

void UserDatabase::SetWord(uint64_t offset, uint32_t word) {
  std::memcpy(base_ + offset, &word, 4);
}

uint32_t UserDatabase::ham_mails() const { return Word(kHamAt); }
uint32_t UserDatabase::spam_mails() const { return Word(kSpamAt); }

std::optional<uint32_t> UserDatabase::FindMail(uint64_t digest) const {
  const uint32_t lo = static_cast<uint32_t>(digest), hi = static_cast<uint32_t>(digest >> 32);
  for (uint32_t i = 0; i < kLedgerCapacity; ++i) {
    const uint64_t at = kLedgerAt + i * kLedgerEntryBytes;
    if (Word(at) == lo && Word(at + 4) == hi && (Word(at + 8) & kEntryUsed)) return i;
  }
  return std::nullopt;
}

UserDatabase::LedgerEntry UserDatabase::ledger_entry(uint32_t index) const {
  const uint64_t at = kLedgerAt + uint64_t{index % kLedgerCapacity} * kLedgerEntryBytes;
  LedgerEntry entry;
  entry.digest = Word(at) | (uint64_t{Word(at + 4)} << 32);
  entry.spam = (Word(at + 8) & kEntrySpam) != 0;
  uint32_t gain_bits = Word(at + 12);
  std::memcpy(&entry.gain, &gain_bits, 4);
  return entry;
}

bool UserDatabase::JournalPending() const { return Word(kJournalCountAt) != 0; }

void UserDatabase::Recover() {
  const uint32_t count = Word(kJournalCountAt);
  if (count == 0) return;
  const uint64_t check = Word(kJournalCheckAt) | (uint64_t{Word(kJournalCheckAt + 4)} << 32);
  bool intact = count <= kJournalCapacity && JournalChecksum(base_ + kJournalAt, count) == check;
  if (intact) {
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t offset = Word(kJournalAt + uint64_t{i} * 8);
      if (offset < kLedgerAt && offset != kHamAt && offset != kSpamAt && offset != kCursorAt) {
        intact = false;  // a committed journal only ever touches these
      }
      if (offset % 4 != 0 || offset >= kFileSize) intact = false;
    }
  }
  // A journal whose checksum does not match was never committed (its writer died before the
  // mark), so nothing of it reached the data and dropping it restores the state before.
  if (intact) {
    for (uint32_t i = 0; i < count; ++i) {
      SetWord(Word(kJournalAt + uint64_t{i} * 8), Word(kJournalAt + uint64_t{i} * 8 + 4));
    }
  }
  Fence();
  SetWord(kJournalCountAt, 0);
}

UserDatabase::Lock::Lock(UserDatabase* db, bool exclusive) : db_(db) {
  auto take = [&](int operation) {
    while (flock(db_->fd_, operation) != 0) {
      if (errno != EINTR) throw IoFailure("Cannot lock the classifier database", db_->path_, errno);
    }
  };
  take(exclusive ? LOCK_EX : LOCK_SH);
  if (!db_->JournalPending()) return;
  try {
    if (!exclusive) take(LOCK_EX);
    db_->Recover();
    if (!exclusive) take(LOCK_SH);
  } catch (...) {
    flock(db_->fd_, LOCK_UN);
    throw;
  }
}

UserDatabase::Lock::~Lock() { flock(db_->fd_, LOCK_UN); }

void UserDatabase::Update::Put(uint64_t offset, uint32_t word) {
  writes_.emplace_back(static_cast<uint32_t>(offset), word);
}

void UserDatabase::Update::SetWeight(uint32_t slot, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  Put(kWeightsAt + uint64_t{slot % (1u << kTableBits)} * 4, bits);
}

void UserDatabase::Update::SetCounts(uint32_t ham, uint32_t spam) {
  Put(kHamAt, ham);
  Put(kSpamAt, spam);
}

void UserDatabase::Update::PutLedgerEntry(std::optional<uint32_t> index, const LedgerEntry& entry) {
  uint32_t i;
  if (index) {
    i = *index % kLedgerCapacity;
  } else {
    if (!cursor_) cursor_ = db_->Word(kCursorAt);
    i = *cursor_ % kLedgerCapacity;
    cursor_ = (i + 1) % kLedgerCapacity;
    Put(kCursorAt, *cursor_);
  }
  const uint64_t at = kLedgerAt + uint64_t{i} * kLedgerEntryBytes;
  uint32_t gain_bits;
  std::memcpy(&gain_bits, &entry.gain, 4);
  Put(at, static_cast<uint32_t>(entry.digest));
  Put(at + 4, static_cast<uint32_t>(entry.digest >> 32));
  Put(at + 8, kEntryUsed | (entry.spam ? kEntrySpam : 0));
  Put(at + 12, gain_bits);
}

void UserDatabase::Update::EraseLedgerEntry(uint32_t index) {
  const uint64_t at = kLedgerAt + uint64_t{index % kLedgerCapacity} * kLedgerEntryBytes;
  for (uint64_t word = 0; word < kLedgerEntryBytes; word += 4) Put(at + word, 0);
}

void UserDatabase::Update::WriteJournal() {
  if (writes_.size() > kJournalCapacity) {
    throw Failure("The update of " + db_->path_ + " is larger than its journal",
                  kEngineJournalFull);
  }
  const uint32_t count = static_cast<uint32_t>(writes_.size());
  for (uint32_t i = 0; i < count; ++i) {
    db_->SetWord(kJournalAt + uint64_t{i} * 8, writes_[i].first);
    db_->SetWord(kJournalAt + uint64_t{i} * 8 + 4, writes_[i].second);
  }
  const uint64_t check = JournalChecksum(db_->base_ + kJournalAt, count);
  db_->SetWord(kJournalCheckAt, static_cast<uint32_t>(check));
  db_->SetWord(kJournalCheckAt + 4, static_cast<uint32_t>(check >> 32));
  Fence();
}

void UserDatabase::Update::CommitUntilCrashForTesting(CrashPoint point) {
  if (writes_.empty()) return;
  WriteJournal();
  if (point == CrashPoint::kAfterMark) {
    db_->SetWord(kJournalCountAt, static_cast<uint32_t>(writes_.size()));
    // Half of the data written, as if the process died while applying.
    for (size_t i = 0; i < writes_.size() / 2; ++i)
      db_->SetWord(writes_[i].first, writes_[i].second);
  }
  writes_.clear();
  cursor_.reset();
}

void UserDatabase::Update::Commit() {
  if (writes_.empty()) return;
  WriteJournal();
  db_->SetWord(kJournalCountAt, static_cast<uint32_t>(writes_.size()));  // the commit point
  Fence();
  for (const auto& [offset, word] : writes_) db_->SetWord(offset, word);
  Fence();
  db_->SetWord(kJournalCountAt, 0);
  writes_.clear();
  cursor_.reset();
}

}  // namespace corvalith
