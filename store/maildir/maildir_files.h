// The POSIX file operations of the Maildir store, each turning errno into a store failure in
// one place. Paths are built by the store from checked names; what is read from disk is
// bounded by the caller.
#ifndef CORVALITH_STORE_MAILDIR_MAILDIR_FILES_H_
#define CORVALITH_STORE_MAILDIR_MAILDIR_FILES_H_

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvalith::store::maildir {

// kStorageFault naming the operation, the path and the error.
[[noreturn]] void ThrowIoFailure(const std::string& operation, const std::string& path, int err);

// The whole file, at most `max_bytes` (kStorageFault for a larger one, without reading it
// all); nullopt when nothing is at the path.
std::optional<std::string> ReadBoundedFile(const std::string& path, size_t max_bytes);

// True for a directory, or a symbolic link to one (an administrator may link a Maildir); false
// when nothing (or something else) is at the path; kStorageFault when that cannot be told
// (no permission to look, a link loop, an I/O error).
bool IsDirectory(const std::string& path);
// True for a regular file that is not a symbolic link.
bool IsRegularFile(const std::string& path);
// The size of a file; kStorageFault when it cannot be read.
size_t FileSize(const std::string& path);
// The same, but nullopt when nothing is at the path (ENOENT: Dovecot renamed or removed the
// file since it was listed). Every other failure (no permission to look, an I/O error) is
// kStorageFault: it must not pass for a rename.
std::optional<size_t> FileSizeIfPresent(const std::string& path);

// mkdir with the store's mode; 0 or the errno.
int MakeDirectory(const std::string& path);

struct DirectoryEntry {
  enum class Kind { kFile, kDirectory, kOther };
  std::string name;
  Kind kind;  // a symbolic link to a file is kOther: a message is never a link
};
// Calls `visit` with each entry of a directory, "." and ".." left out, as readdir hands them
// over: memory stays the same however many entries the directory holds. Nothing for a missing
// directory.
void ForEachDirectoryEntry(const std::string& path,
                           const std::function<void(const DirectoryEntry&)>& visit);
// The entries of a directory, "." and ".." left out; empty for a missing directory.
// kStorageFault when it holds more than `max_entries`.
std::vector<DirectoryEntry> ListDirectory(const std::string& path, size_t max_entries);

// Creates a new file in `directory` under a unique name with the bytes and answers its path.
// Not flushed: a message in tmp/ is often written again before it is delivered, and only the
// last content has to reach the disk (SyncFile), once, before the rename that delivers it.
std::string WriteNewFile(const std::string& directory, const std::string& bytes);
// Replaces the bytes of a file that only this process knows (a message still in tmp/).
void RewriteFile(const std::string& path, const std::string& bytes);
// Flushes a file's content to disk.
void SyncFile(const std::string& path);

enum class RenameResult { kDone, kTargetExists, kSourceMissing };
// Renames without ever replacing what is at `to`.
RenameResult RenameNoReplace(const std::string& from, const std::string& to);
// Flushes a directory's entries, so that a rename into it survives a crash.
void SyncDirectory(const std::string& path);
// unlink; false when nothing was there.
bool RemoveFile(const std::string& path);
// Deletes the directory and everything in it; a symbolic link in it (or the path itself, when
// it is one) goes as a link, never what it points to. False when nothing was there.
bool RemoveTree(const std::string& path);

// A name part no other call of any process on this host returns: seconds, microseconds,
// process and a counter, as Maildir unique names are made.
std::string UniqueToken();
// This host's name as gethostname reports it.
const std::string& HostName();

}  // namespace corvalith::store::maildir

#endif  // CORVALITH_STORE_MAILDIR_MAILDIR_FILES_H_
