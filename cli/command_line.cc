#include "cli/command_line.h"

#include <algorithm>
#include <optional>

namespace corvalith::host {

std::string CommandLine::Option(const std::string& option) const {
  auto it = options.find(option);
  return it == options.end() ? "" : it->second;
}

std::vector<std::string> CommandLine::Values(const std::string& option) const {
  auto it = lists.find(option);
  return it == lists.end() ? std::vector<std::string>() : it->second;
}

CommandLine ParseCommandLine(const std::vector<std::string>& args,
                             const std::vector<OptionSpec>& known) {
  CommandLine line;
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && (arg == "--help" || arg == "-h")) {
      line.help = true;
    } else if (!options_done && arg == "--version") {
      line.version = true;
    } else if (!options_done && arg.starts_with("--")) {
      std::string name = arg;
      std::optional<std::string> value;
      if (size_t eq = arg.find('='); eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
      }
      auto option = std::find_if(known.begin(), known.end(), [&](const OptionSpec& known_option) {
        return name == known_option.name;
      });
      if (option == known.end()) throw UsageError{"unknown option " + arg};
      if (!option->takes_value) {
        if (value) throw UsageError{"option " + name + " takes no value"};
        line.options[name] = "";
        continue;
      }
      if (option->several_values) {
        std::vector<std::string>& values = line.lists[name];
        if (value) values.push_back(*value);
        while (i + 1 < args.size() && !args[i + 1].starts_with("-")) values.push_back(args[++i]);
        if (values.empty()) throw UsageError{"option " + name + " needs a value"};
        continue;
      }
      if (!value) {
        if (i + 1 >= args.size()) throw UsageError{"option " + name + " needs a value"};
        value = args[++i];
      }
      // One value each: a second would silently replace the first (--trust a --trust b).
      if (line.options.count(name)) {
        throw UsageError{"option " + name + " given more than once"};
      }
      line.options[name] = *value;
    } else if (line.command.empty()) {
      line.command = arg;
    } else {
      line.positional.push_back(arg);
    }
  }
  return line;
}

void AllowOptions(const CommandLine& line, const std::set<std::string>& allowed) {
  auto allow = [&](const std::string& name) {
    if (!allowed.count(name)) {
      throw UsageError{"option " + name + " does not apply to " + line.command};
    }
  };
  for (const auto& [name, value] : line.options) allow(name);
  for (const auto& [name, values] : line.lists) allow(name);
}

}  // namespace corvalith::host
