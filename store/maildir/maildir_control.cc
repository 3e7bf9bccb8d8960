#include "store/maildir/maildir_control.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "platform/posix_io.h"
#include "platform/text.h"
#include "store/maildir/maildir_files.h"
#include "store/store_errors.h"

namespace corvalith::store::maildir {
namespace {

constexpr char kUidListLockSuffix[] = ".lock";
// Dovecot's own figures: a dotlock younger than this is not checked for a live owner, and
// one unchanged for the stale time is taken over.
constexpr time_t kOwnerCheckAfterSeconds = 2;
constexpr time_t kStaleAfterSeconds = 120;
// Dovecot writes at most 26 short lines; anything much larger is not its file.
constexpr size_t kMaxKeywordsFileBytes = 64 * 1024;
constexpr size_t kMaxLockFileBytes = 512;

// The later of a file's status change and modification times. An mtime in the future is
// ignored: Dovecot keeps metadata in some mtimes.
time_t LastChange(const struct stat& st, time_t now) {
  return std::max(st.st_ctime, st.st_mtime <= now ? st.st_mtime : 0);
}

// The same file, not another one that got the inode of a removed one (file systems hand a
// freed inode out again at once): its status change time, to the nanosecond, tells them apart.
bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The process that holds a lock made on this host, from its "pid:host" content.
std::optional<pid_t> LocalOwner(const std::string& lock_path) {
  std::optional<std::string> content;
  try {
    content = ReadBoundedFile(lock_path, kMaxLockFileBytes);
  } catch (const Failure&) {
    return std::nullopt;  // unreadable: judged by its age alone, as Dovecot does
  }
  if (!content) return std::nullopt;
  if (!content->empty() && content->back() == '\n') content->pop_back();
  const size_t colon = content->find(':');
  if (colon == 0 || colon == std::string::npos || content->substr(colon + 1) != HostName()) {
    return std::nullopt;
  }
  pid_t pid = 0;
  for (char c : content->substr(0, colon)) {
    if (c < '0' || c > '9' || pid > 10000000) return std::nullopt;
    pid = pid * 10 + (c - '0');
  }
  return pid > 0 ? std::optional<pid_t>(pid) : std::nullopt;
}

// atoi as Dovecot applies it to the index: leading blanks, a sign, the digits that follow.
int LeadingNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == '\t' || text[i] == '\v' || text[i] == '\f' ||
                             text[i] == '\r' || text[i] == '\n')) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min(value * 10 + (text[i] - '0'), 1000000);
  }
  return negative ? -value : value;
}

// Replaces dovecot-keywords through dovecot-keywords.lock, with an mtime later than the old
// file's so that a Dovecot holding the old table rereads it.
void ReplaceKeywordsFile(const std::string& folder_directory, const std::string& content) {
  const std::string path = folder_directory + "/" + kKeywordsName;
  const std::string temporary = path + kUidListLockSuffix;
  struct stat old;
  const bool had_file = stat(path.c_str(), &old) == 0;
  // Only a process that died holding the uidlist lock can have left it: we hold that lock now.
  RemoveFile(temporary);
  const mode_t mode = had_file ? (old.st_mode & 0666) : 0600;
  const int fd =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) ThrowIoFailure("create", temporary, errno);
  try {
    if (int err = posix::WriteAll(fd, content.data(), content.size())) {
      ThrowIoFailure("write", temporary, err);
    }
    struct stat now;
    if (fstat(fd, &now) != 0) ThrowIoFailure("fstat", temporary, errno);
    if (had_file && now.st_mtime <= old.st_mtime) {
      struct timespec times[2] = {{0, UTIME_NOW}, {old.st_mtime + 1, 0}};
      if (futimens(fd, times) != 0) ThrowIoFailure("futimens", temporary, errno);
    }
    if (fsync(fd) != 0) ThrowIoFailure("fsync", temporary, errno);
  } catch (...) {
    close(fd);
    unlink(temporary.c_str());
    throw;
  }
  close(fd);
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    const int err = errno;
    unlink(temporary.c_str());
    ThrowIoFailure("rename", temporary, err);
  }
  // The letters are about to appear in file names: their meaning must reach the disk first.
  SyncDirectory(folder_directory);
}

}  // namespace

// A lock file that holds its owner from the moment it exists: the owner is written into a file
// of the folder's tmp/ first, which then becomes the lock by a hard link (as Dovecot's own
// link-based dotlocks are made). A process killed between creating a lock and writing into it
// would leave an empty lock, which a waiter can judge only by its age, minutes later.
class LockCandidate {
 public:
  explicit LockCandidate(const std::string& folder_directory)
      : path_(folder_directory + "/tmp/" + UniqueToken() + "." + HostName() + ".lock") {
    const int err = posix::CreateFileWith(path_, std::to_string(getpid()) + ":" + HostName());
    if (err == ENOENT) throw StoreFailure(StoreError::kNotFound, folder_directory);
    if (err != 0) ThrowIoFailure("create", path_, err);
  }
  ~LockCandidate() { unlink(path_.c_str()); }
  LockCandidate(const LockCandidate&) = delete;
  LockCandidate& operator=(const LockCandidate&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

UidListLock::UidListLock(const std::string& folder_directory, std::chrono::milliseconds timeout)
    : folder_directory_(folder_directory),
      path_(folder_directory + "/" + kUidListName + kUidListLockSuffix) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::chrono::microseconds pause(200);
  {
    LockCandidate candidate(folder_directory);
    for (;;) {
      if (link(candidate.path().c_str(), path_.c_str()) == 0) break;
      if (errno != EEXIST) ThrowIoFailure("link", path_, errno);
      if (TakeOverIfStale()) continue;
      if (std::chrono::steady_clock::now() >= deadline) {
        const std::optional<pid_t> owner = LocalOwner(path_);
        throw StoreFailure(StoreError::kBusy,
                           path_ + " is held by another process" +
                               (owner ? " (" + std::to_string(*owner) + ")" : ""));
      }
      std::this_thread::sleep_for(pause);
      pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(50));
    }
  }
  // Only now that the candidate's name is gone does the lock's status change time stay put.
  if (lstat(path_.c_str(), &held_) != 0) {
    const int err = errno;
    unlink(path_.c_str());
    ThrowIoFailure("lstat", path_, err);
  }
}

UidListLock::~UidListLock() {
  // Remove only our own lock: if it was taken over as stale, the file is someone else's now.
  struct stat st;
  if (lstat(path_.c_str(), &st) == 0 && SameFile(st, held_)) unlink(path_.c_str());
}

bool UidListLock::TakeOverIfStale() const {
  struct stat lock;
  if (lstat(path_.c_str(), &lock) != 0) return errno == ENOENT;  // released meanwhile
  const time_t now = time(nullptr);
  bool stale = false;
  if (lock.st_mtime < now - kOwnerCheckAfterSeconds) {
    std::optional<pid_t> owner = LocalOwner(path_);
    // Another thread of this process is a live owner, unlike in Dovecot's single-threaded
    // processes.
    stale = owner && *owner != getpid() && kill(*owner, 0) != 0 && errno == ESRCH;
  }
  if (!stale) {
    // Judged by the lock as seen above: looking again could find it released, or another
    // lock in its place, and take that for a stale one.
    time_t last_change = LastChange(lock, now);
    struct stat uidlist;
    if (lstat((folder_directory_ + "/" + kUidListName).c_str(), &uidlist) == 0) {
      last_change = std::max(last_change, LastChange(uidlist, now));
    }
    stale = now > last_change + kStaleAfterSeconds;
  }
  if (!stale) return false;
  struct stat again;
  if (lstat(path_.c_str(), &again) == 0 && SameFile(again, lock)) unlink(path_.c_str());
  return true;
}

KeywordTable KeywordTable::Parse(std::string_view content) {
  KeywordTable table;
  size_t start = 0;
  for (size_t end = content.find('\n'); end != std::string_view::npos;
       start = end + 1, end = content.find('\n', start)) {
    std::string_view line = content.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t space = line.find(' ');
    if (space == std::string_view::npos) continue;
    const int index = LeadingNumber(line.substr(0, space));
    const std::string_view name = line.substr(space + 1);
    if (index < 0 || index >= kMaxKeywords || name.empty()) continue;
    table.names_[static_cast<size_t>(index)] = std::string(name);
  }
  return table;
}

std::string KeywordTable::Serialize() const {
  std::string content;
  for (size_t i = 0; i < names_.size(); ++i) {
    if (names_[i]) content += std::to_string(i) + " " + *names_[i] + "\n";
  }
  return content;
}

std::optional<char> KeywordTable::LetterOf(std::string_view name) const {
  for (size_t i = 0; i < names_.size(); ++i) {
    if (names_[i] && EqualsIgnoringCase(*names_[i], name)) return static_cast<char>('a' + i);
  }
  return std::nullopt;
}

bool KeywordTable::Full() const {
  return std::all_of(names_.begin(), names_.end(),
                     [](const std::optional<std::string>& name) { return name.has_value(); });
}

std::optional<std::string> KeywordTable::NameOf(char letter) const {
  if (letter < 'a' || letter >= 'a' + kMaxKeywords) return std::nullopt;
  return names_[static_cast<size_t>(letter - 'a')];
}

bool KeywordTable::Add(const std::string& name) {
  for (std::optional<std::string>& slot : names_) {
    if (!slot) {
      slot = name;
      return true;
    }
  }
  return false;
}

KeywordTable ReadKeywordTable(const std::string& folder_directory) {
  std::optional<std::string> content =
      ReadBoundedFile(folder_directory + "/" + kKeywordsName, kMaxKeywordsFileBytes);
  return content ? KeywordTable::Parse(*content) : KeywordTable();
}

KeywordTable AddKeywords(const std::string& folder_directory,
                         const std::vector<std::string>& names) {
  KeywordTable table = ReadKeywordTable(folder_directory);
  bool changed = false;
  for (const std::string& name : names) {
    if (!table.LetterOf(name) && table.Add(name)) changed = true;
  }
  if (changed) ReplaceKeywordsFile(folder_directory, table.Serialize());
  return table;
}

}  // namespace corvalith::store::maildir
