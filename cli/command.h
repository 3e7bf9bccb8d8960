// The commands of `corvalith`, in one table (Commands(), in commands.cc): each names its usage,
// its help, the options it takes besides the global ones and the function that runs it. Adding
// a command is writing that function (declared below, defined in the file of its theme) and
// adding its entry to the table.
#ifndef CORVALITH_CLI_COMMAND_H_
#define CORVALITH_CLI_COMMAND_H_

#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/commands.h"
#include "mailhost/home.h"
#include "mailhost/output.h"
#include "platform/failure.h"
#include "platform/file_system.h"

namespace corvalith::host {

struct Command;

// Everything a command that works in the home runs with.
struct Context {
  const Command& command;
  const CommandLine& line;
  const Home& home;
  std::string construct_string;  // --ctor, else the home's data directory
  FileSystem& files;
  std::istream& in;
  std::ostream& out;
  Output& output;
  std::ostream& err;
};

// One line of the usage's command list: the command's words and what they do.
struct Synopsis {
  const char* words;
  const char* description;
};

struct Command {
  const char* name;
  std::vector<Synopsis> synopsis;
  const char* usage;                // the usage line of `corvalith help NAME`, without "usage: "
  const char* help;                 // the text below it
  std::vector<OptionSpec> options = {};  // besides the global ones
  // Exactly one of the two: a command that works in a home, set up before it runs, or one
  // that needs none (help, demo).
  int (*run)(Context& context) = nullptr;
  int (*run_without_home)(const CommandLine& line, std::ostream& out, std::ostream& err) = nullptr;
  // A command the mail server runs: its exit status is a sysexits(3) code (EX_USAGE for a usage
  // error, ExitFailure's status for a failure), by which the server bounces or retries a message.
  bool sysexits = false;
};

// A failure that ends a command with its own exit status.
class ExitFailure : public Failure {
 public:
  ExitFailure(const Failure& failure, int status) : Failure(failure), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

// The options every command takes.
const std::vector<OptionSpec>& GlobalOptions();
const std::vector<Command>& Commands();
// nullptr for an unknown name.
const Command* FindCommand(const std::string& name);

// Throws UsageError, with the command's usage, unless it has `min` to `max` arguments.
void ExpectPositional(const CommandLine& line, const Command& command, size_t min, size_t max);

// The commands, by theme.
// Setting up: setup_commands.cc.
int RunInit(Context& c);
int RunRegister(Context& c);
int RunUnregister(Context& c);
// Mailboxes and their mail: mailbox_commands.cc.
int RunMailbox(Context& c);
int RunDeliver(Context& c);
int RunMove(Context& c);
int RunLs(Context& c);
int RunShow(Context& c);
int RunStats(Context& c);
int RunMoved(Context& c);
// What the filter did with each save, from the verdict history: history_command.cc.
int RunHistory(Context& c);
// What the engine thinks of a message, registering nothing: score_command.cc.
int RunScore(Context& c);
// Teaching a user's model from mail the user has sorted: train_command.cc.
int RunTrain(Context& c);
// What the filter did, from the verdict history: report_command.cc.
int RunReport(Context& c);
// The batch protocol: batch.cc.
int RunBatch(Context& c);
// Delivery from the mail server over LMTP: lmtp_command.cc.
int RunLmtp(Context& c);
// Without a home: commands.cc, demo_command.cc.
int RunHelp(const CommandLine& line, std::ostream& out, std::ostream& err);
int RunVersion(const CommandLine& line, std::ostream& out, std::ostream& err);
int RunDemoCommand(const CommandLine& line, std::ostream& out, std::ostream& err);

}  // namespace corvalith::host

#endif  // CORVALITH_CLI_COMMAND_H_
