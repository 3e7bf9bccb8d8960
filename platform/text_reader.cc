#include "platform/text_reader.h"

#include "platform/failure.h"

namespace corvalith {
namespace {

class StringTextReader : public TextReader {
 public:
  explicit StringTextReader(std::string content) : content_(std::move(content)) {}

  std::string ReadLine() override {
    if (pos_ >= content_.size()) throw Failure("Input past end of file", kErrInputPastEndOfFile);
    size_t end = content_.find('\n', pos_);
    size_t next = end == std::string::npos ? content_.size() : end + 1;
    if (end == std::string::npos)
      end = content_.size();
    else if (end > pos_ && content_[end - 1] == '\r')
      --end;
    std::string line = content_.substr(pos_, end - pos_);
    pos_ = next;
    return line;
  }

 private:
  const std::string content_;
  size_t pos_ = 0;
};

}  // namespace

std::unique_ptr<TextReader> NewStringTextReader(std::string content) {
  return std::make_unique<StringTextReader>(std::move(content));
}

}  // namespace corvalith
