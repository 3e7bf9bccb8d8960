#include "host/submission.h"

#include <cctype>

namespace corvalith::host {

namespace {

constexpr std::string_view kAuthenticatedSender = "(Authenticated sender: ";
constexpr size_t kMaxQueueIdLength = 32;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

// The first field, from its name to the end of its last continuation line, cut at the bound.
std::string_view FirstField(std::string_view message) {
  std::string_view head = message.substr(0, kMaxStampBytes);
  size_t end = 0;
  for (;;) {
    size_t line_end = head.find('\n', end);
    if (line_end == std::string_view::npos) return head;
    end = line_end + 1;
    if (end >= head.size() || (head[end] != ' ' && head[end] != '\t')) return head.substr(0, end);
  }
}

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
  std::string_view field = FirstField(message);
  if (!StartsWithNoCase(field, "Received:")) return stamp;
  stamp.authenticated = field.find(kAuthenticatedSender) != std::string_view::npos;
  stamp.queue_id = QueueId(field);
  return stamp;
}

}  // namespace corvalith::host
