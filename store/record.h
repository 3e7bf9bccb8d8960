// The record interface of the mailbox store, after ADO over the store's OLE DB provider:
// a connection opens records by URL; a record has fields (properties by name, and the
// default stream by index -1), a source URL, a parent URL and can be moved. Every call
// throws Failure (with a stable description and number) where ADO would raise an error.
//
// A record and everything taken from it (fields, streams) belong to the thread that opened
// it; a connection may be shared by the records of one event.
#ifndef CORVALITH_STORE_RECORD_H_
#define CORVALITH_STORE_RECORD_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/variant.h"

namespace corvalith::store {

// ConnectModeEnum
inline constexpr int32_t adModeRead = 1;
inline constexpr int32_t adModeReadWrite = 3;
// RecordCreateOptionsEnum
inline constexpr int32_t adCreateNonCollection = 0;
inline constexpr int32_t adFailIfNotExists = -1;
inline constexpr int32_t adCreateCollection = 0x2000;
inline constexpr int32_t adCreateOverwrite = 0x4000000;
// RecordOpenOptionsEnum
inline constexpr int32_t adOpenRecordUnspecified = -1;
inline constexpr int32_t adDelayFetchStream = 0x4000;
inline constexpr int32_t adDelayFetchFields = 0x8000;
// MoveRecordOptionsEnum
inline constexpr int32_t adMoveUnspecified = -1;
// FieldStatusEnum
inline constexpr int32_t adFieldOK = 0;
inline constexpr int32_t adFieldDoesNotExist = 16;
// FieldEnum
inline constexpr int32_t adDefaultStream = -1;
// StreamTypeEnum
inline constexpr int32_t adTypeBinary = 1;
inline constexpr int32_t adTypeText = 2;

// Property names of the store schema the filter and the host use; every name and value of it is
// defined here and nowhere else.
inline constexpr char kOutlookFolderClass[] =
    "http://schemas.microsoft.com/exchange/outlookfolderclass";
inline constexpr char kDavContentClass[] = "DAV:contentclass";
inline constexpr char kDavParentName[] = "DAV:parentname";
inline constexpr char kDeletedItemsProperty[] = "urn:schemas:httpmail:deleteditems";
inline constexpr char kFromProperty[] = "urn:schemas:mailheader:from";
inline constexpr char kMailMarkerProperty[] = "urn:schemas:mailheader:X-Corvalith";
inline constexpr char kSubjectProperty[] = "urn:schemas:httpmail:subject";
// MAPI properties, named by the proptag namespace, "x" and the property tag.
// The transport header block: only mail that came in from the internet has one.
inline constexpr char kHeaderBlockProperty[] =
    "http://schemas.microsoft.com/mapi/proptag/x007D001E";
inline constexpr char kPlainBodyProperty[] = "http://schemas.microsoft.com/mapi/proptag/x1000001E";
inline constexpr char kHtmlBodyProperty[] = "http://schemas.microsoft.com/mapi/proptag/x1013001E";
// The sender's address type: kExternalAddressType or kInternalAddressType.
inline constexpr char kAddressTypeProperty[] =
    "http://schemas.microsoft.com/mapi/proptag/x0C1E001E";
inline constexpr char kMessageClassProperty[] =
    "http://schemas.microsoft.com/mapi/proptag/x001A001E";
inline constexpr char kMessageFlagsProperty[] =
    "http://schemas.microsoft.com/mapi/proptag/x0E070003";
// A Boolean: true hides the item from the mailbox's views.
inline constexpr char kHiddenProperty[] = "http://schemas.microsoft.com/mapi/proptag/x67aa000b";

// The address types of a sender: a sender on the internet, or another mailbox of this server.
inline constexpr char kExternalAddressType[] = "SMTP";
inline constexpr char kInternalAddressType[] = "EX";
// The message class of a mail (kMessageClassProperty); the content class and the folder class
// of a mail folder (kDavContentClass, kOutlookFolderClass).
inline constexpr char kMessageClassNote[] = "IPM.Note";
inline constexpr char kFolderContentClass[] = "urn:content-classes:folder";
inline constexpr char kMailFolderClass[] = "IPF.Note";

// The item's content. LoadFromFile replaces it with a file's bytes; Write appends bytes;
// Flush writes the content to the item.
class Stream {
 public:
  virtual ~Stream() = default;
  virtual void SetCharset(const std::string& charset) = 0;
  virtual void SetType(int32_t type) = 0;
  virtual void LoadFromFile(const std::string& path) = 0;
  virtual void Write(const std::string& bytes) = 0;
  virtual std::string ReadAll() = 0;
  virtual void Flush() = 0;
};

class Field {
 public:
  // The property's value: Null for a property the item does not have. A value assigned
  // and not yet updated reads back as assigned.
  virtual Variant Value() const = 0;
  // Assigns a value; it reaches the store with the next Fields::Update.
  virtual void SetValue(const Variant& value) = 0;
  // adFieldOK, or adFieldDoesNotExist for a property the item does not have.
  virtual int32_t Status() const = 0;
  // The value of the default-stream field (Fields::Item(adDefaultStream)) as a stream;
  // type mismatch on any other field.
  virtual std::unique_ptr<Stream> StreamValue() = 0;

 protected:
  ~Field() = default;
};

class Fields {
 public:
  // Any property name can be addressed; the field lives as long as the record.
  virtual Field& Item(const std::string& name) = 0;
  // Only adDefaultStream is a valid index.
  virtual Field& Item(int32_t index) = 0;
  // Writes every assigned value to the store in one transaction.
  virtual void Update() = 0;

 protected:
  ~Fields() = default;
};

class Record {
 public:
  virtual ~Record() = default;
  virtual void Close() = 0;
  virtual std::string Source() const = 0;
  virtual std::string ParentURL() const = 0;
  // Moves the item at `source` to `destination` (which must not exist: adMoveUnspecified)
  // and returns the destination. Afterwards the record is the moved item.
  virtual std::string MoveRecord(const std::string& source, const std::string& destination,
                                 const std::string& user, const std::string& password,
                                 int32_t options, bool async) = 0;
  virtual Fields& GetFields() = 0;
};

class Connection {
 public:
  virtual ~Connection() = default;
  // Record.Open with this connection as the active connection:
  //   adModeRead + adFailIfNotExists: opens what exists at the URL, fails otherwise;
  //   adModeReadWrite + adCreateCollection: creates a folder under an existing parent;
  //   adModeReadWrite + adCreateOverwrite: creates an item, replacing one of the same name;
  //   adModeReadWrite + adFailIfNotExists: opens an existing item for writing.
  virtual std::unique_ptr<Record> OpenRecord(const std::string& source, int32_t mode,
                                             int32_t create_options, int32_t options,
                                             const std::string& user,
                                             const std::string& password) = 0;

  // Connection.BeginTrans / CommitTrans / RollbackTrans: the host holds a delivery open while
  // the save handler runs, and commits it afterwards. Without an open transaction every
  // write is a transaction of its own. Transactions do not nest.
  virtual void BeginTrans() = 0;
  virtual void CommitTrans() = 0;
  virtual void RollbackTrans() = 0;
};

}  // namespace corvalith::store

#endif  // CORVALITH_STORE_RECORD_H_
