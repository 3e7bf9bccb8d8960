#include "lmtp/socketmap_session.h"

#include <exception>
#include <utility>

#include "logging/control_characters.h"

namespace corvalith::host {

namespace {

constexpr std::string_view kMailboxTable = "mailbox";
// Digits of the longest length a request may have.
constexpr size_t kMaxLengthDigits = 4;
// A reason in a reply: one line, bounded.
constexpr size_t kMaxReason = 200;

std::string Reason(std::string_view text) {
  return EscapeControlCharacters(text.substr(0, kMaxReason));
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string Netstring(std::string_view data) {
  return std::to_string(data.size()) + ":" + std::string(data) + ",";
}

SocketmapSession::SocketmapSession(Mailroom& mailroom, std::function<void(const std::string&)> log)
    : mailroom_(mailroom), log_(std::move(log)) {}

std::string SocketmapSession::Receive(std::string_view bytes) {
  std::string replies;
  if (finished_) return replies;
  buffer_.append(bytes);
  for (;;) {
    // The length: digits up to the colon, no more than a request may need.
    size_t colon = 0;
    while (colon < buffer_.size() && IsDigit(buffer_[colon])) ++colon;
    if (colon == buffer_.size()) {
      finished_ = colon > kMaxLengthDigits;
      break;
    }
    if (colon == 0 || colon > kMaxLengthDigits || buffer_[colon] != ':') {
      finished_ = true;
      break;
    }
    const size_t length = std::stoul(buffer_.substr(0, colon));
    if (length > kMaxSocketmapRequest) {
      finished_ = true;
      break;
    }
    const size_t end = colon + 1 + length;
    if (buffer_.size() <= end) break;
    if (buffer_[end] != ',') {
      finished_ = true;
      break;
    }
    replies += Netstring(Answer(std::string_view(buffer_).substr(colon + 1, length)));
    buffer_.erase(0, end + 1);
  }
  if (finished_) std::string().swap(buffer_);
  return replies;
}

std::string SocketmapSession::Answer(std::string_view request) {
  const size_t space = request.find(' ');
  const std::string_view table = request.substr(0, space);
  if (space == std::string_view::npos || table != kMailboxTable) {
    return "PERM unknown table '" + Reason(table) + "' (the one table is \"mailbox\")";
  }
  return LookUpMailbox(request.substr(space + 1));
}

std::string SocketmapSession::LookUpMailbox(std::string_view key) {
  // Postfix looks "@domain" up when the address itself was not found: no mailbox has such a
  // name, and a domain of its own says nothing of its users.
  if (key.empty() || key.front() == '@') return "NOTFOUND ";
  try {
    return "OK " + mailroom_.FindMailbox(std::string(key)).Text();
  } catch (const std::exception& e) {
    // The rule of RCPT TO, so that the map never refuses what LMTP would take.
    if (SurelyNoMailbox(e)) return "NOTFOUND ";
    const std::string reason = Reason(e.what());
    log_("warning: map lookup of " + Reason(key) + " failed: " + reason);
    return "TEMP " + reason;
  }
}

}  // namespace corvalith::host
