// The COM+ constructor string names the data directory: its first ";"-separated element,
// without surrounding blanks, always ending in the directory separator.
#ifndef CORVALITH_CONFIG_CONSTRUCTOR_STRING_H_
#define CORVALITH_CONFIG_CONSTRUCTOR_STRING_H_

#include <string>

namespace corvalith {

// The separator appended to the data directory, so that file names can be concatenated.
inline constexpr char kPathSeparator = '/';

// The data directory named by a constructor string. Throws "Subscript out of range" (9)
// for an empty string, which has no first element.
std::string DataDirectoryFromConstructString(const std::string& construct_string);

}  // namespace corvalith

#endif  // CORVALITH_CONFIG_CONSTRUCTOR_STRING_H_
