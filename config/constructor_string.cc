#include "config/constructor_string.h"

#include "platform/failure.h"
#include "platform/text.h"

namespace corvalith {

std::string DataDirectoryFromConstructString(const std::string& construct_string) {
  std::vector<std::string> pieces = SplitText(construct_string, ';');
  if (pieces.empty()) throw Failure::SubscriptOutOfRange();
  std::string directory(TrimSpaces(pieces[0]));
  if (directory.empty() || directory.back() != kPathSeparator) directory += kPathSeparator;
  return directory;
}

}  // namespace corvalith
