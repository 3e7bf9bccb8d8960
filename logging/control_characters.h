// Control characters in text from outside: mail headers, addresses, item URLs, folder names,
// failure descriptions. A control character is a byte below 0x20 or DEL (0x7F). CR and LF
// would split a log record or a whitelist line in two, ESC would drive the terminal of
// whoever reads the log; none of them belongs in an address or a name.
#ifndef CORVALITH_LOGGING_CONTROL_CHARACTERS_H_
#define CORVALITH_LOGGING_CONTROL_CHARACTERS_H_

#include <string_view>

namespace corvalith {

bool IsControlCharacter(char c);
bool HasControlCharacter(std::string_view text);

}  // namespace corvalith

#endif  // CORVALITH_LOGGING_CONTROL_CHARACTERS_H_
