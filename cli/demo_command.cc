// `corvalith demo [DIR]`: the tour of demo/demo.h, in DIR or in the place --home names.
#include <set>
#include <string>

#include "cli/command.h"
#include "demo/demo.h"

namespace corvalith::host {

int RunDemoCommand(const CommandLine& line, std::ostream& out, std::ostream& err) {
  std::set<std::string> global;
  for (const OptionSpec& option : GlobalOptions()) global.insert(option.name);
  AllowOptions(line, global);
  ExpectPositional(line, *FindCommand("demo"), 0, 1);
  // DIR, or --home as the place for the demo's home.
  return RunDemo(line.positional.empty() ? line.Option("--home") : line.positional[0], out, err);
}

}  // namespace corvalith::host
