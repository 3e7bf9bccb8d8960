#include "store/store_errors.h"

#include <iterator>

namespace corvalith::store {
namespace {

// ADO error values (0x800A....) and OLE DB / structured storage statuses, chosen so that a log
// reader who knows ADO and OLE DB recognises them.
constexpr StoreErrorInfo kTable[] = {
    {StoreError::kNotFound, static_cast<int32_t>(0x80040E19),
     "Object or data matching the name, range, or selection criteria was not found"},
    {StoreError::kAlreadyExists, static_cast<int32_t>(0x800A0E93),
     "Resource already exists at the URL"},
    {StoreError::kParentMissing, static_cast<int32_t>(0x800A0E8F),
     "The parent folder of the URL does not exist"},
    {StoreError::kRefused, static_cast<int32_t>(0x800A0E94),
     "The store could not complete the operation"},
    {StoreError::kPropertyUnreadable, static_cast<int32_t>(0x80040E21),
     "The property value could not be read"},
    {StoreError::kWrongMode, static_cast<int32_t>(0x800A0E88),
     "The record is open for reading only"},
    {StoreError::kBadIndex, static_cast<int32_t>(0x800A0CC1),
     "Item cannot be found in the collection corresponding to the requested name or ordinal"},
    {StoreError::kNoOpenRecord, static_cast<int32_t>(0x800A0E78),
     "Operation is not allowed when the object is closed"},
    {StoreError::kBadArgument, static_cast<int32_t>(0x800A0BB9),
     "Arguments are of the wrong type, are out of acceptable range, or are in conflict with "
     "one another"},
    {StoreError::kReadOnlyProperty, static_cast<int32_t>(0x800A0C93),
     "The property is computed by the store and cannot be assigned"},
    {StoreError::kNotSupported, static_cast<int32_t>(0x800A0CB3),
     "Object or provider is not capable of performing requested operation"},
    {StoreError::kTransactionOpen, static_cast<int32_t>(0x8004D013),
     "A transaction is already open on the connection"},
    {StoreError::kNoTransaction, static_cast<int32_t>(0x8004D00E),
     "No transaction is open on the connection"},
    {StoreError::kFileUnreadable, static_cast<int32_t>(0x800A0BBA), "File could not be opened"},
    {StoreError::kStorageFault, static_cast<int32_t>(0x8003001D), "The mailbox database failed"},
    {StoreError::kBusy, static_cast<int32_t>(0x800A0E92),
     "The mailbox database is locked by another process"},
    {StoreError::kNotAStore, static_cast<int32_t>(0x800300FB), "The file is not a mailbox store"},
    {StoreError::kNewerSchema, static_cast<int32_t>(0x80030105),
     "The mailbox store was written by a newer version"},
};

const StoreErrorInfo& Info(StoreError kind) { return kTable[static_cast<int>(kind)]; }

}  // namespace

const StoreErrorInfo* StoreErrorTable(int* size) {
  *size = static_cast<int>(std::size(kTable));
  return kTable;
}

int32_t StoreErrorNumber(StoreError kind) { return Info(kind).number; }

Failure StoreFailure(StoreError kind, const std::string& detail) {
  std::string description = Info(kind).description;
  if (!detail.empty()) description += ": " + detail;
  return Failure(std::move(description), Info(kind).number);
}

bool IsStoreError(const Failure& failure, StoreError kind) {
  return failure.number() == Info(kind).number;
}

}  // namespace corvalith::store
