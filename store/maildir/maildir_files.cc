#include "store/maildir/maildir_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/posix_io.h"
#include "store/store_errors.h"

namespace corvalith::store::maildir {
namespace {

// Mail is private to its owner, as Dovecot creates it by default.
constexpr mode_t kFileMode = 0600;
constexpr mode_t kDirectoryMode = 0700;

// Closes a descriptor on every path out of a function.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

void WriteAll(int fd, const std::string& path, const std::string& bytes) {
  if (int err = posix::WriteAll(fd, bytes.data(), bytes.size())) ThrowIoFailure("write", path, err);
}

}  // namespace

void ThrowIoFailure(const std::string& operation, const std::string& path, int err) {
  throw StoreFailure(StoreError::kStorageFault,
                     operation + " " + path + " (" + std::strerror(err) + ")");
}

std::optional<std::string> ReadBoundedFile(const std::string& path, size_t max_bytes) {
  FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) {
    if (errno == ENOENT) return std::nullopt;
    ThrowIoFailure("open", path, errno);
  }
  std::string content;
  char buffer[65536];
  for (;;) {
    ssize_t got = read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      ThrowIoFailure("read", path, errno);
    }
    if (got == 0) return content;
    if (content.size() + static_cast<size_t>(got) > max_bytes) {
      throw StoreFailure(StoreError::kStorageFault,
                         path + " holds more than " + std::to_string(max_bytes) + " bytes");
    }
    content.append(buffer, static_cast<size_t>(got));
  }
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  // Only a path that surely leads nowhere is no directory. A mailbox the store may not look
  // into, a link loop or an I/O error must not pass for a missing one: a mail server would
  // refuse the recipient's mail for good, where it should try again.
  if (errno == ENOENT || errno == ENOTDIR) return false;
  ThrowIoFailure("stat", path, errno);
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

size_t FileSize(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) ThrowIoFailure("stat", path, errno);
  return static_cast<size_t>(st.st_size);
}

std::optional<size_t> FileSizeIfPresent(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) return static_cast<size_t>(st.st_size);
  if (errno == ENOENT) return std::nullopt;
  ThrowIoFailure("stat", path, errno);
}

int MakeDirectory(const std::string& path) {
  return mkdir(path.c_str(), kDirectoryMode) == 0 ? 0 : errno;
}

void ForEachDirectoryEntry(const std::string& path,
                           const std::function<void(const DirectoryEntry&)>& visit) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) {
    if (errno == ENOENT || errno == ENOTDIR) return;
    ThrowIoFailure("opendir", path, errno);
  }
  struct Closer {
    DIR* dir;
    ~Closer() { closedir(dir); }
  } closer{dir};
  for (;;) {
    errno = 0;
    const struct dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) ThrowIoFailure("readdir", path, errno);
      return;
    }
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    DirectoryEntry::Kind kind = DirectoryEntry::Kind::kOther;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN || type == DT_LNK) {
      struct stat st;
      const int follow = type == DT_LNK ? 0 : AT_SYMLINK_NOFOLLOW;
      if (fstatat(dirfd(dir), entry->d_name, &st, follow) != 0) continue;  // gone meanwhile
      if (S_ISDIR(st.st_mode)) {
        kind = DirectoryEntry::Kind::kDirectory;
      } else if (S_ISREG(st.st_mode) && type != DT_LNK) {
        kind = DirectoryEntry::Kind::kFile;
      }
    } else if (type == DT_DIR) {
      kind = DirectoryEntry::Kind::kDirectory;
    } else if (type == DT_REG) {
      kind = DirectoryEntry::Kind::kFile;
    }
    visit(DirectoryEntry{name, kind});
  }
}

std::vector<DirectoryEntry> ListDirectory(const std::string& path, size_t max_entries) {
  std::vector<DirectoryEntry> entries;
  ForEachDirectoryEntry(path, [&](const DirectoryEntry& entry) {
    if (entries.size() >= max_entries) {
      throw StoreFailure(StoreError::kStorageFault,
                         path + " holds more than " + std::to_string(max_entries) + " entries");
    }
    entries.push_back(entry);
  });
  return entries;
}

std::string WriteNewFile(const std::string& directory, const std::string& bytes) {
  for (;;) {
    const std::string path = directory + "/" + UniqueToken() + "." + HostName();
    FileDescriptor fd(
        open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kFileMode));
    if (fd.get() < 0) {
      if (errno == EEXIST) continue;  // a clock set back: take the next counter value
      if (errno == ENOENT) {
        throw StoreFailure(StoreError::kStorageFault, directory + " is missing");
      }
      ThrowIoFailure("create", path, errno);
    }
    try {
      WriteAll(fd.get(), path, bytes);
    } catch (...) {
      unlink(path.c_str());
      throw;
    }
    return path;
  }
}

void RewriteFile(const std::string& path, const std::string& bytes) {
  FileDescriptor fd(open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) ThrowIoFailure("open", path, errno);
  WriteAll(fd.get(), path, bytes);
}

void SyncFile(const std::string& path) {
  FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0) ThrowIoFailure("open", path, errno);
  if (fsync(fd.get()) != 0) ThrowIoFailure("fsync", path, errno);
}

RenameResult RenameNoReplace(const std::string& from, const std::string& to) {
  int result = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
  if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
    // A file system without RENAME_NOREPLACE: a hard link fails just as well on a taken name.
    result = link(from.c_str(), to.c_str());
    if (result == 0 && unlink(from.c_str()) != 0) ThrowIoFailure("unlink", from, errno);
  }
  if (result == 0) return RenameResult::kDone;
  const int err = errno;
  if (err == EEXIST) return RenameResult::kTargetExists;
  if (err == ENOENT) {
    struct stat st;
    if (lstat(from.c_str(), &st) != 0) return RenameResult::kSourceMissing;
  }
  ThrowIoFailure("rename to " + to + " from", from, err);
}

void SyncDirectory(const std::string& path) {
  FileDescriptor fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) ThrowIoFailure("open", path, errno);
  if (fsync(fd.get()) != 0) ThrowIoFailure("fsync", path, errno);
}

bool RemoveFile(const std::string& path) {
  if (unlink(path.c_str()) == 0) return true;
  if (errno == ENOENT) return false;
  ThrowIoFailure("unlink", path, errno);
}

bool RemoveTree(const std::string& path) {
  std::error_code error;
  const std::uintmax_t removed = std::filesystem::remove_all(path, error);
  if (error) ThrowIoFailure("remove", path, error.value());
  return removed > 0;
}

std::string UniqueToken() {
  static std::atomic<unsigned> counter{0};
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  char token[96];
  std::snprintf(token, sizeof token, "%lld.M%06ldP%dQ%u", static_cast<long long>(now.tv_sec),
                now.tv_nsec / 1000, static_cast<int>(getpid()), ++counter);
  return token;
}

const std::string& HostName() {
  static const std::string name = [] {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0) return std::string("localhost");
    // A host name ends up in file names: nothing in it may split or hide one.
    std::string clean;
    for (unsigned char c : std::string(buffer)) {
      clean +=
          (c <= 0x20 || c == 0x7f || c == '/' || c == ':' || c == ',') ? '_' : static_cast<char>(c);
    }
    return clean.empty() ? std::string("localhost") : clean;
  }();
  return name;
}

}  // namespace corvalith::store::maildir
