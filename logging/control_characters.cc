#include "logging/control_characters.h"

#include <algorithm>

namespace corvalith {

bool IsControlCharacter(char c) {
  unsigned char byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

bool HasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), IsControlCharacter);
}

}  // namespace corvalith
