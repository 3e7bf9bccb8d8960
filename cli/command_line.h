// The words of a `corvalith` command line: options (anywhere before "--", "--name VALUE" or
// "--name=VALUE" for those that take a value, "--name VALUE VALUE..." for those that take
// several), the command and its arguments.
#ifndef CORVALITH_CLI_COMMAND_LINE_H_
#define CORVALITH_CLI_COMMAND_LINE_H_

#include <map>
#include <set>
#include <string>
#include <vector>

namespace corvalith::host {

// A usage error: the command line itself is wrong. Exit status kExitUsage.
struct UsageError {
  std::string message;
};

struct OptionSpec {
  const char* name;  // "--folder"
  bool takes_value;
  // With takes_value: every word up to the next one that starts with "-" (an option, "--",
  // "-h") is a value, at least one, so that a shell pattern can name many; given again, the
  // option adds its values. No other option may be given twice, since its second value would
  // silently replace the first.
  bool several_values = false;
};

struct CommandLine {
  std::string command;
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;  // "--json" -> "", "--home" -> DIR
  // The options that take several values, with all of them in order: "--spam" -> {A, B}.
  std::map<std::string, std::vector<std::string>> lists;
  bool help = false;  // --help or -h
  bool version = false;  // --version

  bool Has(const std::string& option) const {
    return options.count(option) != 0 || lists.count(option) != 0;
  }
  std::string Option(const std::string& option) const;
  // The values of an option that takes several; none when it is not given.
  std::vector<std::string> Values(const std::string& option) const;
};

// Throws UsageError for an option not in `known`, a value given to a flag or a value missing.
CommandLine ParseCommandLine(const std::vector<std::string>& args,
                             const std::vector<OptionSpec>& known);

// Throws UsageError for an option given that is not in `allowed`.
void AllowOptions(const CommandLine& line, const std::set<std::string>& allowed);

}  // namespace corvalith::host

#endif  // CORVALITH_CLI_COMMAND_LINE_H_
