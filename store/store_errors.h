// The failures the mailbox store raises. Callers (the filter's guards, the host) log the
// description and number and sometimes branch on the number, so every kind keeps its number
// and text for good: add new kinds at the end, never renumber one.
#ifndef CORVALITH_STORE_STORE_ERRORS_H_
#define CORVALITH_STORE_STORE_ERRORS_H_

#include <cstdint>
#include <string>

#include "platform/failure.h"

namespace corvalith::store {

enum class StoreError {
  kNotFound,            // nothing at the URL
  kAlreadyExists,       // something at the URL where nothing may be
  kParentMissing,       // the folder a new folder or item would go into does not exist
  kRefused,             // the store declined the operation (fault injection, a folder move)
  kPropertyUnreadable,  // the property exists but its value cannot be read
  kWrongMode,           // a write through a record opened for reading
  kBadIndex,            // a field index other than the default stream
  kNoOpenRecord,        // a call on a closed record or on a stream of one
  kBadArgument,         // an open mode, create option or move option the store does not know
  kReadOnlyProperty,    // an assignment to a computed property
  kNotSupported,        // an asynchronous move
  kTransactionOpen,     // BeginTrans while a transaction is open
  kNoTransaction,       // CommitTrans/RollbackTrans without one
  kFileUnreadable,      // Stream::LoadFromFile could not read its file
  kStorageFault,        // the database failed underneath (I/O, corruption, full disk)
  kBusy,                // another process held the database longer than the busy timeout
  kNotAStore,           // the database file is not a mailbox store
  kNewerSchema,         // the database was written by a newer version of the store
};

struct StoreErrorInfo {
  StoreError kind;
  int32_t number;
  const char* description;
};

// Every kind, in the order of the enumeration.
const StoreErrorInfo* StoreErrorTable(int* size);
int32_t StoreErrorNumber(StoreError kind);

// The failure of a kind; `detail` (a URL, a property name, the database's own message) is
// appended after ": " when not empty.
Failure StoreFailure(StoreError kind, const std::string& detail = "");

// The kind of a failure raised by the store, for callers that branch on it; false for any
// other failure.
bool IsStoreError(const Failure& failure, StoreError kind);

}  // namespace corvalith::store

#endif  // CORVALITH_STORE_STORE_ERRORS_H_
