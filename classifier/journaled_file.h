// A fixed-size file of the engine, mapped into memory, locked per call and updated through a
// redo journal. The per-user database (user_database.h) is one kind of such file; any other
// file the engine keeps with the same safety is another kind, described by a FileFormat.
//
// Layout every kind shares (little-endian 4-byte words):
//   page 0, bytes 0-63     magic (8 bytes), version, the kind's geometry words, the journal
//                          capacity, a check of all these (verified on every open)
//   page 0, bytes 64-127   the kind's header words (counts, cursors); written by updates
//   page 0, bytes 128-143  the journal descriptor: entry count (the commit mark), checksum
//   from page 1            the journal: up to journal_capacity (offset, word) pairs
//   DataOffset(...) on      the kind's data, up to format.size
//
// Concurrency: every call takes flock() on the file, shared to read and exclusive to write,
// so two processes (or two objects) never interleave updates and lose none.
// Cost: a call's cost is mostly the page faults it takes, and far more so on a busy virtual
// machine. So a process-wide cache keeps the mappings of the last files opened (Tuning), and
// a call touches pages already mapped; a page not written lately is written with pwrite(),
// since a store into a page the kernel has written back faults again. Each object still opens
// its own descriptor (so flock separates threads as it separates processes) and uses a kept
// mapping only when it maps that very file (device, inode and size). Under every lock the path
// is examined again: a file removed, replaced or resized since it was opened is never read or
// written; the object moves to the file now at the path, or fails when there is none and it
// may not create one (so a pointer from data() is valid only under the Lock it was read under).
// Crash safety: an update is first written in full to the journal, then marked committed by
// its count beside its checksum, then applied and the count cleared. A crash before the mark
// leaves the old state; after it, the next locker replays the journal (replay is idempotent).
// Process crashes are covered because every write goes straight to the page cache; the file
// is not fsync'd per call, which would cost milliseconds a store cannot wait for.
// Creation is atomic: the new image (header page, every block allocated, the rest zero) is
// written under a temporary name beside the path and linked to the path, so the path never
// names a half-written file and a racing creator's file wins.
// Refusal: a file at the path that is not a regular file, has another magic, another size or
// a header that fails its check is reported as a Failure naming the path and never written.
//
// Defining another kind of file:
//   1. Describe it once, with its own magic and noun (the noun names it in every failure):
//        const FileFormat& SiteModelFormat() {
//          static const FileFormat format{"site model", {'C','R','V','L','T','H','S','M'}, 1,
//                                         {kSiteBits}, kSiteJournalCapacity, kSiteSize};
//          return format;
//        }
//      Raise the version whenever the layout or the meaning of what is stored changes
//      (feature phrases and seeds included: they decide what each weight and count is for):
//      a file of an older version is then refused as such (kEngineDatabaseOlderVersion) and
//      never misread; the kind may upgrade it in place with Upgrade().
//   2. Lay its data out from DataOffset(journal_capacity) to format.size (4-byte aligned; the
//      size must stay below 4 GiB because journal offsets are 32-bit), and its small mutable
//      header values in the header words [kHeaderWordsAt, kHeaderWordsEnd).
//   3. Wrap a JournaledFile as UserDatabase does: Open(format, path, create); per call a Lock;
//      reads through data() and Word(); writes collected in one Update and Commit()ted, so
//      they reach the file all or nothing. An update may write at most journal_capacity words.
// A JournaledFile object is for one thread at a time; distinct objects on the same path may
// be used from distinct threads and processes at once.
#ifndef CORVALITH_CLASSIFIER_JOURNALED_FILE_H_
#define CORVALITH_CLASSIFIER_JOURNALED_FILE_H_

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/failure.h"

namespace corvalith {

// Failure numbers of the engine: the FACILITY_ITF range, as COM servers define their own.
inline constexpr int32_t kEngineDatabaseCorrupt = static_cast<int32_t>(0x80040E10);
inline constexpr int32_t kEngineDatabaseForeign = static_cast<int32_t>(0x80040E11);
inline constexpr int32_t kEngineDatabaseIo = static_cast<int32_t>(0x80040E12);
inline constexpr int32_t kEngineJournalFull = static_cast<int32_t>(0x80040E13);
// A file of the kind written by an earlier version of the engine: its kind may upgrade it
// (JournaledFile::Upgrade); it is never read as the current version.
inline constexpr int32_t kEngineDatabaseOlderVersion = static_cast<int32_t>(0x80040E14);

struct FileFormat {
  std::string noun;           // "classifier database": how failures name the file
  std::array<char, 8> magic;  // the first 8 bytes of every file of this kind
  uint32_t version;
  std::vector<uint32_t> geometry;  // at most 11 words describing the layout
  uint32_t journal_capacity;       // words one update may write
  uint64_t size;                   // of the whole file, a multiple of 4
};

class JournaledFile {
 public:
  static constexpr uint64_t kHeaderWordsAt = 64;
  static constexpr uint64_t kHeaderWordsEnd = 128;
  static constexpr uint64_t kPage = 4096;

  // Where the kind's data may start: past the header page and the journal.
  static constexpr uint64_t DataOffset(uint32_t journal_capacity) {
    return kPage + (uint64_t{journal_capacity} * 8 + kPage - 1) / kPage * kPage;
  }

  // Opens the file at `path`. When it does not exist: creates it if `create`, else returns
  // nullptr. Throws Failure when the file cannot be opened or created (a missing directory
  // included) or is not an intact file of this format; the file is then left untouched.
  // `format` must outlive the object.
  static std::unique_ptr<JournaledFile> Open(const FileFormat& format, const std::string& path,
                                             bool create);

  // How the process keeps files mapped; the defaults suit the engine.
  struct Tuning {
    // Mappings kept for later opens, the least recently used dropped first; 0 maps every
    // file afresh per open.
    size_t cached_mappings = 64;
    // How long after this process wrote a page it writes the page again through the mapping
    // rather than with pwrite() (see Write in journaled_file.cc).
    std::chrono::milliseconds still_writable{10'000};
  };
  // Thread-safe; for benchmarks and tests.
  static void SetTuning(const Tuning& tuning);

  // Writes the data and header words of a file of the new format from the intact old file.
  using Converter = std::function<void(const JournaledFile& old, uint8_t* image)>;
  // Replaces the intact file of `from` at `path` by one of `to` that `convert` fills, under
  // the old file's exclusive lock (so its journal is completed first and no update is lost).
  // Crash-safe: the new file is written in full and synced under a temporary name beside the
  // path, then renamed over the old one. A file at the path that is not an intact file of
  // `from` is left alone: another process may have upgraded it, and opening it as `to` says
  // what it is. Throws Failure when the new file cannot be written.
  static void Upgrade(const FileFormat& from, const FileFormat& to, const std::string& path,
                      const Converter& convert);

  ~JournaledFile();
  JournaledFile(const JournaledFile&) = delete;
  JournaledFile& operator=(const JournaledFile&) = delete;

  // Holds the file lock for a scope. A committed but unapplied journal found on locking is
  // replayed first (taking the lock exclusively for that moment if need be). Throws Failure
  // when the file at the path was removed and may not be created, or is no longer intact.
  class Lock {
   public:
    Lock(JournaledFile* file, bool exclusive);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    JournaledFile* file_;
  };

  // Reads; REQUIRES: a Lock is held, and the pointer is not used past it.
  const uint8_t* data() const { return base_; }
  uint32_t Word(uint64_t offset) const;

  // Word writes, applied all or nothing by Commit. REQUIRES: an exclusive Lock is held.
  class Update {
   public:
    explicit Update(JournaledFile* file) : file_(file) {}
    // REQUIRES: `offset` 4-aligned, a header word or inside the data.
    void Put(uint64_t offset, uint32_t word);
    // Two adjacent words: a pair of counts, say.
    void PutPair(uint64_t offset, uint32_t first, uint32_t second) {
      Put(offset, first);
      Put(offset + 4, second);
    }
    void Commit();
    // Simulates a process dying inside Commit, at or just before the commit point; for
    // tests of recovery only.
    enum class CrashPoint { kBeforeMark, kAfterMark };
    void CommitUntilCrashForTesting(CrashPoint point);

   private:
    void WriteJournal();
    // Sets the journal's entry count; the commit point when not 0.
    void Mark(uint32_t count);
    // Writes the first `writes` words to their places.
    void Apply(size_t writes);
    JournaledFile* file_;
    std::vector<std::pair<uint32_t, uint32_t>> writes_;
    int64_t now_ = 0;  // WriteClock when the commit began
  };

  const std::string& path() const { return path_; }
  const FileFormat& format() const { return format_; }

 private:
  struct Mapping;
  class MappingCache;

  JournaledFile(const FileFormat& format, std::string path, bool create);
  // Opens and maps the file at the path, dropping the one held; false when there is none
  // and it may not be created.
  bool Attach();
  bool AttachToPath();
  void Detach();
  // Whether the locked descriptor is still the file at the path; throws Failure when it is,
  // but resized.
  bool StillAtPath() const;
  // The refusals of a file at the path.
  Failure Foreign() const;
  Failure Resized(off_t size) const;
  void SetWord(uint64_t offset, uint32_t word);
  // When a page is written, as Write keeps it (steady clock, ms, never 0).
  static int64_t WriteClock();
  // Writes through the mapping or with pwrite(), whichever is cheaper for each page; `now`
  // from WriteClock.
  void Write(uint64_t offset, const void* data, size_t size, int64_t now);
  bool JournalPending() const;
  void Recover();

  const FileFormat& format_;
  const std::string path_;
  const bool create_;
  int fd_ = -1;
  std::shared_ptr<Mapping> mapping_;
  uint8_t* base_ = nullptr;
};

}  // namespace corvalith

#endif  // CORVALITH_CLASSIFIER_JOURNALED_FILE_H_
