#include "classifier/journaled_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "platform/failure.h"
#include "platform/hash.h"

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
// they reach the page cache is what makes a crash at any point recoverable.
void Fence() { std::atomic_thread_fence(std::memory_order_seq_cst); }

// flock orders the threads of one process on a shared mapping as it orders processes; a race
// detector sees no system call as ordering anything, so the lock tells it.
#if defined(__SANITIZE_THREAD__)
void LockTaken(const void* mapping) { __tsan_acquire(const_cast<void*>(mapping)); }
void LockGiven(const void* mapping) { __tsan_release(const_cast<void*>(mapping)); }
#else
void LockTaken(const void*) {}
void LockGiven(const void*) {}
#endif

Failure IoFailure(const std::string& what, const FileFormat& format, const std::string& path,
                  int err) {
  return Failure(what + " the " + format.noun + " " + path + ": " + std::strerror(err),
                 kEngineDatabaseIo);
}

// The header page of a new file: magic, version, geometry, journal capacity and their check.
void WriteHeaderPage(const FileFormat& format, uint8_t* header) {
  std::memcpy(header, format.magic.data(), format.magic.size());
  auto put = [&](uint64_t at, uint32_t word) { std::memcpy(header + at, &word, 4); };
  put(kVersionAt, format.version);
  for (size_t i = 0; i < format.geometry.size(); ++i) put(kGeometryAt + 4 * i, format.geometry[i]);
  put(JournalCapacityAt(format), format.journal_capacity);
  put(HeaderCheckAt(format), HeaderCheck(header, format));
}

// A new file of the format's size under a temporary name beside `path`, every block
// allocated: a store of a mapped page into a hole on a full disk would kill the process with
// SIGBUS, where a failed creation is just a failure status. Returns the descriptor.
int CreateTemporary(const FileFormat& format, const std::string& path, const char* purpose,
                    std::string* temp) {
  static std::atomic<uint32_t> counter{0};
  *temp = path + purpose + std::to_string(getpid()) + "." + std::to_string(counter++);
  int fd = open(temp->c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    int err = errno;
    if (err == ENOENT) {
      throw Failure("Cannot create the " + format.noun + " " + path + ": its folder does not exist",
                    kEngineDatabaseIo);
    }
    throw IoFailure("Cannot create", format, path, err);
  }
  const int err = posix_fallocate(fd, 0, static_cast<off_t>(format.size));
  if (err != 0) {
    close(fd);
    unlink(temp->c_str());
    throw IoFailure("Cannot create", format, path, err);
  }
  return fd;
}

void CreateFile(const FileFormat& format, const std::string& path) {
  std::string temp;
  const int fd = CreateTemporary(format, path, ".new.", &temp);
  uint8_t header[kPage] = {};
  WriteHeaderPage(format, header);
  int err = 0;
  bool ok = pwrite(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
  if (!ok) err = errno;
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

// Makes a rename in the folder of `path` survive a crash of the machine.
void SyncFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

struct JournaledFile::Mapping {
  Mapping(const struct stat& st, uint8_t* base)
      : dev(st.st_dev),
        ino(st.st_ino),
        size(st.st_size),
        base(base),
        written_at(new std::atomic<int64_t>[(size + kPage - 1) / kPage]()) {}
  ~Mapping() { munmap(base, size); }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  // Whether this maps the file `st` describes, whole.
  bool Maps(const struct stat& st) const {
    return st.st_dev == dev && st.st_ino == ino && static_cast<uint64_t>(st.st_size) == size;
  }

  const dev_t dev;
  const ino_t ino;
  const uint64_t size;
  uint8_t* const base;
  // When this process last wrote each page (steady clock, ms; 0: not yet), see Write().
  const std::unique_ptr<std::atomic<int64_t>[]> written_at;
};

// The process's recently used mappings by path, least recently used last. An entry holds its
// mapping alive (and with it the file's inode, so the inode number cannot be reused while
// cached); objects share it, and it is unmapped when the last of them lets go.
class JournaledFile::MappingCache {
 public:
  static MappingCache& Instance() {
    static MappingCache* cache = new MappingCache();  // never destroyed: no exit-order hazard
    return *cache;
  }

  // The cached mapping of the file `st` describes at `path`; a stale entry is dropped.
  std::shared_ptr<Mapping> Find(const std::string& path, const struct stat& st) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = index_.find(path);
    if (it == index_.end()) return nullptr;
    if (!it->second->second->Maps(st)) {
      entries_.erase(it->second);
      index_.erase(it);
      return nullptr;
    }
    entries_.splice(entries_.begin(), entries_, it->second);
    return it->second->second;
  }

  void Insert(const std::string& path, std::shared_ptr<Mapping> mapping) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (auto it = index_.find(path); it != index_.end()) {
      entries_.erase(it->second);
      index_.erase(it);
    }
    entries_.emplace_front(path, std::move(mapping));
    index_.emplace(path, entries_.begin());
    Trim();
  }

  void SetCapacity(size_t capacity) {
    std::lock_guard<std::mutex> guard(mutex_);
    capacity_ = capacity;
    Trim();
  }

 private:
  using Entry = std::pair<std::string, std::shared_ptr<Mapping>>;

  void Trim() {
    while (entries_.size() > capacity_) {
      index_.erase(entries_.back().first);
      entries_.pop_back();
    }
  }

  std::mutex mutex_;
  size_t capacity_ = Tuning().cached_mappings;
  std::list<Entry> entries_;
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

namespace {
std::atomic<int64_t> still_writable_ms{JournaledFile::Tuning().still_writable.count()};
}  // namespace

void JournaledFile::SetTuning(const Tuning& tuning) {
  MappingCache::Instance().SetCapacity(tuning.cached_mappings);
  still_writable_ms = tuning.still_writable.count();
}

std::unique_ptr<JournaledFile> JournaledFile::Open(const FileFormat& format,
                                                   const std::string& path, bool create) {
  std::unique_ptr<JournaledFile> file(new JournaledFile(format, path, create));
  if (!file->Attach()) return nullptr;
  return file;
}

JournaledFile::JournaledFile(const FileFormat& format, std::string path, bool create)
    : format_(format), path_(std::move(path)), create_(create) {}

JournaledFile::~JournaledFile() { Detach(); }

void JournaledFile::Detach() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  mapping_.reset();
  base_ = nullptr;
}

bool JournaledFile::Attach() {
  Detach();
  try {
    return AttachToPath();
  } catch (...) {
    Detach();  // a refused file is never used, not even by a later call of this object
    throw;
  }
}

bool JournaledFile::AttachToPath() {
  fd_ = open(path_.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  if (fd_ < 0 && errno == ENOENT) {
    if (!create_) return false;
    CreateFile(format_, path_);
    fd_ = open(path_.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  }
  if (fd_ < 0) throw IoFailure("Cannot open", format_, path_, errno);
  struct stat st;
  if (fstat(fd_, &st) != 0) throw IoFailure("Cannot examine", format_, path_, errno);
  if (!S_ISREG(st.st_mode)) {
    throw Failure("The " + format_.noun + " " + path_ + " is not a regular file",
                  kEngineDatabaseForeign);
  }
  MappingCache& cache = MappingCache::Instance();
  mapping_ = cache.Find(path_, st);
  if (!mapping_ || mapping_->size != format_.size) {  // the latter: a kind of another size
    // The magic first: a file of another kind is named as such whatever its size, and only
    // a file of the full size may be mapped (a page past its end would be SIGBUS).
    std::array<char, 8> magic = {};
    ssize_t got = pread(fd_, magic.data(), magic.size(), 0);
    if (got != static_cast<ssize_t>(magic.size()) || magic != format_.magic) {
      throw Foreign();
    }
    uint32_t version = 0;
    if (pread(fd_, &version, 4, kVersionAt) == 4 && version < format_.version) {
      throw Failure("The " + format_.noun + " " + path_ + " is of the older version " +
                        std::to_string(version) + " (this engine uses version " +
                        std::to_string(format_.version) + ")",
                    kEngineDatabaseOlderVersion);
    }
    if (static_cast<uint64_t>(st.st_size) != format_.size) throw Resized(st.st_size);
    // Populated: the pages are entered in one pass, where touching them one by one costs a
    // page fault each.
    void* base =
        mmap(nullptr, format_.size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_, 0);
    if (base == MAP_FAILED) throw IoFailure("Cannot map", format_, path_, errno);
    mapping_ = std::make_shared<Mapping>(st, static_cast<uint8_t*>(base));
    cache.Insert(path_, mapping_);
  }
  base_ = mapping_->base;
  // Checked on every open, cached or not: the file may have been overwritten in place.
  if (std::memcmp(base_, format_.magic.data(), format_.magic.size()) != 0) throw Foreign();
  bool intact = Word(kVersionAt) == format_.version &&
                Word(JournalCapacityAt(format_)) == format_.journal_capacity &&
                Word(HeaderCheckAt(format_)) == HeaderCheck(base_, format_);
  for (size_t i = 0; i < format_.geometry.size(); ++i) {
    if (Word(kGeometryAt + 4 * i) != format_.geometry[i]) intact = false;
  }
  if (!intact) {
    throw Failure("The " + format_.noun + " " + path_ +
                      " is damaged or of another version (header check failed)",
                  kEngineDatabaseCorrupt);
  }
  return true;
}

void JournaledFile::Upgrade(const FileFormat& from, const FileFormat& to, const std::string& path,
                            const Converter& convert) {
  std::unique_ptr<JournaledFile> old;
  try {
    old = Open(from, path, /*create=*/false);
    if (!old) return;
  } catch (const Failure&) {
    return;  // not an intact file of the old version: opening it as the new one says what it is
  }
  std::optional<Lock> lock;
  try {
    lock.emplace(old.get(), /*exclusive=*/true);  // completes a journal the old file holds
  } catch (const Failure&) {
    return;  // replaced meanwhile, by another process's upgrade
  }
  std::string temp;
  const int fd = CreateTemporary(to, path, ".upgrade.", &temp);
  bool ok = false;
  int err = 0;
  void* base = mmap(nullptr, to.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) {
    err = errno;
  } else {
    auto* image = static_cast<uint8_t*>(base);
    WriteHeaderPage(to, image);
    convert(*old, image);
    ok = msync(base, to.size, MS_SYNC) == 0 && fsync(fd) == 0;
    if (!ok) err = errno;
    munmap(base, to.size);
  }
  close(fd);
  // Written in full and on disk before it takes the old file's place: a crash leaves either.
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    throw IoFailure("Cannot upgrade", to, path, err);
  }
  SyncFolderOf(path);
}

Failure JournaledFile::Foreign() const {
  return Failure("The file " + path_ + " is not a " + format_.noun + " (unknown format)",
                 kEngineDatabaseForeign);
}

Failure JournaledFile::Resized(off_t size) const {
  return Failure("The " + format_.noun + " " + path_ + " is damaged: " + std::to_string(size) +
                     " bytes instead of " + std::to_string(format_.size),
                 kEngineDatabaseCorrupt);
}

bool JournaledFile::StillAtPath() const {
  struct stat st;
  if (!mapping_ || lstat(path_.c_str(), &st) != 0) return false;
  if (st.st_dev != mapping_->dev || st.st_ino != mapping_->ino) return false;
  // Cut or grown in place: a mapped page past the end would be SIGBUS.
  if (static_cast<uint64_t>(st.st_size) != format_.size) throw Resized(st.st_size);
  return true;
}

uint32_t JournaledFile::Word(uint64_t offset) const {
  uint32_t word;
  std::memcpy(&word, base_ + offset, 4);
  return word;
}

void JournaledFile::SetWord(uint64_t offset, uint32_t word) {
  std::memcpy(base_ + offset, &word, 4);
}

// A store into a mapped page the kernel has written back since the last store faults (the
// page is write-protected again to catch the next change), and on a virtual machine a fault
// costs as much as several system calls, far more when the host is busy. So a page this
// process wrote a moment ago, whose mapping is most likely still writable, is written through
// the mapping; any other with pwrite(), which reaches the same page of the page cache without
// a fault. The kernel writes dirty pages back about half a minute after they were dirtied; a
// page written again within Tuning::still_writable goes through the mapping, taking at most
// one fault until then.
int64_t JournaledFile::WriteClock() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
             .count() |
         1;  // never 0, which means "not yet"
}

void JournaledFile::Write(uint64_t offset, const void* data, size_t size, int64_t now) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const uint64_t page = offset / kPage;
    const size_t part = std::min<uint64_t>(size, (page + 1) * kPage - offset);
    const int64_t last = mapping_->written_at[page].exchange(now, std::memory_order_relaxed);
    if (last != 0 && now - last < still_writable_ms.load(std::memory_order_relaxed)) {
      std::memcpy(base_ + offset, bytes, part);
    } else {
      const ssize_t written = pwrite(fd_, bytes, part, static_cast<off_t>(offset));
      if (written != static_cast<ssize_t>(part)) {
        throw IoFailure("Cannot write", format_, path_, written < 0 ? errno : EIO);
      }
    }
    offset += part;
    bytes += part;
    size -= part;
  }
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
  // The file may have been removed or replaced since it was opened (by an administrator, or
  // since an earlier call of the same object): only the file now at the path is used.
  for (int attempt = 1;; ++attempt) {
    if (file_->fd_ < 0 && !file_->Attach()) {
      throw Failure("The " + file_->format_.noun + " " + file_->path_ + " was removed while in use",
                    kEngineDatabaseIo);
    }
    take(exclusive ? LOCK_EX : LOCK_SH);
    try {
      if (file_->StillAtPath()) break;
    } catch (...) {
      flock(file_->fd_, LOCK_UN);
      file_->Detach();
      throw;
    }
    flock(file_->fd_, LOCK_UN);
    file_->Detach();
    if (attempt == 3) {
      throw Failure("The " + file_->format_.noun + " " + file_->path_ +
                        " keeps being replaced by another file",
                    kEngineDatabaseIo);
    }
  }
  LockTaken(file_->mapping_.get());
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

JournaledFile::Lock::~Lock() {
  LockGiven(file_->mapping_.get());
  flock(file_->fd_, LOCK_UN);
}

void JournaledFile::Update::Put(uint64_t offset, uint32_t word) {
  writes_.emplace_back(static_cast<uint32_t>(offset), word);
}

void JournaledFile::Update::WriteJournal() {
  if (writes_.size() > file_->format_.journal_capacity) {
    throw Failure("The update of " + file_->path_ + " is larger than its journal",
                  kEngineJournalFull);
  }
  const uint32_t count = static_cast<uint32_t>(writes_.size());
  std::vector<uint32_t> entries;
  entries.reserve(size_t{count} * 2);
  for (const auto& [offset, word] : writes_) {
    entries.push_back(offset);
    entries.push_back(word);
  }
  file_->Write(kJournalAt, entries.data(), entries.size() * 4, now_);
  const uint64_t check = JournalChecksum(reinterpret_cast<const uint8_t*>(entries.data()), count);
  const uint32_t check_words[2] = {static_cast<uint32_t>(check),
                                   static_cast<uint32_t>(check >> 32)};
  file_->Write(kJournalCheckAt, check_words, sizeof check_words, now_);
  Fence();
}

void JournaledFile::Update::Mark(uint32_t count) {
  Fence();
  file_->Write(kJournalCountAt, &count, 4, now_);
  Fence();
}

void JournaledFile::Update::Apply(size_t writes) {
  // In offset order, each run of adjacent words in one write; of two writes to one word the
  // later wins, as it would in the order given.
  std::vector<std::pair<uint32_t, uint32_t>> sorted(writes_.begin(), writes_.begin() + writes);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<uint32_t> run;
  for (size_t i = 0; i < sorted.size();) {
    const uint32_t start = sorted[i].first;
    uint32_t next = start;
    run.clear();
    for (; i < sorted.size() && sorted[i].first <= next; ++i) {
      if (sorted[i].first == next) {
        run.push_back(sorted[i].second);
        next += 4;
      } else {
        run.back() = sorted[i].second;
      }
    }
    file_->Write(start, run.data(), run.size() * 4, now_);
  }
}

void JournaledFile::Update::CommitUntilCrashForTesting(CrashPoint point) {
  if (writes_.empty()) return;
  now_ = WriteClock();
  WriteJournal();
  if (point == CrashPoint::kAfterMark) {
    Mark(static_cast<uint32_t>(writes_.size()));
    Apply(writes_.size() / 2);  // as if the process died while applying
  }
  writes_.clear();
}

void JournaledFile::Update::Commit() {
  if (writes_.empty()) return;
  // One reading of the clock for every page the update writes: they are written at once.
  now_ = WriteClock();
  WriteJournal();
  Mark(static_cast<uint32_t>(writes_.size()));  // the commit point
  Apply(writes_.size());
  Mark(0);
  writes_.clear();
}

}  // namespace corvalith
