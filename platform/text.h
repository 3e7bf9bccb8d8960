// The text operations the filter's string handling is built from, with the semantics the
// stored data relies on: splitting keeps empty pieces, and trimming and case are ASCII only,
// byte-wise and locale-free, so that a byte of a UTF-8 sequence (0x80 and up) is never a blank
// and never changes case. Every comparison without regard to case is one of these: protocol
// keywords, header and folder names, keywords and registry names must all compare alike.
#ifndef CORVALITH_PLATFORM_TEXT_H_
#define CORVALITH_PLATFORM_TEXT_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvalith {

// Splits at every occurrence of `separator`; adjacent separators give empty pieces and an
// empty text yields no pieces at all.
std::vector<std::string> SplitText(const std::string& text, char separator);

// The text without the bytes of `characters` at either end. The trims below name the sets
// their callers read with; the answer points into `text`, so it lives only as long as `text`.
std::string_view TrimAny(std::string_view text, std::string_view characters);
// Spaces (U+0020) only; a tab stays: whitelist entries, constructor strings, folder lists.
inline std::string_view TrimSpaces(std::string_view text) { return TrimAny(text, " "); }
// Spaces and tabs: SMTP arguments, header values.
inline std::string_view TrimBlanks(std::string_view text) { return TrimAny(text, " \t"); }
// Spaces, tabs, CR and LF: header field names and unfolded values.
inline std::string_view TrimWhitespace(std::string_view text) { return TrimAny(text, " \t\r\n"); }

// 'A'-'Z' to 'a'-'z'; every other byte as it is. Inline: tokenizers call it per byte.
constexpr char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
// ASCII lower case, as the filter compares folder URLs.
std::string LowerCase(std::string text);

// Equal but for the case of ASCII letters.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);
bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix);
// Where `needle` first occurs in `text` at `from` or after it, without regard to the case of
// ASCII letters; npos when nowhere. An empty needle is found at `from` when that is inside
// the text or at its end.
size_t FindIgnoringCase(std::string_view text, std::string_view needle, size_t from = 0);

// The decimal number that is the whole text (an optional "-", then digits); nothing for
// anything else, an empty text or one out of range included.
std::optional<long> WholeNumber(std::string_view text);

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_TEXT_H_
