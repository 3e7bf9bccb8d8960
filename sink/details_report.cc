// The details report of the summary record at DebugLevel 2 and above: what the filter saw
// and decided, in fixed-width labelled lines joined with CR LF.
#include "logging/log_file.h"
#include "sink/exchange_filter.h"
#include "store/filter_operations.h"
#include "whitelist/whitelist.h"

namespace corvalith {

namespace {

// Length in UTF-16 code units, as the report counts characters.
size_t Utf16Length(const std::string& utf8) {
  size_t units = 0;
  for (size_t i = 0; i < utf8.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    if ((c & 0xC0) == 0x80) continue;  // continuation byte
    units += c >= 0xF0 ? 2 : 1;        // four-byte sequences need a surrogate pair
  }
  return units;
}

}  // namespace

void ExchangeFilter::AppendDetailsReport(EventContext& event) {
  store::Record& record = event.record();
  const std::string crlf = "\r\n";
  std::string& s = event.summary;
  s += crlf + "___Details___";
  s += crlf + "Domain    : " + event.domain;
  s += crlf + "User      : " + event.user;
  s += crlf + "Mailfile  : " + event.item_name;
  s += crlf + "Flags     : 0x" + Hex(event.flags);
  s += crlf + "URL       : " + event.item_url;
  s += crlf + "Sender    : " + event.sender_address;
  s += crlf + "WhileList : " + event.paths.user_data_path + kWhiteListSuffix;
  s += crlf + "Addr Type : " + GetSenderAddrType(record);
  s += crlf + "Header Len: " + std::to_string(Utf16Length(GetMailHeader(record)));
  s += crlf + "Body Len  : " + std::to_string(Utf16Length(GetMailBody(record)));
  s += crlf + "DebugLevel: " + std::to_string(DebugLevel);
  s += crlf + "UseJunkFld: " + (event.junk_folder_found ? "yes" : "no");
  s += crlf + "JunkFolder: " + event.junk_folder_url;
  s += crlf + "WhiteList : " +
       (event.use_white_list == 0
            ? std::string("disabled")
            : std::string("enabled") + (event.auto_white_list != 0 ? " (auto)" : ""));
  s += crlf + "ProvMode  : " + std::to_string(event.provider_mode);
  if (event.hide_spam != 0) s += crlf + "Hide Spam : yes";
  int32_t ham = 0;
  int32_t spam = 0;
  ThrowIfFailed(Engine(event).GetStatistics(event.paths.user_data_path, &ham, &spam));
  s += crlf + "HAM/SPAM  : " + std::to_string(ham) + "/" + std::to_string(spam);
  if (DebugLevel > 3) s += crlf + "--- Header ---" + crlf + GetMailHeader(record);
  if (DebugLevel > 4) s += crlf + "---  Body  ---" + crlf + GetMailBody(record);
}

}  // namespace corvalith
