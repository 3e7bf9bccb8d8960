#include "host/submission.h"

#include <cctype>
#include <optional>

#include "platform/mail_header.h"
#include "platform/text.h"

namespace corvalith::host {

namespace {

constexpr std::string_view kAuthenticatedSender = "(Authenticated sender: ";
constexpr size_t kMaxQueueIdLength = 32;

// The token after " id " in a Received field's value, when it is a plausible queue id.
std::string QueueId(std::string_view field) {
  for (size_t at = field.find("id"); at != std::string_view::npos; at = field.find("id", at + 2)) {
    bool word_before = at > 0 && std::isspace(static_cast<unsigned char>(field[at - 1]));
    bool blank_after = at + 2 < field.size() && (field[at + 2] == ' ' || field[at + 2] == '\t');
    if (!word_before || !blank_after) continue;
    size_t start = field.find_first_not_of(" \t", at + 2);
    if (start == std::string_view::npos) return "";
    size_t end = start;
    while (end < field.size() && std::isalnum(static_cast<unsigned char>(field[end]))) ++end;
    if (end == start || end - start > kMaxQueueIdLength) return "";
    return std::string(field.substr(start, end - start));
  }
  return "";
}

}  // namespace

SubmissionStamp ReadSubmissionStamp(std::string_view message) {
  SubmissionStamp stamp;
  const std::string_view head = message.substr(0, kMaxStampBytes);
  const std::optional<MailHeaderField> first = MailHeaderReader(head).Next();
  // The reader passes over lines that are no field: only one on the topmost line counts.
  if (!first || first->name.data() != head.data() || !EqualsIgnoringCase(first->name, "Received")) {
    return stamp;
  }
  stamp.authenticated = first->folded.find(kAuthenticatedSender) != std::string_view::npos;
  stamp.queue_id = QueueId(first->folded);
  return stamp;
}

}  // namespace corvalith::host
