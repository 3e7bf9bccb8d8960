// The read-only lookups of a mail's and a mailbox's properties.
#include <memory>

#include "logging/control_characters.h"
#include "mailbox_ops/filter_operations.h"
#include "platform/failure_styles.h"
#include "platform/text.h"
#include "store/mailbox_url.h"

namespace corvalith {

namespace {

std::string ReadStringProperty(store::Record& record, const std::string& name) {
  std::string result;
  try {
    result = record.GetFields().Item(name).Value().ToString();
  } catch (const Failure&) {
    // A missing or null property and a failing read look the same to every caller.
  }
  return result;
}

// The address of a From header without angle brackets: the header without surrounding
// blanks, and without an old-style trailing "(Display Name)" comment. Only one token with
// exactly one "@" between a non-empty local part and domain counts: "MAILER-DAEMON" or a
// list of addresses is no sender that a user could mean to trust. Nothing else is an
// address (subscript out of range, as for any header without "<").
std::string BareAddress(const std::string& header) {
  std::string address(TrimBlanks(std::string_view(header).substr(0, header.find('('))));
  size_t at = address.find('@');
  bool one_address = at != std::string::npos && at != 0 && at + 1 != address.size() &&
                     address.find('@', at + 1) == std::string::npos &&
                     address.find_first_of(" \t,;") == std::string::npos;
  if (!one_address) throw Failure::SubscriptOutOfRange();
  return address;
}

// The text between the first "<" and the next ">" (or the end), else a bare address.
std::string BracketedOrBareAddress(const std::string& header) {
  std::vector<std::string> pieces = SplitText(header, '<');
  // A bare address ("From: alice@example.com") is common in real mail.
  if (pieces.size() < 2) return BareAddress(header);
  std::vector<std::string> address_and_rest = SplitText(pieces[1], '>');
  if (address_and_rest.empty()) throw Failure::SubscriptOutOfRange();
  return address_and_rest[0];
}

}  // namespace

std::string SenderAddressOfFromHeader(const std::string& header) {
  std::string address = BracketedOrBareAddress(header);
  // The store decodes encoded words, so a CR LF may come from the sender: such an address
  // would add a line of the sender's choosing to a whitelist.
  if (HasControlCharacter(address)) {
    throw Failure("Control character in the sender address", kErrInvalidProcedureCall);
  }
  return address;
}

std::string GetMailHeader(store::Record& record) {
  return ReadStringProperty(record, store::kHeaderBlockProperty);
}

std::string GetPlainBody(store::Record& record) {
  return ReadStringProperty(record, store::kPlainBodyProperty);
}

std::string GetHtmlBody(store::Record& record) {
  return ReadStringProperty(record, store::kHtmlBodyProperty);
}

std::string GetSenderAddrType(store::Record& record) {
  return ReadStringProperty(record, store::kAddressTypeProperty);
}

std::string GetMailBody(store::Record& record) {
  std::string html = GetHtmlBody(record);
  if (!html.empty()) return html;
  return GetPlainBody(record);
}

std::string GetWasteBasket(store::Connection& connection, const std::string& domain,
                           const std::string& user, Logger& logger) {
  std::string result;
  StopAndLog(
      [&] {
        std::unique_ptr<store::Record> root = connection.OpenRecord(
            store::MailboxRootUrl(domain, user), store::adModeRead, store::adFailIfNotExists,
            store::adDelayFetchStream + store::adDelayFetchFields, "", "");
        result = root->GetFields().Item(store::kDeletedItemsProperty).Value().ToString();
        root->Close();
      },
      [&](const Failure& failure) {
        logger.Log_Err("Detection of WasteBasket failed: " + failure.description(),
                       failure.number(), domain + "/" + user);
      });
  return result;
}

std::string GetSenderAddress(store::Record& record, Logger& logger) {
  std::string result;
  StopAndLog(
      [&] {
        std::string header = record.GetFields().Item(store::kFromProperty).Value().ToString();
        if (header.empty()) return;
        result = SenderAddressOfFromHeader(header);
      },
      [&](const Failure& failure) {
        logger.Log_Err("GetSenderAddress failed: " + failure.description(), failure.number(),
                       record.Source());
      });
  return result;
}

std::string GetInbox(const std::string& item_url, Logger& logger) {
  std::string result;
  size_t last_slash = item_url.rfind('/');
  if (last_slash == std::string::npos) {
    Failure failure = Failure::InvalidProcedureCall();
    logger.Log_Err("GetInbox failed: " + failure.description(), failure.number(), item_url);
    return result;
  }
  result = item_url.substr(0, last_slash);
  return result;
}

}  // namespace corvalith
