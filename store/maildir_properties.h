// The properties of a Maildir mailbox that no message file and no Dovecot keyword holds:
// folder properties and whatever else a client writes on an item. One SQLite file per
// mailbox, beside its Maildir and never inside it, so that Dovecot never sees it:
//
//   properties(folder, item, name, type, value)   folder: the folder path below the mailbox
//                                                 root with "/" between the levels ("" for
//                                                 the root); item: the item name, "" for the
//                                                 folder itself; the Variant type kept
//
// PRAGMA application_id 'CVMP' and user_version 1 mark the file as ours. The rows of an item
// follow the store's own moves; a move Dovecot makes leaves them behind, which is why nothing
// the filter relies on after such a move is kept here.
//
// Used by one thread at a time; several processes may share the file (WAL, busy timeout).
#ifndef CORVALITH_STORE_MAILDIR_PROPERTIES_H_
#define CORVALITH_STORE_MAILDIR_PROPERTIES_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/variant.h"

namespace corvalith::store::maildir {

struct PropertyOwner {
  std::string folder;
  std::string item;  // "" for the folder itself
  bool operator==(const PropertyOwner&) const = default;
};

struct PropertyChange {
  enum class Kind {
    kSet,    // name = value; an empty value removes the property
    kClear,  // every property of the owner goes
    kMove,   // the owner's properties go to `to`, replacing what `to` had
  };
  Kind kind;
  PropertyOwner owner;
  std::string name;
  Variant value;
  PropertyOwner to;
};

class PropertyTable {
 public:
  static constexpr int kSchemaVersion = 1;
  static constexpr int kApplicationId = 0x43564D50;  // "CVMP"

  // Nothing is opened yet: a table that is only read never creates its file.
  explicit PropertyTable(std::string path);
  ~PropertyTable();
  PropertyTable(const PropertyTable&) = delete;
  PropertyTable& operator=(const PropertyTable&) = delete;

  std::optional<Variant> Read(const PropertyOwner& owner, const std::string& name);
  // All changes in one transaction, in order. Throws kStorageFault, kBusy, kNotAStore,
  // kNewerSchema.
  void Apply(const std::vector<PropertyChange>& changes);

 private:
  class Database;
  // Opens the file, creating it only when `create`; false when it is missing and not created.
  bool Open(bool create);

  std::string path_;
  std::unique_ptr<Database> db_;
};

}  // namespace corvalith::store::maildir

#endif  // CORVALITH_STORE_MAILDIR_PROPERTIES_H_
