// The details report of the summary record at DebugLevel 2 and above: what the filter saw
// and decided, in fixed-width labelled lines joined with CR LF. Names, URLs, the sender and
// the mail's header and body come from outside: their control characters are escaped here,
// since the log keeps the CR LF of a multi-line record as it finds it.
#include "logging/control_characters.h"
#include "logging/log_file.h"
#include "mailbox_ops/filter_operations.h"
#include "provisioning/data_layout.h"
#include "sink/exchange_filter.h"

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

// A header or body as lines of the record. A line ends at LF or CR LF, as in mail, and is
// written with CR LF; a bare CR and every other control character is escaped. Each line but
// an empty one is indented, so that no line of a mail can pass for the start of a record
// (which begins with its timestamp).
std::string IndentedBlock(const std::string& text) {
  std::string block;
  size_t pos = 0;
  for (;;) {
    size_t end = text.find('\n', pos);
    std::string_view line(text.data() + pos, (end == std::string::npos ? text.size() : end) - pos);
    if (end != std::string::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) block += "  " + EscapeControlCharacters(line);
    if (end == std::string::npos) return block;
    block += "\r\n";
    pos = end + 1;
  }
}

}  // namespace

void ExchangeFilter::AppendDetailsReport(EventContext& event) {
  store::Record& record = event.record();
  const std::string crlf = "\r\n";
  std::string& s = event.summary;
  auto line = [&](const char* label, const std::string& value) {
    s += crlf + label + EscapeControlCharacters(value);
  };
  line("___Details___", "");
  line("Domain    : ", event.domain);
  line("User      : ", event.user);
  line("Mailfile  : ", event.item_name);
  line("Flags     : 0x", Hex(event.flags));
  line("URL       : ", event.item_url);
  line("Sender    : ", event.sender_address);
  line("WhileList : ", UserWhiteListPath(event.paths.user_data_path));
  line("Addr Type : ", GetSenderAddrType(record));
  line("Header Len: ", std::to_string(Utf16Length(GetMailHeader(record))));
  line("Body Len  : ", std::to_string(Utf16Length(GetMailBody(record))));
  line("DebugLevel: ", std::to_string(DebugLevel.load()));
  line("UseJunkFld: ", event.junk_folder_found ? "yes" : "no");
  line("JunkFolder: ", event.junk_folder_url);
  line("WhiteList : ",
       event.use_white_list == 0
           ? std::string("disabled")
           : std::string("enabled") + (event.auto_white_list != 0 ? " (auto)" : ""));
  line("ProvMode  : ", std::to_string(event.provider_mode));
  if (event.hide_spam != 0) line("Hide Spam : yes", "");
  int32_t ham = 0;
  int32_t spam = 0;
  ThrowIfFailed(Engine(event).GetStatistics(event.paths.user_data_path, &ham, &spam));
  line("HAM/SPAM  : ", std::to_string(ham) + "/" + std::to_string(spam));
  if (DebugLevel > 3) s += crlf + "--- Header ---" + crlf + IndentedBlock(GetMailHeader(record));
  if (DebugLevel > 4) s += crlf + "---  Body  ---" + crlf + IndentedBlock(GetMailBody(record));
}

}  // namespace corvalith
