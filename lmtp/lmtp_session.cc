#include "lmtp/lmtp_session.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <optional>
#include <utility>

#include "lmtp/submission.h"
#include "logging/control_characters.h"
#include "mailhost/output.h"
#include "platform/failure.h"
#include "platform/hash.h"
#include "platform/text.h"
#include "platform/unicode.h"

namespace corvalith::host {

namespace {

// A data line longer than this without its line end is taken in pieces, so that a client
// cannot make the session hold more than one piece besides the message itself.
constexpr size_t kDataPiece = 64 << 10;
// How much of a failure's description a reply carries.
constexpr size_t kMaxReplyDetail = 200;

// What names a queued message's item for each of its recipients: the same on every try of the
// same queued message, so that a try after a lost reply finds what the first one stored. A
// message without a queue id is not from a queue that retries and may legitimately come twice
// with the same bytes: its items get fresh names. Two 64-bit hashes over the whole message,
// whose topmost field (the queue's own Received field) tells one submission from the next,
// keep two different messages from meeting by chance; the message is hashed once, however
// many recipients it has.
class RetryNames {
 public:
  RetryNames(const SubmissionStamp& stamp, const std::string& message)
      : queue_id_(stamp.queue_id),
        digests_{queue_id_.empty() ? 0 : HashBytes(message),
                 queue_id_.empty() ? 0 : HashBytes(message, ~0xcbf29ce484222325ULL)} {}

  // "" when the message has no queue id.
  std::string ItemName(const std::string& recipient, const std::string& sender) const {
    if (queue_id_.empty()) return "";
    // Neither address holds a line end.
    const std::string envelope = recipient + "\n" + sender;
    char digest[40];
    std::snprintf(digest, sizeof digest, "%016" PRIx64 "%016" PRIx64,
                  HashCombine(digests_[0], envelope), HashCombine(digests_[1], envelope));
    return queue_id_ + "-" + digest + ".EML";
  }

 private:
  std::string queue_id_;
  uint64_t digests_[2];
};

// An envelope address as it may go into a header line, a reply and the log: valid UTF-8
// (SMTPUTF8), without control characters (C1 ones included), blanks or angle brackets.
bool IsSafeAddress(std::string_view address) {
  if (HasControlCharacter(address) || address.find_first_of(" <>") != std::string_view::npos ||
      !IsValidUtf8(address)) {
    return false;
  }
  // U+0080 to U+009F are C2 80 to C2 9F.
  for (size_t at = address.find('\xC2'); at != std::string_view::npos;
       at = address.find('\xC2', at + 1)) {
    if (at + 1 < address.size() && static_cast<unsigned char>(address[at + 1]) <= 0x9F) {
      return false;
    }
  }
  return true;
}

// A MAIL FROM or RCPT TO argument (after the colon): the address, in angle brackets or bare,
// a source route dropped, and the ESMTP parameters after it.
struct Path {
  std::string address;
  std::string_view parameters;
};

// Nothing when the address is malformed.
std::optional<Path> ParsePath(std::string_view argument) {
  argument = TrimBlanks(argument);
  std::string_view address;
  std::string_view parameters;
  if (!argument.empty() && argument.front() == '<') {
    size_t close = argument.find('>');
    if (close == std::string_view::npos) return std::nullopt;
    address = argument.substr(1, close - 1);
    parameters = argument.substr(close + 1);
    if (!address.empty() && address.front() == '@') {
      size_t colon = address.find(':');
      if (colon == std::string_view::npos) return std::nullopt;
      address.remove_prefix(colon + 1);
    }
  } else {
    address = argument.substr(0, argument.find_first_of(" \t"));
    parameters = argument.substr(address.size());
  }
  if (!IsSafeAddress(address)) return std::nullopt;
  return Path{std::string(address), TrimBlanks(parameters)};
}

// The reply that refuses MAIL FROM for one of its parameters, or nothing when they are
// acceptable: SIZE=digits up to the limit, BODY=7BIT or 8BITMIME, SMTPUTF8 without a value.
// Parameters it does not know are ignored rather than refused: Postfix sends only those the
// LHLO reply offers, and a refusal would bounce the mail.
std::optional<std::string> RefusedParameter(std::string_view parameters, size_t max_bytes) {
  while (!parameters.empty()) {
    size_t end = std::min(parameters.find_first_of(" \t"), parameters.size());
    std::string_view parameter = parameters.substr(0, end);
    parameters = TrimBlanks(parameters.substr(end));
    size_t equals = parameter.find('=');
    std::string_view keyword = parameter.substr(0, equals);
    std::optional<std::string_view> value;
    if (equals != std::string_view::npos) value = parameter.substr(equals + 1);
    if (EqualsIgnoringCase(keyword, "SIZE")) {
      if (!value || value->empty() || value->find_first_not_of("0123456789") != std::string::npos) {
        return "501 5.5.4 Bad SIZE parameter";
      }
      uint64_t size = 0;
      for (char digit : *value) {
        size = size * 10 + static_cast<uint64_t>(digit - '0');
        // Stops before it could overflow.
        if (size > max_bytes) {
          return "552 5.3.4 Message size exceeds the limit of " + std::to_string(max_bytes) +
                 " bytes";
        }
      }
    } else if (EqualsIgnoringCase(keyword, "BODY")) {
      if (!value ||
          (!EqualsIgnoringCase(*value, "7BIT") && !EqualsIgnoringCase(*value, "8BITMIME"))) {
        return "501 5.5.4 Bad BODY parameter";
      }
    } else if (EqualsIgnoringCase(keyword, "SMTPUTF8") && value) {
      return "501 5.5.4 SMTPUTF8 takes no value";
    }
  }
  return std::nullopt;
}

std::string Reply(std::string_view text) { return std::string(text) + "\r\n"; }

// A failure's description as it may appear in a reply or the log: one line, bounded.
std::string Detail(std::string_view text) {
  return EscapeControlCharacters(text.substr(0, kMaxReplyDetail));
}

// The reply to a recipient whose mailbox the lookup did not give, by the failure's kind: 550
// only for a permanent one, that is surely no such mailbox, so that the mail server bounces
// the mail at once; 451 for anything else (a mailbox the store may not look into, a lock, a
// broken store, an exception of no known kind), so that it keeps the mail and tries again.
std::string LookupFailureReply(const std::string& address, const std::exception& e) {
  if (SurelyNoMailbox(e)) {
    return "550 5.1.1 <" + address + "> No such mailbox";
  }
  return "451 4.3.0 Mailbox lookup failed: " + Detail(e.what());
}

}  // namespace

bool SurelyNoMailbox(const std::exception& failure) {
  const auto* known = dynamic_cast<const Failure*>(&failure);
  return known != nullptr && known->permanent();
}

LmtpSession::LmtpSession(Mailroom& mailroom, std::string host_name, LmtpLimits limits,
                         SubmissionTrust trust, std::function<void(const std::string&)> log)
    : mailroom_(mailroom),
      host_name_(std::move(host_name)),
      limits_(limits),
      trust_(std::move(trust)),
      log_(std::move(log)) {}

std::string LmtpSession::Greeting() const {
  return Reply("220 " + host_name_ + " LMTP corvalith ready");
}

std::string LmtpSession::Receive(std::string_view bytes) {
  std::string replies;
  if (finished_) return replies;
  buffer_.append(bytes);
  while (!finished_) {
    if (state_ == State::kData) {
      if (!TakeData()) break;
      DeliverToEach(replies);
      Reset();
      continue;
    }
    size_t end = buffer_.find('\n');
    if (end == std::string::npos) {
      if (buffer_.size() > limits_.max_command_bytes) {
        discarding_line_ = true;
        buffer_.clear();
      }
      break;
    }
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (discarding_line_ || line.size() > limits_.max_command_bytes) {
      discarding_line_ = false;
      replies += Reply("500 5.5.2 Line too long");
      continue;
    }
    Command(line, replies);
  }
  return replies;
}

void LmtpSession::Command(std::string_view line, std::string& replies) {
  std::string_view verb = line.substr(0, line.find(' '));
  std::string_view argument = verb.size() < line.size() ? line.substr(verb.size() + 1) : "";
  if (HasControlCharacter(line)) {
    replies += Reply("501 5.5.2 Control characters in command");
  } else if (EqualsIgnoringCase(verb, "LHLO")) {
    if (TrimBlanks(argument).empty()) {
      replies += Reply("501 5.5.4 LHLO needs a host name");
      return;
    }
    Reset();
    greeted_ = true;
    replies += Reply("250-" + host_name_) + Reply("250-PIPELINING") +
               Reply("250-ENHANCEDSTATUSCODES") + Reply("250-8BITMIME") + Reply("250-SMTPUTF8") +
               Reply("250 SIZE " + std::to_string(limits_.max_message_bytes));
  } else if (EqualsIgnoringCase(verb, "MAIL")) {
    Mail(argument, replies);
  } else if (EqualsIgnoringCase(verb, "RCPT")) {
    Recipient(argument, replies);
  } else if (EqualsIgnoringCase(verb, "DATA")) {
    if (state_ != State::kMail || recipients_.empty()) {
      replies += Reply("503 5.5.1 No valid recipients");
      return;
    }
    state_ = State::kData;
    replies += Reply("354 2.0.0 End data with <CR><LF>.<CR><LF>");
  } else if (EqualsIgnoringCase(verb, "RSET")) {
    Reset();
    replies += Reply("250 2.0.0 Ok");
  } else if (EqualsIgnoringCase(verb, "NOOP")) {
    replies += Reply("250 2.0.0 Ok");
  } else if (EqualsIgnoringCase(verb, "VRFY")) {
    replies += Reply("252 2.5.0 Cannot verify the user, but will take the message");
  } else if (EqualsIgnoringCase(verb, "QUIT")) {
    finished_ = true;
    replies += Reply("221 2.0.0 Bye");
  } else if (EqualsIgnoringCase(verb, "HELO") || EqualsIgnoringCase(verb, "EHLO")) {
    replies += Reply("500 5.5.1 This is LMTP: say LHLO");
  } else {
    replies += Reply("500 5.5.2 Command not recognised");
  }
}

void LmtpSession::Mail(std::string_view argument, std::string& replies) {
  if (!greeted_) {
    replies += Reply("503 5.5.1 Say LHLO first");
    return;
  }
  if (state_ != State::kIdle) {
    replies += Reply("503 5.5.1 Nested MAIL command");
    return;
  }
  if (!StartsWithIgnoringCase(argument, "FROM:")) {
    replies += Reply("501 5.5.4 Syntax: MAIL FROM:<address>");
    return;
  }
  std::optional<Path> sender = ParsePath(argument.substr(5));
  if (!sender) {
    replies += Reply("501 5.1.7 Bad sender address");
    return;
  }
  if (std::optional<std::string> refusal =
          RefusedParameter(sender->parameters, limits_.max_message_bytes)) {
    replies += Reply(*refusal);
    return;
  }
  sender_ = sender->address;
  state_ = State::kMail;
  replies += Reply("250 2.1.0 Ok");
}

void LmtpSession::Recipient(std::string_view argument, std::string& replies) {
  if (state_ != State::kMail) {
    replies += Reply("503 5.5.1 Need MAIL before RCPT");
    return;
  }
  if (!StartsWithIgnoringCase(argument, "TO:")) {
    replies += Reply("501 5.5.4 Syntax: RCPT TO:<address>");
    return;
  }
  std::optional<Path> path = ParsePath(argument.substr(3));
  if (!path || path->address.empty()) {
    replies += Reply("501 5.1.3 Bad recipient address");
    return;
  }
  const std::string& address = path->address;
  if (recipients_.size() >= limits_.max_recipients) {
    replies += Reply("452 4.5.3 Too many recipients");
    return;
  }
  MailboxAddress mailbox;
  try {
    mailbox = mailroom_.FindMailbox(address);
  } catch (const std::exception& e) {
    replies += Reply(LookupFailureReply(address, e));
    return;
  }
  recipients_.push_back({address, std::move(mailbox)});
  replies += Reply("250 2.1.5 Ok");
}

bool LmtpSession::TakeData() {
  auto append = [this](std::string_view text) {
    if (too_big_) return;
    if (message_.size() + text.size() > limits_.max_message_bytes) {
      too_big_ = true;
      std::string().swap(message_);
      return;
    }
    message_.append(text);
  };
  size_t position = 0;
  bool complete = false;
  for (;;) {
    size_t end = buffer_.find("\r\n", position);
    if (end == std::string::npos) {
      std::string_view piece = std::string_view(buffer_).substr(position);
      if (piece.size() > kDataPiece) {
        // A CR at the end may be the first half of the line's CR LF: it waits for the next.
        if (piece.back() == '\r') piece.remove_suffix(1);
        position += piece.size();
        if (at_line_start_ && piece.front() == '.') piece.remove_prefix(1);
        append(piece);
        at_line_start_ = false;
      }
      break;
    }
    std::string_view line = std::string_view(buffer_).substr(position, end - position);
    position = end + 2;
    bool line_start = std::exchange(at_line_start_, true);
    if (line_start && line == ".") {
      complete = true;
      break;
    }
    if (line_start && line.starts_with('.')) line.remove_prefix(1);
    append(line);
    append("\n");
  }
  buffer_.erase(0, position);
  return complete;
}

void LmtpSession::DeliverToEach(std::string& replies) {
  if (too_big_) {
    for (const AcceptedRecipient& recipient : recipients_) {
      replies += Reply("552 5.3.4 <" + recipient.address + "> Message too big");
      log_("to=" + recipient.address + " 552 message over " +
           std::to_string(limits_.max_message_bytes) + " bytes");
    }
    return;
  }
  const SubmissionStamp stamp = ReadSubmissionStamp(message_, trust_.postfix_host_name);
  const bool internal = trust_.client_trusted && stamp.authenticated;
  std::string id = stamp.queue_id.empty() ? "" : "id=" + stamp.queue_id + " ";
  const RetryNames retry_names(stamp, message_);
  for (const AcceptedRecipient& recipient : recipients_) {
    // What a delivery agent adds on top, as Dovecot's does: the envelope, which the message
    // itself does not carry.
    std::string delivered =
        "Return-Path: <" + sender_ + ">\nDelivered-To: " + recipient.address + "\n" + message_;
    try {
      Mailroom::Delivered result = mailroom_.Deliver(
          recipient.mailbox, delivered, internal, retry_names.ItemName(recipient.address, sender_));
      replies += Reply("250 2.0.0 <" + recipient.address + "> Delivered");
      log_(id + "to=" + recipient.address + " 250 " + (result.earlier ? "stored already " : "") +
           MarkerName(result.state.marker) + (internal ? " internal " : " ") +
           EscapeControlCharacters(result.state.url));
    } catch (const std::exception& e) {
      // Even a permanent failure (the mailbox removed since RCPT TO): the mail is never
      // bounced after its data, and the next try's RCPT TO answers from the failure's kind.
      replies +=
          Reply("451 4.3.0 <" + recipient.address + "> Temporary failure: " + Detail(e.what()));
      log_(id + "to=" + recipient.address + " 451 " + Detail(e.what()));
    }
  }
}

void LmtpSession::Reset() {
  state_ = State::kIdle;
  sender_.clear();
  recipients_.clear();
  std::string().swap(message_);
  at_line_start_ = true;
  too_big_ = false;
}

}  // namespace corvalith::host
