// Dovecot's control files in a Maildir folder, used the way Dovecot's own documentation of
// its Maildir format asks an outside program to use them:
//
//  - dovecot-uidlist.lock: Dovecot's dotlock on the folder. Dovecot takes it while it changes
//    the folder or scans it for new mail, because readdir() may skip a file that another
//    process renames during the scan. An outside program that renames or removes messages, or
//    needs a scan that cannot miss one, takes the same lock (Dovecot ships the maildirlock tool
//    for that). Like Dovecot's dotlock it is a file holding "pid:host", made as Dovecot's
//    link-based dotlocks are: by hard-linking a file of the folder's tmp/ that holds the owner
//    already, so that no lock exists without it, even when its process is killed while taking
//    it. A lock whose process is gone, or that has not changed for two minutes, is stale and
//    taken over, as Dovecot does.
//  - dovecot-keywords: "<index> <name>" lines mapping the keyword letters a..z of the file
//    names to keyword names, per folder. Readable without a lock; written only while holding
//    the uidlist lock and only by replacing the file with rename(), as Dovecot does through
//    its dovecot-keywords.lock temporary file. Dovecot rereads it only when its mtime has
//    changed, so a new version always gets a later mtime than the one it replaces.
//
// Dovecot keeps the control files in the folder's directory unless mail_control_path moves
// them; the store expects them there.
#ifndef CORVALITH_STORE_MAILDIR_MAILDIR_CONTROL_H_
#define CORVALITH_STORE_MAILDIR_MAILDIR_CONTROL_H_

#include <sys/stat.h>

#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvalith::store::maildir {

inline constexpr char kUidListName[] = "dovecot-uidlist";
inline constexpr char kKeywordsName[] = "dovecot-keywords";
inline constexpr int kMaxKeywords = 26;

// Held from construction to destruction. Throws kBusy when another process holds the lock
// past `timeout`, kNotFound when the folder's directory is missing.
class UidListLock {
 public:
  UidListLock(const std::string& folder_directory, std::chrono::milliseconds timeout);
  ~UidListLock();
  UidListLock(const UidListLock&) = delete;
  UidListLock& operator=(const UidListLock&) = delete;

 private:
  // Removes the lock file when it is stale; true when the caller may try again at once.
  bool TakeOverIfStale() const;

  std::string folder_directory_;
  std::string path_;
  struct stat held_ = {};  // the lock file this object created
};

// The letters of one folder.
class KeywordTable {
 public:
  // Reads the file as Dovecot does: a line without " ", with an index outside 0..25 or with an
  // empty name is skipped, and so is a last line without a line end.
  static KeywordTable Parse(std::string_view content);
  std::string Serialize() const;

  // Names compare without regard to ASCII case, as in Dovecot.
  std::optional<char> LetterOf(std::string_view name) const;
  std::optional<std::string> NameOf(char letter) const;
  // Gives the name the first free letter; false when all are taken.
  bool Add(const std::string& name);
  bool Full() const;

 private:
  std::array<std::optional<std::string>, kMaxKeywords> names_;
};

// The folder's table; empty when the folder has none yet.
KeywordTable ReadKeywordTable(const std::string& folder_directory);
// Adds the names the table lacks, as long as letters are left, and answers the table.
// REQUIRES: the folder's UidListLock.
KeywordTable AddKeywords(const std::string& folder_directory,
                         const std::vector<std::string>& names);

}  // namespace corvalith::store::maildir

#endif  // CORVALITH_STORE_MAILDIR_MAILDIR_CONTROL_H_
