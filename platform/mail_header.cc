#include "platform/mail_header.h"

#include <algorithm>

namespace corvalith {
namespace {

bool IsFoldBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view WithoutCr(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

std::string MailHeaderField::Unfolded(size_t max_bytes) const {
  std::string value;
  std::string_view rest = folded;
  while (!rest.empty() && value.size() < max_bytes) {
    const size_t eol = std::min(rest.find('\n'), rest.size());
    const std::string_view line = WithoutCr(rest.substr(0, eol));
    value.append(line.substr(0, max_bytes - value.size()));
    rest.remove_prefix(std::min(eol + 1, rest.size()));
  }
  return value;
}

std::string_view MailHeaderReader::NextLine() {
  const size_t eol = std::min(header_.find('\n', pos_), header_.size());
  const std::string_view line = WithoutCr(header_.substr(pos_, eol - pos_));
  pos_ = eol + 1;
  return line;
}

std::optional<MailHeaderField> MailHeaderReader::Next() {
  while (pos_ < header_.size()) {
    const size_t start = pos_;
    const std::string_view line = NextLine();
    // Continuation lines of a line that was no field are skipped one by one here.
    if (line.empty() || IsFoldBlank(line[0])) continue;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) continue;
    while (pos_ < header_.size() && IsFoldBlank(header_[pos_])) NextLine();
    const size_t end = std::min(pos_, header_.size());
    return MailHeaderField{line.substr(0, colon),
                           header_.substr(start + colon + 1, end - start - colon - 1)};
  }
  return std::nullopt;
}

}  // namespace corvalith
