// The `corvalith` command line and its exit status (0 when everything asked succeeded, 1 when
// something failed, 2 for a usage error). The commands themselves: cli/command.h.
#ifndef CORVALITH_CLI_COMMANDS_H_
#define CORVALITH_CLI_COMMANDS_H_

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace corvalith::host {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// Runs one command line (without the program name). Sets the process's environment
// variables for the platform before the first use of the component, so it runs once per
// process.
int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                   std::ostream& err);

}  // namespace corvalith::host

#endif  // CORVALITH_CLI_COMMANDS_H_
