// The filter's own operations on store items and folders. Each answers a plain value and
// absorbs its own failures in the style the save pipeline relies on: the mail is saved
// whatever happens here, so a store hiccup becomes an error line and a neutral answer
// (0, false, ""), never a failure of the save.
#ifndef CORVALITH_MAILBOX_OPS_FILTER_OPERATIONS_H_
#define CORVALITH_MAILBOX_OPS_FILTER_OPERATIONS_H_

#include <cstdint>
#include <string>

#include "logging/logger.h"
#include "platform/clock.h"
#include "store/record.h"

namespace corvalith {

inline constexpr int32_t kMarkerNone = 0;
inline constexpr int32_t kMarkerHam = 1;
inline constexpr int32_t kMarkerSpam = 2;

// The mail marker "urn:schemas:mailheader:X-Corvalith". Get answers 0 for an unstamped
// mail (silently) and for an unreadable one (with a "MailMarker (Get) failed: " line); Set
// logs "MailMarker (Set) failed: " on failure. Stop-and-log.
int32_t GetMailMarker(store::Record& record, Logger& logger);
// The marker the item's marker field stands for: 0 for an unstamped mail, else the field's
// value as a number. Throws Failure for a value that is no number (Null included).
int32_t DecodeMailMarker(const store::Field& field);
void SetMailMarker(store::Record& record, int32_t marker, Logger& logger);

// Moves the record into the folder under its own name or, when that fails, under a
// clash-free name with the tick count, 100 attempts in all; logs "Cannot move Spam to " once
// when every attempt failed. Carry-on.
bool MoveSpam(store::Record& record, const std::string& folder_url, const std::string& item_name,
              Clock& clock, Logger& logger);

// True when a folder exists at the URL and opens for reading. Never logs.
bool OpenJunkMailFolder(store::Connection& connection, const std::string& folder_url);
// True only when the spam folder existed already; creates it (with its folder class) when
// missing and answers false, so no spam goes into a folder in the event that created it.
// Logs "Open Spambox failed: " when the creation fails.
bool OpenSpambox(store::Connection& connection, const std::string& folder_url, Logger& logger);

// The mailbox's Deleted Items folder URL, read from the mailbox root; "" with a "Detection of
// WasteBasket failed: " line on failure.
std::string GetWasteBasket(store::Connection& connection, const std::string& domain,
                           const std::string& user, Logger& logger);

// The sender's address from the From header: the text between the first "<" and the next
// ">", or a bare address without brackets (one token with one "@" between non-empty parts,
// a trailing "(Display Name)" dropped); "" with a "GetSenderAddress failed: " line when the
// header cannot be read or holds neither, or when the address has a control character.
std::string GetSenderAddress(store::Record& record, Logger& logger);

// The same address of a From header's decoded, unfolded value; throws Failure where
// GetSenderAddress logs.
std::string SenderAddressOfFromHeader(const std::string& header);

// Content properties; "" for a missing, null or unreadable property, without a log line.
std::string GetMailHeader(store::Record& record);
std::string GetPlainBody(store::Record& record);
std::string GetHtmlBody(store::Record& record);
std::string GetSenderAddrType(store::Record& record);
// The HTML body when it is not empty, else the plain-text body.
std::string GetMailBody(store::Record& record);

// The URL of the folder holding the item: everything before the URL's last "/". "" with a
// "GetInbox failed: " line for a URL without "/".
std::string GetInbox(const std::string& item_url, Logger& logger);

}  // namespace corvalith

#endif  // CORVALITH_MAILBOX_OPS_FILTER_OPERATIONS_H_
