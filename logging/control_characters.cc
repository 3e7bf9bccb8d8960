#include "logging/control_characters.h"

#include <algorithm>
#include <cstdio>

namespace corvalith {

bool IsControlCharacter(char c) {
  unsigned char byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

bool HasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), IsControlCharacter);
}

namespace {

std::string Escape(std::string_view text, bool keep_crlf) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (!IsControlCharacter(c)) {
      out += c;
    } else if (keep_crlf && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out += "\r\n";
      ++i;
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(c));
      out += escape;
    }
  }
  return out;
}

}  // namespace

std::string EscapeControlCharacters(std::string_view text) { return Escape(text, false); }

std::string EscapeControlCharactersButCrLf(std::string_view text) { return Escape(text, true); }

}  // namespace corvalith
