#include "cli/commands.h"

#include <sysexits.h>

#include <optional>
#include <set>

#include "cli/command.h"
#include "cli/run_as_owner.h"
#include "platform/registry_file.h"
#include "sink/server.h"

namespace corvalith::host {

namespace {

constexpr char kUsageHead[] =
    "usage: corvalith [--home DIR] [--json] [--ctor STRING] COMMAND [ARGS]\n"
    "\n"
    "The mail-store host of the CorvalithFilter spam filter: a persistent mailbox store that\n"
    "runs the filter on every delivery and every move, as the mail server would.\n"
    "\n"
    "commands:\n";

constexpr char kUsageTail[] =
    "\n"
    "options:\n"
    "  --home DIR     the home (default $CORVALITH_HOME, else /var/lib/corvalith)\n"
    "  --json         one JSON object per line instead of text\n"
    "  --ctor STRING  the constructor string (default HOME/data)\n";

// The usage's command list: the words in a column of 30, their description beside them, or on
// a line of its own below words too long for the column.
std::string CommandList() {
  constexpr size_t kColumn = 30;
  std::string list;
  for (const Command& command : Commands()) {
    for (const Synopsis& line : command.synopsis) {
      std::string words = line.words;
      if (words.size() < kColumn) {
        words.resize(kColumn, ' ');
      } else {
        words += "\n" + std::string(kColumn + 2, ' ');
      }
      list += "  " + words + line.description + "\n";
    }
  }
  return list;
}

// The command the line names: its first word that is neither an option nor the value of a
// global one; "" when there is none.
std::string CommandWord(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") return i + 1 < args.size() ? args[i + 1] : "";
    if (args[i] == "--home" || args[i] == "--ctor") {
      ++i;
    } else if (!args[i].starts_with("-")) {
      return args[i];
    }
  }
  return "";
}

}  // namespace

const std::vector<OptionSpec>& GlobalOptions() {
  static const std::vector<OptionSpec> options = {
      {"--home", true}, {"--json", false}, {"--ctor", true}};
  return options;
}

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {.name = "init",
       .synopsis = {{"init [--maildir ROOT]", "create the home (store, registry, data directory)"}},
       .usage = "corvalith init [--maildir ROOT]",
       .help = "Creates the home: store.db, registry.reg (the default settings), data/ with the\n"
               "user-manual template. Never overwrites a file; running it again is harmless.\n"
               "--maildir ROOT keeps the mailboxes as Maildirs under the absolute directory ROOT\n"
               "(ROOT/DOMAIN/USER/Maildir, created when missing) instead of store.db, and says so\n"
               "in HOME/store.conf; refused for a home with mailboxes in store.db or another ROOT.",
       .options = {{"--maildir", true}},
       .run = RunInit},
      {.name = "mailbox",
       .synopsis = {{"mailbox add USER@DOMAIN", "create a mailbox with its standard folders"},
                    {"mailbox remove USER@DOMAIN [--purge]",
                     "remove a mailbox, keeping its mail unless --purge"},
                    {"mailbox list", "list the mailboxes"}},
       .usage = "corvalith mailbox add USER@DOMAIN | corvalith mailbox remove USER@DOMAIN "
                "[--purge] | corvalith mailbox list",
       .help = "add creates the mailbox root and its folders Inbox, Sent Items, Deleted Items and\n"
               "Junk E-mail (adding an existing mailbox changes nothing; one that differs from an\n"
               "existing mailbox only in case is refused, since a mail server takes both for one);\n"
               "adding a removed mailbox brings it back with the mail its removal kept.\n"
               "remove makes the mailbox unknown to every command (lmtp answers 550 for it) and\n"
               "keeps its mail and the filter's data of the user: a Maildir mailbox's directory\n"
               "ROOT/DOMAIN/USER becomes ROOT/DOMAIN/.removed-USER, a store.db mailbox's rows move\n"
               "to the URL level REMOVED; the output says where. --purge deletes the mailbox's\n"
               "mail (the one a removal kept too, so a removed mailbox can be purged later), the\n"
               "user's model, creation marker and whitelist in the data directory and what train\n"
               "taught the user; never the domain's files or another user's.\n"
               "list shows every mailbox. Every command finds a mailbox whatever the case of its\n"
               "address.",
       .options = {{"--purge", false}},
       .run = RunMailbox},
      {.name = "deliver",
       .synopsis = {{"deliver USER@DOMAIN [--folder NAME] [--internal] [--sasl-user NAME] PATH...",
                     "deliver message files, directories, mbox files or -"}},
       .usage = "corvalith deliver USER@DOMAIN [--folder NAME] [--internal] [--sasl-user NAME] "
                "PATH...",
       .help = "Delivers each message into the folder (default Inbox) and runs the filter on it.\n"
               "PATH is a message file, a directory of message files, an mbox file or - (one\n"
               "message on stdin). --internal delivers as from a colleague (address type EX, no\n"
               "transport header); so does a non-empty --sasl-user (the authenticated sender a\n"
               "mail server passes on). Prints each message's final URL, marker and whether it is\n"
               "hidden. Exit status (sysexits): 0 delivered, 64 usage, 66 unreadable input, 67\n"
               "unknown mailbox or folder, 75 temporary failure (store, filter, lock): try again.",
       .options = {{"--folder", true}, {"--internal", false}, {"--sasl-user", true}},
       .run = RunDeliver,
       .sysexits = true},
      {.name = "move",
       .synopsis = {{"move URL FOLDER", "move an item as its user would"}},
       .usage = "corvalith move URL FOLDER",
       .help = "Moves the item into FOLDER of its mailbox (Inbox, Spambox, \"Junk E-mail\",\n"
               "Inbox/Sub ...) as its user would, so the filter learns from the move.",
       .run = RunMove},
      {.name = "moved",
       .synopsis = {{"moved USER@DOMAIN FOLDER [--special-use FLAGS]",
                     "learn from a move the mail server made (stdin)"}},
       .usage = "corvalith moved USER@DOMAIN FOLDER [--special-use FLAGS]",
       .help = "The message on stdin is one its user has moved into FOLDER through the mail\n"
               "server (an IMAP client): finds the item of FOLDER that holds it and runs the\n"
               "filter's move save on it there, as move does after moving. --special-use: the\n"
               "folder's IMAP special-use flags; with \\Trash among them FOLDER is recorded as\n"
               "the mailbox's Deleted Items folder first, so that the filter leaves the mail\n"
               "alone. Prints the item's state. Exit status (sysexits): 0 done, 64 usage, 65 no\n"
               "item holds the message, 66 unreadable input, 67 unknown mailbox or folder, 75\n"
               "temporary failure: try again.",
       .options = {{"--special-use", true}},
       .run = RunMoved,
       .sysexits = true},
      {.name = "ls",
       .synopsis = {{"ls USER@DOMAIN [FOLDER]",
                     "folders with item counts, or the items of a folder"}},
       .usage = "corvalith ls USER@DOMAIN [FOLDER]",
       .help = "Without FOLDER: the mailbox's folders with their item counts. With FOLDER: its\n"
               "items with subject, sender, marker and hidden flag.",
       .run = RunLs},
      {.name = "show",
       .synopsis = {{"show URL", "an item's properties and header"}},
       .usage = "corvalith show URL",
       .help = "The item's properties and its header block.",
       .run = RunShow},
      {.name = "stats",
       .synopsis = {{"stats USER@DOMAIN", "the user's filter statistics and whitelists"}},
       .usage = "corvalith stats USER@DOMAIN",
       .help = "The numbers of HAM and SPAM mails the user's filter database holds, and the "
               "entries\nof the user's and the domain's whitelists.",
       .run = RunStats},
      {.name = "history",
       .synopsis = {{"history [USER@DOMAIN|@DOMAIN] [--since DATE] [--spam|--ham] [--corrections]"
                     " [--limit N]",
                     "what the filter did with each delivery and move, newest first"}},
       .usage = "corvalith history [USER@DOMAIN|@DOMAIN] [--since DATE] [--spam|--ham] "
                "[--corrections] [--limit N]",
       .help = "The verdict history (HOME/history.db), newest first: per delivery or move the\n"
               "time (UTC), mailbox, folder, verdict, why (parsed, recognised, forced by a\n"
               "trusted sender EA/GWL/WL, swapped, already, ...), the classifier's score, the\n"
               "correction a user's move made (false positive: rescued from the junk folder;\n"
               "false negative: moved into it), sender and subject. USER@DOMAIN: one mailbox;\n"
               "@DOMAIN: every mailbox of the domain. --since DATE: from YYYY-MM-DD or\n"
               "YYYY-MM-DDTHH:MM:SS on (UTC). --spam, --ham: only that verdict. --corrections:\n"
               "only the users' corrections. --limit N: at most N rows (default 100; 0 for all).\n"
               "Rows older than KeepDays (default 90) are dropped as new ones come. Only reads.",
       .options = {{"--since", true},
                   {"--spam", false},
                   {"--ham", false},
                   {"--corrections", false},
                   {"--limit", true}},
       .run = RunHistory},
      {.name = "score",
       .synopsis = {{"score USER@DOMAIN [--explain] PATH...",
                     "the engine's spam probability, registering nothing"}},
       .usage = "corvalith score USER@DOMAIN [--explain] PATH...",
       .help = "Prints the engine's spam probability of each message for the user (0 to 1; above\n"
               "0.5 passes the spam threshold) without delivering, training or creating anything.\n"
               "PATH as for deliver. --explain adds the features that pushed it most towards spam\n"
               "and towards ham: the token, where it came from, and its weight.",
       .options = {{"--explain", false}},
       .run = RunScore},
      {.name = "train",
       .synopsis = {{"train USER@DOMAIN [--spam FOLDER...] [--ham FOLDER...] [--dry-run]",
                     "teach the user's filter from mail already sorted"}},
       .usage = "corvalith train USER@DOMAIN [--spam FOLDER...] [--ham FOLDER...] [--dry-run]",
       .help = "Teaches the user's model (and the site model) every mail of the --spam folders\n"
               "as spam and of the --ham folders as ham, as the filter learns from its user.\n"
               "FOLDER is a folder of the mailbox (\"Junk E-mail\", Inbox, any case), else a\n"
               "Maildir directory (its cur/ and new/) or an mbox file; a name that begins with /\n"
               "or . is always a path. Each option takes every word up to the next option, so\n"
               "USER@DOMAIN comes first; it may be given again. Only reads the mail.\n"
               "What was taught is kept in HOME/trained.db: a mail taught before as the same\n"
               "class is not taught again, one taught as the other class is relearned, so a\n"
               "second run changes nothing. A mail that cannot be read, is larger than 32 MiB\n"
               "or has no header is skipped with one line on stderr. --dry-run counts what\n"
               "would be taught and writes nothing. Prints per class how many mails were\n"
               "learned, relearned, already trained and skipped. Exit status: 0 when the run\n"
               "got through (skipped mails included), 1 when the engine or the store failed, 2\n"
               "for a usage error, a FOLDER that names nothing included (nothing is taught).",
       .options = {{"--spam", true, true}, {"--ham", true, true}, {"--dry-run", false}},
       .run = RunTrain},
      {.name = "report",
       .synopsis = {{"report [--days N] [--html FILE]",
                     "what the filter did: verdicts, corrections, error rate"}},
       .usage = "corvalith report [--days N] [--html FILE]",
       .help = "Sums up the verdict history (HOME/history.db) of the last N days (default 30;\n"
               "UTC days): per day the mails by verdict, those forced to ham by a trusted\n"
               "sender, the users' corrections and the error rate they saw; per domain and per\n"
               "user the mails, spam share, corrections and trusted senders; what the site\n"
               "model and each user's database have learned; the latest mails rescued from the\n"
               "junk folder with the features that pushed them. --html FILE also writes it as\n"
               "one self-contained page with charts (created with mode 0600). Only reads.",
       .options = {{"--days", true}, {"--html", true}},
       .run = RunReport},
      {.name = "register",
       .synopsis = {{"register [--library PATH]", "write the component's class registration"}},
       .usage = "corvalith register [--library PATH]",
       .help = "Calls DllRegisterServer of libCorvalithFilter.so (found beside the installed "
               "binary\nor in the build tree, or named by --library): writes the class "
               "registration into\nthe registry file (CORVALITH_REGISTRY, else "
               "HOME/registry.reg).",
       .options = {{"--library", true}},
       .run = RunRegister},
      {.name = "unregister",
       .synopsis = {{"unregister [--library PATH]", "remove it"}},
       .usage = "corvalith unregister [--library PATH]",
       .help = "Calls DllUnregisterServer: removes exactly the keys register wrote.",
       .options = {{"--library", true}},
       .run = RunUnregister},
      {.name = "batch",
       .synopsis = {{"batch", "JSON commands on stdin, JSON answers on stdout"}},
       .usage = "corvalith batch",
       .help = "Reads one JSON command per line on stdin and answers one JSON line each, all "
               "through\none filter instance:\n"
               "  {\"op\":\"deliver\",\"to\":\"u@d\",\"file\":\"PATH\",\"internal\":false,"
               "\"folder\":\"Inbox\"}\n"
               "  {\"op\":\"move\",\"url\":\"URL\",\"folder\":\"NAME\"}\n"
               "  {\"op\":\"score\",\"to\":\"u@d\",\"file\":\"PATH\"}\n"
               "answers {\"ok\":true,\"url\":...,\"marker\":N,\"hidden\":false}, "
               "{\"ok\":true,\"score\":0.97} or\n"
               "{\"ok\":false,\"error\":...}; an \"id\" in a command is echoed in its answer. "
               "A line\nlonger than 64 KiB is answered with an error and skipped.",
       .run = RunBatch},
      {.name = "lmtp",
       .synopsis = {{"lmtp [--listen unix:PATH | HOST:PORT] [--map unix:PATH | HOST:PORT] "
                     "[--received-by NAME] [--trust ADDRESS,...] [--log stderr|syslog] "
                     "[--workers N] [--recipient-delimiter CHARS]",
                     "deliver what the mail server hands over by LMTP"}},
       .usage = "corvalith lmtp [--listen unix:PATH | HOST:PORT] [--map unix:PATH | HOST:PORT] "
                "[--received-by NAME] [--trust ADDRESS[,ADDRESS...]] [--log stderr|syslog] "
                "[--workers N] [--recipient-delimiter CHARS]",
       .help = "Serves LMTP (default unix:HOME/lmtp.sock, created with mode 0660) until SIGTERM\n"
               "or SIGINT, with one filter instance for the life of the process. Each recipient\n"
               "is answered 250 once its Inbox holds the message, 451 when the store failed or\n"
               "could not tell whether the mailbox exists, 550 only when it surely has none. At\n"
               "most 32 connections (on TCP 8 from one address), each for at most 10 minutes.\n"
               "  --workers N          deliveries at the same time, each with its own store\n"
               "                       connection (default: one a core; at most 32)\n"
               "  --recipient-delimiter CHARS\n"
               "                       Postfix's recipient_delimiter: user+ext@domain is user's\n"
               "                       mail unless it is a mailbox of its own (default +; \"\"\n"
               "                       for none)\n"
               "  --map unix:PATH | HOST:PORT\n"
               "                       also serve Postfix's socketmap table \"mailbox\" there\n"
               "                       (virtual_mailbox_maps; default: none)\n"
               "  --log stderr|syslog  where its lines go, one per delivery (default: syslog,\n"
               "                       facility mail, unless stderr is a terminal)\n"
               "Sockets passed by systemd (LISTEN_FDS, named lmtp and map) replace --listen and\n"
               "--map; their files are left in place at exit.\n"
               "Mail is internal when its topmost Received field is the one Postfix writes for\n"
               "a client that logged in (smtpd_sasl_authenticated_header = yes), by NAME:\n"
               "  --received-by NAME   Postfix's myhostname (default: this machine's host name)\n"
               "  --trust ADDRESS,...  on TCP, the client addresses (numeric IPv4 or IPv6) whose\n"
               "                       mail may be internal; from any other, none is (default)",
       .options = {{"--listen", true},
                   {"--map", true},
                   {"--received-by", true},
                   {"--trust", true},
                   {"--log", true},
                   {"--workers", true},
                   {"--recipient-delimiter", true}},
       .run = RunLmtp},
      {.name = "demo",
       .synopsis = {{"demo [DIR]", "a guided tour in a fresh home"}},
       .usage = "corvalith demo [DIR]",
       .help = "Makes a fresh home in DIR (or a new temporary directory), creates two "
               "mailboxes,\ntrains the filter with sample mail and a user's corrections, and "
               "shows the verdicts,\nthe learning, the whitelist at work and the end of the log.",
       .run_without_home = RunDemoCommand},
      {.name = "help",
       .synopsis = {{"help [COMMAND]", "this text, or a command's"}},
       .usage = "corvalith help [COMMAND]",
       .help = "Prints the usage, or a command's.",
       .run_without_home = RunHelp},
      {.name = "version",
       .synopsis = {{"version", "the version of corvalith (also --version)"}},
       .usage = "corvalith version",
       .help = "Prints \"corvalith VERSION\".",
       .run_without_home = RunVersion},
  };
  return commands;
}

const Command* FindCommand(const std::string& name) {
  for (const Command& command : Commands()) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

void ExpectPositional(const CommandLine& line, const Command& command, size_t min, size_t max) {
  if (line.positional.size() < min || line.positional.size() > max) {
    throw UsageError{"wrong number of arguments; usage: " + std::string(command.usage)};
  }
}

int RunHelp(const CommandLine& line, std::ostream& out, std::ostream&) {
  if (line.positional.size() > 1) throw UsageError{"help takes at most one command"};
  if (line.positional.empty()) {
    out << kUsageHead << CommandList() << kUsageTail;
    return kExitOk;
  }
  const Command* command = FindCommand(line.positional[0]);
  if (command == nullptr) throw UsageError{"unknown command '" + line.positional[0] + "'"};
  out << "usage: " << command->usage << "\n\n" << command->help << "\n";
  return kExitOk;
}

int RunVersion(const CommandLine& line, std::ostream& out, std::ostream&) {
  if (!line.positional.empty()) throw UsageError{"version takes no arguments"};
  out << "corvalith " << CORVALITH_VERSION << "\n";
  return kExitOk;
}

int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                   std::ostream& err) {
  const Command* command = nullptr;
  try {
    std::vector<OptionSpec> known = GlobalOptions();
    // An option may mean one thing to one command and another to the next (train's --spam
    // takes folders, history's is a switch): the first spelling found wins, the named
    // command's own.
    if (const Command* named = FindCommand(CommandWord(args))) {
      known.insert(known.end(), named->options.begin(), named->options.end());
    }
    for (const Command& command : Commands()) {
      known.insert(known.end(), command.options.begin(), command.options.end());
    }
    CommandLine line = ParseCommandLine(args, known);
    if (line.version) {
      if (!line.command.empty()) throw UsageError{"--version takes no command"};
      line.command = "version";
    }
    if (line.command.empty()) line.command = "help";
    command = FindCommand(line.command);
    if (command == nullptr) {
      throw UsageError{"unknown command '" + line.command + "' (see `corvalith help`)"};
    }
    if (line.help && command->run_without_home != RunHelp) {
      CommandLine help;
      help.positional = {line.command};
      return RunHelp(help, out, err);
    }
    if (command->run_without_home != nullptr) return command->run_without_home(line, out, err);

    std::set<std::string> allowed;
    for (const OptionSpec& option : GlobalOptions()) allowed.insert(option.name);
    for (const OptionSpec& option : command->options) allowed.insert(option.name);
    AllowOptions(line, allowed);
    Output output(out, line.Has("--json"));
    Home home = ResolveHome(line.Option("--home"));
    // Before anything in the home is opened: what a command creates there stays its owner's.
    RunAsHomeOwner(home.directory);
    // Before anything touches the component: the platform reads these once.
    UseHomeEnvironment(home);
    // A broken settings file leaves every setting unset, and with DebugLevel unset the
    // component's log says nothing: say it here.
    if (std::optional<std::string> problem = RegistryFileProblem(RegistryFilePath())) {
      err << "corvalith: warning: registry file not read in full: " << *problem << "\n";
    }
    FileSystem& files = ServerEnvironment().file_system();
    if (command->name != std::string("init")) RequireHome(files, home);
    std::string ctor = line.Has("--ctor") ? line.Option("--ctor") : home.DataDirectory();
    Context context{*command, line, home, ctor, files, in, out, output, err};
    return command->run(context);
  } catch (const UsageError& usage) {
    err << "corvalith: " << usage.message << "\n";
    return command != nullptr && command->sysexits ? EX_USAGE : kExitUsage;
  } catch (const ExitFailure& failure) {
    err << "corvalith: " << failure.description() << "\n";
    return failure.status();
  } catch (const Failure& failure) {
    err << "corvalith: " << failure.description() << "\n";
    // A mail server keeps a message it may try again, and loses none that way.
    return command != nullptr && command->sysexits ? EX_TEMPFAIL : kExitFailed;
  } catch (const std::exception& e) {
    err << "corvalith: " << e.what() << "\n";
    return command != nullptr && command->sysexits ? EX_TEMPFAIL : kExitFailed;
  }
}

}  // namespace corvalith::host
