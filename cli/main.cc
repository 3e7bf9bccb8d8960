// corvalith: the mail-store host of the CorvalithFilter component. See `corvalith help`.
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + 1, argv + argc);
  return corvalith::host::RunCommandLine(args, std::cin, std::cout, std::cerr);
}
