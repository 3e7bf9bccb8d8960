// The properties of a Maildir mailbox that no message file and no Dovecot keyword holds
// (folder properties and whatever else a client writes on an item), and the index of the
// files the store put into the mailbox's folders. One SQLite file per mailbox, beside its
// Maildir and never inside it, so that Dovecot never sees it:
//
//   properties(folder, item, name, type, value)   folder: the folder path below the mailbox
//                                                 root with "/" between the levels ("" for
//                                                 the root); item: the item name, "" for the
//                                                 folder itself; the Variant type kept
//   files(folder, item, file, placed)             the file the store last put the item in:
//                                                 "new/<name>" or "cur/<name>" of the folder,
//                                                 and when (seconds since the epoch)
//
// PRAGMA application_id 'CVMP' and user_version 2 mark the file as ours (version 1 had no
// files table; opening such a file adds it). The rows of an item follow the store's own moves;
// a move or a flag change Dovecot makes leaves them behind, which is why nothing the filter
// relies on after such a move is kept here unless a folder has no keyword letter left
// (maildir_store.h), and why a file row is only a hint that a lookup verifies
// (maildir_index.h). A file row older than kFileRowDays goes with a later change: the index
// has to answer for recent mail only (a retry of a delivery comes within Postfix's queue
// lifetime, five days unless configured otherwise).
//
// Used by one thread at a time; several processes may share the file (WAL, busy timeout).
#ifndef CORVALITH_STORE_MAILDIR_MAILDIR_PROPERTIES_H_
#define CORVALITH_STORE_MAILDIR_MAILDIR_PROPERTIES_H_

#include <sys/types.h>

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/variant.h"

namespace corvalith::store::maildir {

inline constexpr int kFileRowDays = 30;

struct PropertyOwner {
  std::string folder;
  std::string item;  // "" for the folder itself
  bool operator==(const PropertyOwner&) const = default;
};

struct PropertyChange {
  enum class Kind {
    kSet,    // name = value; an empty value removes the property
    kClear,  // every property of the owner goes
    kCopy,   // the owner's properties are copied to `to`, replacing what `to` had
    kFile,   // the owner's file row names `file`; "" removes the row
  };
  Kind kind;
  PropertyOwner owner;
  std::string name;
  Variant value;
  PropertyOwner to;
  std::string file;

  static PropertyChange Set(const PropertyOwner& owner, const std::string& name,
                            const Variant& value) {
    return PropertyChange{Kind::kSet, owner, name, value, {}, {}};
  }
  static PropertyChange Clear(const PropertyOwner& owner) {
    return PropertyChange{Kind::kClear, owner, {}, Variant(), {}, {}};
  }
  static PropertyChange Copy(const PropertyOwner& from, const PropertyOwner& to) {
    return PropertyChange{Kind::kCopy, from, {}, Variant(), to, {}};
  }
  static PropertyChange File(const PropertyOwner& owner, const std::string& file) {
    return PropertyChange{Kind::kFile, owner, {}, Variant(), {}, file};
  }
};

struct FileRow {
  std::string folder;
  std::string file;
};

class PropertyTable {
 public:
  static constexpr int kSchemaVersion = 2;
  static constexpr int kApplicationId = 0x43564D50;  // "CVMP"

  // Nothing is opened yet: a table that is only read never creates its file.
  explicit PropertyTable(std::string path);
  ~PropertyTable();
  PropertyTable(const PropertyTable&) = delete;
  PropertyTable& operator=(const PropertyTable&) = delete;

  std::optional<Variant> Read(const PropertyOwner& owner, const std::string& name);
  // The owner's file row; nullopt when it has none.
  std::optional<std::string> File(const PropertyOwner& owner);
  // The file rows of the items of that name in every folder.
  std::vector<FileRow> FilesNamed(const std::string& item);

  // All changes in one transaction, in order. Answers the changes that put back what these
  // replaced, for one later Apply (file rows that went for their age excepted). Throws
  // kStorageFault, kBusy, kNotAStore, kNewerSchema.
  std::vector<PropertyChange> Apply(const std::vector<PropertyChange>& changes);

  const std::string& path() const { return path_; }
  // False once the file this table opened is no longer the one at its path (the mailbox was
  // removed, or its file replaced); true for a table that opened nothing yet.
  bool StillAtPath() const;

 private:
  class Database;
  // Opens the file, creating it only when `create`; false when it is missing and not created.
  bool Open(bool create);
  // What puts back the rows that `change` is about to replace.
  std::vector<PropertyChange> Inverse(const PropertyChange& change);
  void Execute(const PropertyChange& change);
  std::vector<std::pair<std::string, Variant>> Properties(const PropertyOwner& owner);

  std::string path_;
  std::unique_ptr<Database> db_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

// The tables the process keeps open between store connections. Opening one costs a schema
// check, and SQLite checkpoints the log into the file, with two flushes to disk, when the last
// handle on it closes: a server that delivers all day would pay that every few saves. A table
// is lent to one session at a time, whichever thread it runs on. Thread-safe.
class PropertyTableShelf {
 public:
  // Each table holds three descriptors.
  static constexpr size_t kCapacity = 64;

  static PropertyTableShelf& Instance();

  // The kept table of the file at `path`, when it is still that file; else a new one.
  std::unique_ptr<PropertyTable> Take(const std::string& path);
  // Keeps the table for a later Take; the table kept longest goes when the shelf is full.
  void Give(std::unique_ptr<PropertyTable> table);

 private:
  std::mutex mutex_;
  std::list<std::unique_ptr<PropertyTable>> tables_;  // the latest given first
};

}  // namespace corvalith::store::maildir

#endif  // CORVALITH_STORE_MAILDIR_MAILDIR_PROPERTIES_H_
