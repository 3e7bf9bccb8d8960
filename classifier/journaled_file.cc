#include "classifier/journaled_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "classifier/hash.h"
#include "platform/failure.h"

namespace corvalith {

namespace {

constexpr uint64_t kPage = JournaledFile::kPage;
constexpr uint64_t kVersionAt = 8;
constexpr uint64_t kGeometryAt = 12;
constexpr uint64_t kJournalCountAt = 128;
constexpr uint64_t kJournalCheckAt = 136;  // two words
constexpr uint64_t kJournalAt = kPage;

// The header words from the version to the journal capacity, then their check.
uint64_t JournalCapacityAt(const FileFormat& format) {
  return kGeometryAt + 4 * format.geometry.size();
}
uint64_t HeaderCheckAt(const FileFormat& format) { return JournalCapacityAt(format) + 4; }

uint32_t HeaderCheck(const uint8_t* header, const FileFormat& format) {
  return static_cast<uint32_t>(
      HashBytes(std::string_view(reinterpret_cast<const char*>(header), HeaderCheckAt(format))));
}

uint64_t JournalChecksum(const uint8_t* entries, uint32_t count) {
  return HashBytes(std::string_view(reinterpret_cast<const char*>(entries), size_t{count} * 8),
                   0x243f6a8885a308d3ULL ^ count);
}

// Keeps the compiler from moving the journal's stores across each other: the order in which
// they reach the mapping is what makes a crash at any point recoverable.
void Fence() { std::atomic_thread_fence(std::memory_order_seq_cst); }

Failure IoFailure(const std::string& what, const FileFormat& format, const std::string& path,
                  int err) {
  return Failure(what + " the " + format.noun + " " + path + ": " + std::strerror(err),
                 kEngineDatabaseIo);
}

void CreateFile(const FileFormat& format, const std::string& path) {
  static std::atomic<uint32_t> counter{0};
  std::string temp = path + ".new." + std::to_string(getpid()) + "." + std::to_string(counter++);
  int fd = open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    int err = errno;
    if (err == ENOENT) {
      throw Failure("Cannot create the " + format.noun + " " + path + ": its folder does not exist",
                    kEngineDatabaseIo);
    }
    throw IoFailure("Cannot create", format, path, err);
  }
  uint8_t header[kPage] = {};
  std::memcpy(header, format.magic.data(), format.magic.size());
  auto put = [&](uint64_t at, uint32_t word) { std::memcpy(header + at, &word, 4); };
  put(kVersionAt, format.version);
  for (size_t i = 0; i < format.geometry.size(); ++i) put(kGeometryAt + 4 * i, format.geometry[i]);
  put(JournalCapacityAt(format), format.journal_capacity);
  put(HeaderCheckAt(format), HeaderCheck(header, format));
  // Every block is allocated now: a store of a mapped page into a hole on a full disk would
  // kill the process with SIGBUS, where a failed creation is just a failure status.
  int err = posix_fallocate(fd, 0, static_cast<off_t>(format.size));
  bool ok = err == 0;
  if (ok && pwrite(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
    ok = false;
    err = errno;
  }
  close(fd);
  // link() refuses to replace: when another process created the file meanwhile, its file
  // (and whatever it already holds) wins and ours is discarded.
  if (ok && link(temp.c_str(), path.c_str()) != 0 && errno != EEXIST) {
    ok = false;
    err = errno;
  }
  unlink(temp.c_str());
  if (!ok) throw IoFailure("Cannot create", format, path, err);
}

}  // namespace

std::unique_ptr<JournaledFile> JournaledFile::Open(const FileFormat& format,
                                                   const std::string& path, bool create) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0 && errno == ENOENT) {
    if (!create) return nullptr;
    CreateFile(format, path);
    fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  }
  if (fd < 0) throw IoFailure("Cannot open", format, path, errno);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    throw IoFailure("Cannot examine", format, path, err);
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    throw Failure("The " + format.noun + " " + path + " is not a regular file",
                  kEngineDatabaseForeign);
  }
  std::array<char, 8> magic = {};
  ssize_t got = pread(fd, magic.data(), magic.size(), 0);
  if (got != static_cast<ssize_t>(magic.size()) || magic != format.magic) {
    close(fd);
    throw Failure("The file " + path + " is not a " + format.noun + " (unknown format)",
                  kEngineDatabaseForeign);
  }
  if (static_cast<uint64_t>(st.st_size) != format.size) {
    close(fd);
    throw Failure("The " + format.noun + " " + path + " is damaged: " + std::to_string(st.st_size) +
                      " bytes instead of " + std::to_string(format.size),
                  kEngineDatabaseCorrupt);
  }
  void* base = mmap(nullptr, format.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) {
    int err = errno;
    close(fd);
    throw IoFailure("Cannot map", format, path, err);
  }
  std::unique_ptr<JournaledFile> file(
      new JournaledFile(format, path, fd, static_cast<uint8_t*>(base)));
  bool intact = file->Word(kVersionAt) == format.version &&
                file->Word(JournalCapacityAt(format)) == format.journal_capacity &&
                file->Word(HeaderCheckAt(format)) == HeaderCheck(file->base_, format);
  for (size_t i = 0; i < format.geometry.size(); ++i) {
    if (file->Word(kGeometryAt + 4 * i) != format.geometry[i]) intact = false;
  }
  if (!intact) {
    throw Failure("The " + format.noun + " " + path +
                      " is damaged or of another version (header check failed)",
                  kEngineDatabaseCorrupt);
  }
  return file;
}

JournaledFile::JournaledFile(const FileFormat& format, std::string path, int fd, uint8_t* base)
    : format_(format), path_(std::move(path)), fd_(fd), base_(base) {}

JournaledFile::~JournaledFile() {
  munmap(base_, format_.size);
  close(fd_);
}

uint32_t JournaledFile::Word(uint64_t offset) const {
  uint32_t word;
  std::memcpy(&word, base_ + offset, 4);
  return word;
}

void JournaledFile::SetWord(uint64_t offset, uint32_t word) {
  std::memcpy(base_ + offset, &word, 4);
}

bool JournaledFile::JournalPending() const { return Word(kJournalCountAt) != 0; }

void JournaledFile::Recover() {
  const uint32_t count = Word(kJournalCountAt);
  if (count == 0) return;
  const uint64_t check = Word(kJournalCheckAt) | (uint64_t{Word(kJournalCheckAt + 4)} << 32);
  bool intact =
      count <= format_.journal_capacity && JournalChecksum(base_ + kJournalAt, count) == check;
  if (intact) {
    const uint64_t data_at = DataOffset(format_.journal_capacity);
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t offset = Word(kJournalAt + uint64_t{i} * 8);
      const bool header_word = offset >= kHeaderWordsAt && offset < kHeaderWordsEnd;
      // A committed journal only ever touches these.
      if (offset % 4 != 0 || offset >= format_.size || (offset < data_at && !header_word)) {
        intact = false;
      }
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

JournaledFile::Lock::Lock(JournaledFile* file, bool exclusive) : file_(file) {
  auto take = [&](int operation) {
    while (flock(file_->fd_, operation) != 0) {
      if (errno != EINTR) throw IoFailure("Cannot lock", file_->format_, file_->path_, errno);
    }
  };
  take(exclusive ? LOCK_EX : LOCK_SH);
  if (!file_->JournalPending()) return;
  try {
    if (!exclusive) take(LOCK_EX);
    file_->Recover();
    if (!exclusive) take(LOCK_SH);
  } catch (...) {
    flock(file_->fd_, LOCK_UN);
    throw;
  }
}

JournaledFile::Lock::~Lock() { flock(file_->fd_, LOCK_UN); }

void JournaledFile::Update::Put(uint64_t offset, uint32_t word) {
  writes_.emplace_back(static_cast<uint32_t>(offset), word);
}

void JournaledFile::Update::WriteJournal() {
  if (writes_.size() > file_->format_.journal_capacity) {
    throw Failure("The update of " + file_->path_ + " is larger than its journal",
                  kEngineJournalFull);
  }
  const uint32_t count = static_cast<uint32_t>(writes_.size());
  for (uint32_t i = 0; i < count; ++i) {
    file_->SetWord(kJournalAt + uint64_t{i} * 8, writes_[i].first);
    file_->SetWord(kJournalAt + uint64_t{i} * 8 + 4, writes_[i].second);
  }
  const uint64_t check = JournalChecksum(file_->base_ + kJournalAt, count);
  file_->SetWord(kJournalCheckAt, static_cast<uint32_t>(check));
  file_->SetWord(kJournalCheckAt + 4, static_cast<uint32_t>(check >> 32));
  Fence();
}

void JournaledFile::Update::CommitUntilCrashForTesting(CrashPoint point) {
  if (writes_.empty()) return;
  WriteJournal();
  if (point == CrashPoint::kAfterMark) {
    file_->SetWord(kJournalCountAt, static_cast<uint32_t>(writes_.size()));
    // Half of the data written, as if the process died while applying.
    for (size_t i = 0; i < writes_.size() / 2; ++i) {
      file_->SetWord(writes_[i].first, writes_[i].second);
    }
  }
  writes_.clear();
}

void JournaledFile::Update::Commit() {
  if (writes_.empty()) return;
  WriteJournal();
  file_->SetWord(kJournalCountAt, static_cast<uint32_t>(writes_.size()));  // the commit point
  Fence();
  for (const auto& [offset, word] : writes_) file_->SetWord(offset, word);
  Fence();
  file_->SetWord(kJournalCountAt, 0);
  writes_.clear();
}

}  // namespace corvalith
