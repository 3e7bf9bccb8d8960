// Conversions between UTF-8, the text inside, and UTF-16LE, the text Windows tools such as
// regedit write.
#ifndef CORVALITH_PLATFORM_UNICODE_H_
#define CORVALITH_PLATFORM_UNICODE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace corvalith {

// The length of the valid UTF-8 sequence at text[pos], or 0 when the bytes there are not one
// (a stray continuation byte, an overlong form, a surrogate, a truncated sequence).
size_t Utf8SequenceLength(std::string_view text, size_t pos);

bool IsValidUtf8(std::string_view text);

// Appends the UTF-8 form of UTF-16LE `bytes` (a byte-order mark becomes U+FEFF) to *utf8.
// False for an unpaired surrogate or an odd byte at the end: *utf8 then ends with the text
// before it.
bool Utf16LeToUtf8(std::string_view bytes, std::string* utf8);

// The UTF-16LE form of UTF-8 `text`; each byte that starts no valid sequence becomes U+FFFD.
std::string Utf8ToUtf16Le(std::string_view text);

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_UNICODE_H_
