#include "platform/text_reader.h"

namespace corvalith {

std::optional<std::string> TextReader::ReadLine() {
  if (pos_ >= content_.size()) return std::nullopt;
  size_t end = content_.find('\n', pos_);
  size_t next = end == std::string::npos ? content_.size() : end + 1;
  if (end == std::string::npos) {
    end = content_.size();
  } else if (end > pos_ && content_[end - 1] == '\r') {
    --end;
  }
  std::string line = content_.substr(pos_, end - pos_);
  pos_ = next;
  return line;
}

}  // namespace corvalith
