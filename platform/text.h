// The two text operations the filter's string handling is built from, with the semantics the
// stored data relies on: splitting keeps empty pieces, and only the blank is trimmed.
#ifndef CORVALITH_PLATFORM_TEXT_H_
#define CORVALITH_PLATFORM_TEXT_H_

#include <string>
#include <string_view>
#include <vector>

namespace corvalith {

// Splits at every occurrence of `separator`; adjacent separators give empty pieces and an
// empty text yields no pieces at all.
std::vector<std::string> SplitText(const std::string& text, char separator);

// Removes leading and trailing blanks (U+0020 only; a tab stays).
std::string TrimBlanks(const std::string& text);

// ASCII lower case, as the filter compares folder URLs.
std::string LowerCase(std::string text);

// Equal but for the case of ASCII letters, as protocol keywords and host names compare.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_TEXT_H_
