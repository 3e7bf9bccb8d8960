// The fields of a raw mail header block, read the one way the store and the classifier both
// read them. A field starts at a line "name:value" whose name is not empty; every following
// line that begins with a blank or a tab continues it. Any other line (no colon, an empty
// name, an empty line) is no field, and the continuation lines after it belong to nothing.
// Lines end in LF or CRLF. The header comes from strangers: nothing is copied until a caller
// asks for a value, and then at most the bytes it allows. Pure; safe from any thread.
#ifndef CORVALITH_PLATFORM_MAIL_HEADER_H_
#define CORVALITH_PLATFORM_MAIL_HEADER_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace corvalith {

struct MailHeaderField {
  std::string_view name;    // as written, up to the colon
  std::string_view folded;  // after the colon up to the field's last line end, folds and all

  // The value unfolded: the line breaks dropped, the continuation lines' leading blanks kept
  // (" first\tsecond"); at most `max_bytes` of it.
  std::string Unfolded(size_t max_bytes = std::string::npos) const;
};

class MailHeaderReader {
 public:
  explicit MailHeaderReader(std::string_view header) : header_(header) {}

  // The next field in order; nullopt after the last.
  std::optional<MailHeaderField> Next();

 private:
  // The next line without its line end; advances past the line end.
  std::string_view NextLine();

  std::string_view header_;
  size_t pos_ = 0;
};

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_MAIL_HEADER_H_
