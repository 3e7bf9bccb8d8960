// An mbox file given to `corvalith deliver`: splitting never loses or invents a message,
// and a message written back with mboxrd quoting splits into the same bytes.
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "mailhost/message_source.h"

namespace {

// One message as an mbox writer stores it: a separator line, every line of ">"s followed by
// "From " quoted with one more ">", and a line end that belongs to the separator.
std::string Quoted(const std::string& message) {
  std::string out = "From fuzz@example.org Thu Jan  1 00:00:00 2026\n";
  size_t at = 0;
  while (at <= message.size()) {
    size_t end = message.find('\n', at);
    end = end == std::string::npos ? message.size() : end + 1;
    size_t i = at;
    while (i < message.size() && message[i] == '>') ++i;
    if (message.compare(i, 5, "From ") == 0) out += '>';
    out.append(message, at, end - at);
    if (end == message.size()) break;
    at = end;
  }
  return out + "\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvalith;
  const std::string bytes = fuzz::Bytes(data, size);
  const std::vector<std::string> messages = host::SplitMbox(bytes);
  size_t separators = host::LooksLikeMbox(bytes) ? 1 : 0;
  for (size_t at = bytes.find("\nFrom "); at != std::string::npos;
       at = bytes.find("\nFrom ", at + 1)) {
    ++separators;
  }
  FUZZ_CHECK(messages.size() == separators);

  // A message ending in CR loses it to the separator's CR LF; everything else round-trips.
  std::string rewritten;
  for (const std::string& message : messages) {
    if (!message.empty() && message.back() == '\r') return 0;
    rewritten += Quoted(message);
  }
  FUZZ_CHECK(host::SplitMbox(rewritten) == messages);
  return 0;
}
