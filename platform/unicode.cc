#include "platform/unicode.h"

#include <cstdint>

namespace corvalith {
namespace {

void AppendUtf8(uint32_t code, std::string* out) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | code >> 6));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | code >> 12));
    out->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | code >> 18));
    out->push_back(static_cast<char>(0x80 | (code >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

void AppendUtf16Le(uint32_t unit, std::string* out) {
  out->push_back(static_cast<char>(unit & 0xFF));
  out->push_back(static_cast<char>(unit >> 8));
}

bool IsHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

size_t Utf8SequenceLength(std::string_view text, size_t pos) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char c = byte(pos);
  size_t length;
  uint32_t min;
  uint32_t code;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) {
    length = 2, min = 0x80, code = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    length = 3, min = 0x800, code = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    length = 4, min = 0x10000, code = c & 0x07;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(pos + i) & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

bool IsValidUtf8(std::string_view text) {
  for (size_t pos = 0; pos < text.size();) {
    size_t length = Utf8SequenceLength(text, pos);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

bool Utf16LeToUtf8(std::string_view bytes, std::string* utf8) {
  auto unit = [&](size_t i) {
    return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) |
           static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
  };
  utf8->reserve(utf8->size() + bytes.size() / 2);
  size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) {
    uint32_t code = unit(i);
    if (IsLowSurrogate(code)) return false;
    if (IsHighSurrogate(code)) {
      if (i + 3 >= bytes.size() || !IsLowSurrogate(unit(i + 2))) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
      i += 2;
    }
    AppendUtf8(code, utf8);
  }
  return i == bytes.size();
}

std::string Utf8ToUtf16Le(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (size_t pos = 0; pos < text.size();) {
    size_t length = Utf8SequenceLength(text, pos);
    if (length == 0) {
      AppendUtf16Le(0xFFFD, &out);
      ++pos;
      continue;
    }
    uint32_t code = static_cast<unsigned char>(text[pos]);
    if (length > 1) code &= 0x7F >> length;
    for (size_t k = 1; k < length; ++k) {
      code = code << 6 | (static_cast<unsigned char>(text[pos + k]) & 0x3F);
    }
    if (code >= 0x10000) {
      AppendUtf16Le(0xD800 + ((code - 0x10000) >> 10), &out);
      AppendUtf16Le(0xDC00 + ((code - 0x10000) & 0x3FF), &out);
    } else {
      AppendUtf16Le(code, &out);
    }
    pos += length;
  }
  return out;
}

}  // namespace corvalith
