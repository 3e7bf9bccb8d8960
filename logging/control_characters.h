// Control characters in text from outside: mail headers, addresses, item URLs, folder names,
// failure descriptions. A control character is a byte below 0x20 or DEL (0x7F). CR and LF
// would split a log record or a whitelist line in two, ESC would drive the terminal of
// whoever reads the log; none of them belongs in an address or a name.
//
// In the log they are written as escapes: CR as "\r", LF as "\n", tab as "\t", any other
// as "\x" and two upper-case hexadecimal digits ("\x00", "\x1B", "\x7F"). The escape is
// for reading, not for parsing back: a backslash is not doubled, since it cannot break a
// record either way.
#ifndef CORVALITH_LOGGING_CONTROL_CHARACTERS_H_
#define CORVALITH_LOGGING_CONTROL_CHARACTERS_H_

#include <string>
#include <string_view>

namespace corvalith {

bool IsControlCharacter(char c);
bool HasControlCharacter(std::string_view text);

// The text with every control character escaped: for a value inserted into a log record.
std::string EscapeControlCharacters(std::string_view text);
// The same, except that a CR LF pair stays: the line ends that a multi-line record (the
// details report) writes on purpose. Every value inside such a record must be escaped by
// whoever inserts it.
std::string EscapeControlCharactersButCrLf(std::string_view text);

}  // namespace corvalith

#endif  // CORVALITH_LOGGING_CONTROL_CHARACTERS_H_
