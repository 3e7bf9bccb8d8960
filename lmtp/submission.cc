#include "lmtp/submission.h"

#include <array>
#include <cctype>
#include <optional>
#include <vector>

#include "platform/mail_header.h"
#include "platform/text.h"

namespace corvalith::host {

namespace {

constexpr std::string_view kAuthenticatedSender = "(Authenticated sender: ";
// The protocol words of smtpd's `by` clause after a successful AUTH: ESMTP or UTF8SMTP
// (SMTPUTF8 requested), S for TLS, A for SASL.
constexpr std::array<std::string_view, 4> kAuthenticatedProtocols = {"ESMTPA", "ESMTPSA",
                                                                     "UTF8SMTPA", "UTF8SMTPSA"};
constexpr size_t kMaxQueueIdLength = 32;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// A line without the blanks that fold it.
std::string_view Content(std::string_view line) {
  while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
  return line;
}

// The field's lines without their line ends, the first one being what follows "Received:".
// A last line cut off by the bound (it has no line end) is left out: its end is unknown.
std::vector<std::string_view> Lines(std::string_view folded) {
  std::vector<std::string_view> lines;
  for (size_t start = 0, end; (end = folded.find('\n', start)) != std::string_view::npos;
       start = end + 1) {
    std::string_view line = folded.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
  }
  return lines;
}

// The words of `text`, split at blanks and line ends.
std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  constexpr std::string_view kSeparators = " \t\r\n";
  for (size_t start = text.find_first_not_of(kSeparators); start != std::string_view::npos;) {
    size_t end = std::min(text.find_first_of(kSeparators, start), text.size());
    words.push_back(text.substr(start, end - start));
    start = text.find_first_not_of(kSeparators, end);
  }
  return words;
}

// The index of the line that starts the `by` clause: the first line when the field starts with
// it (Postfix's own submissions: "Received: by HOST (Postfix, from userid 0)"), else the first
// continuation line that does.
std::optional<size_t> ByLine(const std::vector<std::string_view>& lines) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (Content(lines[i]).starts_with("by ")) return i;
  }
  return std::nullopt;
}

// The queue id of a `by` clause that runs from `clause` to the end of the field: the word after
// "id", before the "for" clause or the ';' that starts the date, when it begins with letters
// and digits (only those are taken), at most kMaxQueueIdLength of them.
std::string QueueId(std::string_view clause) {
  std::vector<std::string_view> words = Words(clause.substr(0, clause.find(';')));
  for (size_t i = 0; i + 1 < words.size(); ++i) {
    if (EqualsIgnoringCase(words[i], "for")) break;
    if (!EqualsIgnoringCase(words[i], "id")) continue;
    std::string_view id = words[i + 1];
    size_t length = 0;
    while (length < id.size() && std::isalnum(static_cast<unsigned char>(id[length]))) ++length;
    if (length > kMaxQueueIdLength) return "";
    return std::string(id.substr(0, length));
  }
  return "";
}

// "by HOST (Postfix) with PROTOCOL ...", HOST being `host_name`, PROTOCOL one for a SASL login.
bool IsAuthenticatedByClause(std::string_view line, std::string_view host_name) {
  std::vector<std::string_view> words = Words(line);
  if (words.size() < 5 || words[0] != "by" || !EqualsIgnoringCase(words[1], host_name) ||
      words[2] != "(Postfix)" || words[3] != "with") {
    return false;
  }
  // Without a queue id (no cleanup server: never for mail that reaches a queue) the date
  // follows the protocol after a ';'.
  std::string_view protocol = words[4];
  if (protocol.ends_with(';')) protocol.remove_suffix(1);
  for (std::string_view authenticated : kAuthenticatedProtocols) {
    if (protocol == authenticated) return true;
  }
  return false;
}

// Every line is one of the remarks smtpd_tls_received_header adds: the cipher, which may go on
// over lines indented one blank deeper, and what became of the client certificate.
bool AreTlsRemarks(const std::vector<std::string_view>& lines) {
  bool in_cipher = false;
  for (std::string_view line : lines) {
    std::string_view content = Content(line);
    bool deeper = line.size() > 1 && IsBlank(line[0]) && line[1] == ' ';
    if (content.starts_with("(using ") || (in_cipher && deeper)) {
      in_cipher = true;
    } else if (content.starts_with("(Client CN \"") ||
               content == "(Client did not present a certificate)" ||
               content == "(No client certificate requested)") {
      in_cipher = false;
    } else {
      return false;
    }
  }
  return true;
}

bool IsAuthenticatedSenderLine(std::string_view line) {
  std::string_view content = Content(line);
  return content.size() > kAuthenticatedSender.size() + 1 &&
         content.starts_with(kAuthenticatedSender) && content.ends_with(')');
}

}  // namespace

SubmissionStamp ReadSubmissionStamp(std::string_view message, std::string_view postfix_host_name) {
  SubmissionStamp stamp;
  const std::string_view head = message.substr(0, kMaxStampBytes);
  const std::optional<MailHeaderField> first = MailHeaderReader(head).Next();
  // The reader passes over lines that are no field: only one on the topmost line counts.
  if (!first || first->name.data() != head.data() || !EqualsIgnoringCase(first->name, "Received")) {
    return stamp;
  }
  const std::vector<std::string_view> lines = Lines(first->folded);
  const std::optional<size_t> by = ByLine(lines);
  if (!by) return stamp;
  const std::string_view field = first->folded;
  stamp.queue_id = QueueId(field.substr(static_cast<size_t>(lines[*by].data() - field.data())));
  // from, TLS remarks, the remark, by: at least three lines.
  stamp.authenticated =
      !postfix_host_name.empty() && *by >= 2 && Content(lines[0]).starts_with("from ") &&
      AreTlsRemarks({lines.begin() + 1, lines.begin() + static_cast<std::ptrdiff_t>(*by - 1)}) &&
      IsAuthenticatedSenderLine(lines[*by - 1]) &&
      IsAuthenticatedByClause(lines[*by], postfix_host_name);
  return stamp;
}

}  // namespace corvalith::host
