// A mailbox's folder layout and the import of a raw RFC 5322 message as a store item, written
// against the record interface so that they work on every store. DeriveMessage is the pure
// part: the properties the store computes from a message when it is delivered.
#ifndef CORVALITH_STORE_MESSAGE_IMPORT_H_
#define CORVALITH_STORE_MESSAGE_IMPORT_H_

#include <optional>
#include <string>
#include <string_view>

#include "store/record.h"

namespace corvalith::store {

inline constexpr char kInboxFolder[] = "Inbox";
inline constexpr char kSentItemsFolder[] = "Sent Items";
inline constexpr char kDeletedItemsFolder[] = "Deleted Items";
inline constexpr char kJunkMailFolder[] = "Junk E-mail";

// Creates the mailbox root, its standard folders and the root's Deleted Items property.
// Idempotent: what exists already is kept. Throws Failure.
void CreateMailbox(Connection& connection, const std::string& domain, const std::string& user);

// The message's header block: everything before its first empty line (nothing, or a lone CR),
// the last header line's end included; the whole message when no line is empty.
std::string_view HeaderBlock(std::string_view raw);

// Where a message came from: the internet (SMTP) or another mailbox of this server.
enum class Origin { kExternal, kInternal };

// The properties derived from a message; a missing value is a property the item does not get.
struct DerivedMessage {
  std::optional<std::string> from;          // kFromProperty: the From header, decoded, unfolded
  std::optional<std::string> subject;       // kSubjectProperty: the Subject header, decoded
  std::optional<std::string> header_block;  // kHeaderBlockProperty: the raw block; external only
  std::optional<std::string> plain_body;    // kPlainBodyProperty: the first text/plain part
  std::optional<std::string> html_body;     // kHtmlBodyProperty: the first text/html part
  std::string address_type;                 // kAddressTypeProperty
};

// Never throws and never stalls on malformed input: what cannot be derived is left missing.
// Every string is valid UTF-8 without NUL characters, except header_block, which is the
// message's own bytes.
// Thread-safe.
DerivedMessage DeriveMessage(const std::string& raw, Origin origin);

// What ImportMessage does with an item already at the URL.
enum class Existing { kReplace, kRefuse };

// Creates the item at `item_url`, whose folder must exist, with `raw` as its content and the
// derived properties; an item already there is replaced, or refused with kAlreadyExists. Two
// writes (content, then properties): a caller that needs the item to appear whole runs it
// inside a connection transaction. Throws Failure.
void ImportMessage(Connection& connection, const std::string& item_url, const std::string& raw,
                   Origin origin, Existing existing = Existing::kReplace);

}  // namespace corvalith::store

#endif  // CORVALITH_STORE_MESSAGE_IMPORT_H_
