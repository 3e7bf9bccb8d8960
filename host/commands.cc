#include "commands.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "batch_request.h"
#include "config/constructor_string.h"
#include "demo.h"
#include "engine/classifier_engine.h"
#include "home.h"
#include "mail_host.h"
#include "message_source.h"
#include "output.h"
#include "platform/registry_file.h"
#include "platform/text.h"
#include "provisioning/data_layout.h"
#include "sink/interfaces.h"
#include "sink/server.h"
#include "whitelist/whitelist.h"

namespace corvalith::host {

namespace {

constexpr char kUsage[] =
    "usage: corvalith [--home DIR] [--json] [--ctor STRING] COMMAND [ARGS]\n"
    "\n"
    "The mail-store host of the CorvalithFilter spam filter: a persistent mailbox store that\n"
    "runs the filter on every delivery and every move, as the mail server would.\n"
    "\n"
    "commands:\n"
    "  init                          create the home (store, registry, data directory)\n"
    "  mailbox add USER@DOMAIN       create a mailbox with its standard folders\n"
    "  mailbox list                  list the mailboxes\n"
    "  deliver USER@DOMAIN [--folder NAME] [--internal] PATH...\n"
    "                                deliver message files, directories, mbox files or -\n"
    "  move URL FOLDER               move an item as its user would\n"
    "  ls USER@DOMAIN [FOLDER]       folders with item counts, or the items of a folder\n"
    "  show URL                      an item's properties and header\n"
    "  stats USER@DOMAIN             the user's filter statistics and whitelists\n"
    "  register [--library PATH]     write the component's class registration\n"
    "  unregister [--library PATH]   remove it\n"
    "  batch                         JSON commands on stdin, JSON answers on stdout\n"
    "  demo [DIR]                    a guided tour in a fresh home\n"
    "  help [COMMAND]                this text, or a command's\n"
    "\n"
    "options:\n"
    "  --home DIR     the home (default $CORVALITH_HOME, else /var/lib/corvalith)\n"
    "  --json         one JSON object per line instead of text\n"
    "  --ctor STRING  the constructor string (default HOME/data)\n";

struct CommandHelp {
  const char* usage;
  const char* text;
};

const std::map<std::string, CommandHelp>& Help() {
  static const auto* help = new std::map<std::string, CommandHelp>{
      {"init",
       {"corvalith init",
        "Creates the home: store.db, registry.reg (the default settings), data/ with the\n"
        "user-manual template. Never overwrites a file; running it again is harmless."}},
      {"mailbox",
       {"corvalith mailbox add USER@DOMAIN | corvalith mailbox list",
        "add creates the mailbox root and its folders Inbox, Sent Items, Deleted Items and\n"
        "Junk E-mail (adding an existing mailbox changes nothing); list shows every mailbox."}},
      {"deliver",
       {"corvalith deliver USER@DOMAIN [--folder NAME] [--internal] PATH...",
        "Delivers each message into the folder (default Inbox) and runs the filter on it.\n"
        "PATH is a message file, a directory of message files, an mbox file or - (one\n"
        "message on stdin). --internal delivers as from a colleague (address type EX, no\n"
        "transport header). Prints each message's final URL, marker and whether it is hidden."}},
      {"move",
       {"corvalith move URL FOLDER",
        "Moves the item into FOLDER of its mailbox (Inbox, Spambox, \"Junk E-mail\",\n"
        "Inbox/Sub ...) as its user would, so the filter learns from the move."}},
      {"ls",
       {"corvalith ls USER@DOMAIN [FOLDER]",
        "Without FOLDER: the mailbox's folders with their item counts. With FOLDER: its\n"
        "items with subject, sender, marker and hidden flag."}},
      {"show", {"corvalith show URL", "The item's properties and its header block."}},
      {"stats",
       {"corvalith stats USER@DOMAIN",
        "The numbers of HAM and SPAM mails the user's filter database holds, and the entries\n"
        "of the user's and the domain's whitelists."}},
      {"register",
       {"corvalith register [--library PATH]",
        "Calls DllRegisterServer of libCorvalithFilter.so (found beside the installed binary\n"
        "or in the build tree, or named by --library): writes the class registration into\n"
        "the registry file (CORVALITH_REGISTRY, else HOME/registry.reg)."}},
      {"unregister",
       {"corvalith unregister [--library PATH]",
        "Calls DllUnregisterServer: removes exactly the keys register wrote."}},
      {"batch",
       {"corvalith batch",
        "Reads one JSON command per line on stdin and answers one JSON line each, all through\n"
        "one filter instance:\n"
        "  "
        "{\"op\":\"deliver\",\"to\":\"u@d\",\"file\":\"PATH\",\"internal\":false,\"folder\":"
        "\"Inbox\"}\n"
        "  {\"op\":\"move\",\"url\":\"URL\",\"folder\":\"NAME\"}\n"
        "answers {\"ok\":true,\"url\":...,\"marker\":N,\"hidden\":false} or\n"
        "{\"ok\":false,\"error\":...}; an \"id\" in a command is echoed in its answer."}},
      {"demo",
       {"corvalith demo [DIR]",
        "Makes a fresh home in DIR (or a new temporary directory), creates two mailboxes,\n"
        "trains the filter with sample mail and a user's corrections, and shows the verdicts,\n"
        "the learning, the whitelist at work and the end of the log."}},
      {"help", {"corvalith help [COMMAND]", "Prints the usage, or a command's."}},
  };
  return *help;
}

// A usage error: the command line itself is wrong.
struct UsageError {
  std::string message;
};

struct CommandLine {
  std::string command;
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;  // "--json" -> "", "--home" -> DIR
  bool help = false;

  bool Has(const std::string& option) const { return options.count(option) != 0; }
  std::string Option(const std::string& option) const {
    auto it = options.find(option);
    return it == options.end() ? "" : it->second;
  }
};

const std::set<std::string> kValueOptions = {"--home", "--ctor", "--folder", "--library"};
const std::set<std::string> kFlagOptions = {"--json", "--internal"};

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine line;
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && (arg == "--help" || arg == "-h")) {
      line.help = true;
    } else if (!options_done && arg.starts_with("--")) {
      std::string name = arg;
      std::optional<std::string> value;
      if (size_t eq = arg.find('='); eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
      }
      if (kFlagOptions.count(name)) {
        if (value) throw UsageError{"option " + name + " takes no value"};
        line.options[name] = "";
      } else if (kValueOptions.count(name)) {
        if (!value) {
          if (i + 1 >= args.size()) throw UsageError{"option " + name + " needs a value"};
          value = args[++i];
        }
        line.options[name] = *value;
      } else {
        throw UsageError{"unknown option " + arg};
      }
    } else if (line.command.empty()) {
      line.command = arg;
    } else {
      line.positional.push_back(arg);
    }
  }
  return line;
}

// Options a command accepts besides the global ones.
void AllowOptions(const CommandLine& line, std::set<std::string> allowed) {
  allowed.insert({"--home", "--json", "--ctor"});
  for (const auto& [name, value] : line.options) {
    if (!allowed.count(name)) {
      throw UsageError{"option " + name + " does not apply to " + line.command};
    }
  }
}

void ExpectPositional(const CommandLine& line, size_t min, size_t max) {
  if (line.positional.size() < min || line.positional.size() > max) {
    throw UsageError{"wrong number of arguments; usage: " +
                     std::string(Help().at(line.command).usage)};
  }
}

// Everything a command runs with.
struct Context {
  CommandLine line;
  Home home;
  std::string construct_string;
  std::istream& in;
  std::ostream& out;
  Output& output;
  std::ostream& err;
};

int CommandInit(Context& c) {
  ExpectPositional(c.line, 0, 0);
  std::vector<std::string> created = CreateHomeFiles(c.home);
  bool store_existed = std::filesystem::exists(c.home.StorePath());
  { MailHost host(c.home, c.construct_string); }
  if (!store_existed) created.push_back(c.home.StorePath());
  std::string text;
  for (const std::string& path : created) text += "created " + path + "\n";
  text += created.empty() ? "home " + c.home.directory + " is complete; nothing to create"
                          : "home " + c.home.directory + " is ready";
  c.output.Emit(Json{{"ok", true}, {"home", c.home.directory}, {"created", created}}, text);
  return kExitOk;
}

int CommandMailbox(Context& c) {
  if (c.line.positional.empty()) throw UsageError{"mailbox needs add or list"};
  std::string what = c.line.positional[0];
  MailHost host(c.home, c.construct_string);
  if (what == "add") {
    ExpectPositional(c.line, 2, 2);
    MailboxAddress mailbox = ParseMailboxAddress(c.line.positional[1]);
    bool created = host.AddMailbox(mailbox);
    c.output.Emit(
        Json{{"ok", true},
             {"mailbox", mailbox.Text()},
             {"url", mailbox.RootUrl()},
             {"created", created}},
        (created ? "added " : "exists already: ") + mailbox.Text() + "  " + mailbox.RootUrl());
    return kExitOk;
  }
  if (what == "list") {
    ExpectPositional(c.line, 1, 1);
    for (const MailboxAddress& mailbox : host.Mailboxes()) {
      c.output.Emit(Json{{"mailbox", mailbox.Text()}, {"url", mailbox.RootUrl()}},
                    mailbox.Text() + "  " + mailbox.RootUrl());
    }
    return kExitOk;
  }
  throw UsageError{"unknown mailbox command '" + what + "' (add or list)"};
}

int CommandDeliver(Context& c) {
  if (c.line.positional.size() < 2) {
    throw UsageError{"usage: " + std::string(Help().at("deliver").usage)};
  }
  MailboxAddress mailbox = ParseMailboxAddress(c.line.positional[0]);
  std::string folder = c.line.Has("--folder") ? c.line.Option("--folder") : "Inbox";
  bool internal = c.line.Has("--internal");
  MailHost host(c.home, c.construct_string);
  // Bad arguments fail the command before any mail is delivered.
  host.ResolveFolder(mailbox, folder);
  std::vector<SourceMessage> messages;
  for (size_t i = 1; i < c.line.positional.size(); ++i) {
    std::vector<SourceMessage> more = ReadMessages(c.line.positional[i], c.in);
    for (SourceMessage& m : more) messages.push_back(std::move(m));
  }

  int failures = 0;
  Progress progress(c.err, messages.size(), WantProgress(messages.size()));
  for (const SourceMessage& message : messages) {
    try {
      ItemState state = host.Deliver(mailbox, folder, message.raw, internal);
      Json answer = StateJson(state);
      answer["source"] = message.origin;
      c.output.Emit(answer, StateText(state) + "  <- " + message.origin);
    } catch (const Failure& failure) {
      ++failures;
      c.output.Emit(
          Json{{"ok", false}, {"source", message.origin}, {"error", failure.description()}}, "");
      c.err << "corvalith: " << message.origin << ": " << failure.description() << "\n";
    }
    progress.Step();
  }
  return failures == 0 ? kExitOk : kExitFailed;
}

int CommandMove(Context& c) {
  ExpectPositional(c.line, 2, 2);
  MailHost host(c.home, c.construct_string);
  ItemState state = host.Move(c.line.positional[0], c.line.positional[1]);
  c.output.Emit(StateJson(state), StateText(state));
  return kExitOk;
}

std::string Column(std::string text, size_t width) {
  // Subjects may hold line breaks or tabs that would break the table.
  for (char& ch : text) {
    if (ch == '\r' || ch == '\n' || ch == '\t') ch = ' ';
  }
  if (text.size() > width) text = text.substr(0, width - 3) + "...";
  text.resize(width, ' ');
  return text;
}

int CommandLs(Context& c) {
  ExpectPositional(c.line, 1, 2);
  MailboxAddress mailbox = ParseMailboxAddress(c.line.positional[0]);
  MailHost host(c.home, c.construct_string);
  host.RequireMailbox(mailbox);
  if (c.line.positional.size() == 1) {
    for (const FolderSummary& folder : host.Folders(mailbox)) {
      c.output.Emit(Json{{"folder", folder.path}, {"url", folder.url}, {"items", folder.items}},
                    Column(folder.path, 30) + " " + std::to_string(folder.items));
    }
    return kExitOk;
  }
  for (const ItemSummary& item : host.Items(mailbox, c.line.positional[1])) {
    std::string marker = MarkerName(item.marker);
    c.output.Emit(Json{{"url", item.url},
                       {"subject", item.subject},
                       {"from", item.from},
                       {"marker", item.marker},
                       {"hidden", item.hidden}},
                  Column(marker + (item.hidden ? "/hidden" : ""), 12) + " " +
                      Column(item.subject, 36) + " " + Column(item.from, 30) + " " + item.url);
  }
  return kExitOk;
}

int CommandShow(Context& c) {
  ExpectPositional(c.line, 1, 1);
  MailHost host(c.home, c.construct_string);
  const std::string& url = c.line.positional[0];
  std::vector<std::pair<std::string, std::string>> properties = host.Properties(url);
  std::string header = host.HeaderBlock(url);
  Json object{{"url", url}};
  Json fields = Json::object();
  std::string text = url + "\n";
  for (const auto& [name, value] : properties) {
    fields[name] = value;
    text += "  " + name + ": " + value + "\n";
  }
  object["properties"] = fields;
  object["header"] = header;
  text += "\n" + header;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  c.output.Emit(object, text);
  return kExitOk;
}

int CommandStats(Context& c) {
  ExpectPositional(c.line, 1, 1);
  MailboxAddress mailbox = ParseMailboxAddress(c.line.positional[0]);
  {
    MailHost host(c.home, c.construct_string);
    host.RequireMailbox(mailbox);
  }
  UserStatistics stats =
      ReadUserStatistics(DataDirectoryFromConstructString(c.construct_string), mailbox);
  std::string text = mailbox.Text() + "  (" + stats.database + ")\n";
  text += "  HAM " + std::to_string(stats.ham) + "  SPAM " + std::to_string(stats.spam) + "\n";
  text += "  user whitelist " + stats.user_list + ": " + std::to_string(stats.user_entries.size()) +
          " entries\n";
  for (const std::string& entry : stats.user_entries) text += "    " + entry + "\n";
  text += "  domain whitelist " + stats.domain_list + ": " +
          std::to_string(stats.domain_entries.size()) + " entries";
  for (const std::string& entry : stats.domain_entries) text += "\n    " + entry;
  c.output.Emit(Json{{"ok", true},
                     {"mailbox", mailbox.Text()},
                     {"database", stats.database},
                     {"ham", stats.ham},
                     {"spam", stats.spam},
                     {"whitelist", stats.user_entries},
                     {"domain_whitelist", stats.domain_entries}},
                text);
  return kExitOk;
}

// The shared library whose self-registration `register` runs: the registration names the
// library that wrote it, and that must be the .so a COM client loads, not this executable.
std::string FindComponentLibrary(const std::string& flag) {
  if (!flag.empty()) return flag;
  if (const char* env = std::getenv("CORVALITH_LIBRARY"); env != nullptr && *env != '\0') {
    return env;
  }
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    std::filesystem::path installed =
        self.parent_path().parent_path() / CORVALITH_INSTALL_LIBDIR / "libCorvalithFilter.so.1";
    if (std::filesystem::exists(installed)) return installed.string();
  }
  if (std::filesystem::exists(CORVALITH_BUILD_LIBRARY)) return CORVALITH_BUILD_LIBRARY;
  throw Failure("cannot find libCorvalithFilter.so (install it, or name it with --library PATH)",
                E_FAIL);
}

int CommandRegister(Context& c, bool do_register) {
  ExpectPositional(c.line, 0, 0);
  std::string library = FindComponentLibrary(c.line.Option("--library"));
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) throw Failure("cannot load " + library + ": " + dlerror(), E_FAIL);
  const char* entry = do_register ? "DllRegisterServer" : "DllUnregisterServer";
  using EntryPoint = HRESULT (*)();
  auto function = reinterpret_cast<EntryPoint>(dlsym(handle, entry));
  if (function == nullptr) {
    dlclose(handle);
    throw Failure(library + " has no " + entry, E_FAIL);
  }
  HRESULT hr = function();
  dlclose(handle);
  std::string registry = RegistryFilePath();
  if (Failed(hr)) {
    char number[16];
    std::snprintf(number, sizeof number, "0x%08X", static_cast<uint32_t>(hr));
    throw Failure(std::string(entry) + " of " + library + " failed with " + number + " (registry " +
                      registry + ")",
                  hr);
  }
  std::string clsid = GuidToString(CLSID_ExchangeFilter);
  c.output.Emit(Json{{"ok", true},
                     {"library", library},
                     {"registry", registry},
                     {"clsid", clsid},
                     {"registered", do_register}},
                std::string(do_register ? "registered " : "unregistered ") + clsid + " (" +
                    library + ") in " + registry);
  return kExitOk;
}

Json BatchAnswer(MailHost& host, const std::string& line) {
  BatchRequest request = ParseBatchRequest(line);
  if (request.op == BatchRequest::Op::kMove) {
    return StateJson(host.Move(request.url, request.folder));
  }
  std::istringstream no_input;
  std::vector<SourceMessage> messages = ReadMessages(request.file, no_input);
  if (messages.size() != 1) {
    throw Failure("the file holds " + std::to_string(messages.size()) +
                      " messages; batch delivers one file per line",
                  E_INVALIDARG);
  }
  return StateJson(host.Deliver(request.to, request.folder, messages[0].raw, request.internal));
}

int CommandBatch(Context& c) {
  ExpectPositional(c.line, 0, 0);
  MailHost host(c.home, c.construct_string);
  // Batch answers are JSON whatever the output mode: a script is on the other end.
  Output answers(c.out, true);
  int failures = 0;
  std::string line;
  while (std::getline(c.in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Json answer;
    try {
      answer = BatchAnswer(host, line);
    } catch (const Failure& failure) {
      ++failures;
      answer = Json{{"ok", false}, {"error", failure.description()}};
    }
    Json request = Json::parse(line, nullptr, false);
    if (request.is_object() && request.contains("id")) answer["id"] = request["id"];
    answers.Emit(answer, "");
  }
  return failures == 0 ? kExitOk : kExitFailed;
}

int PrintHelp(const std::string& command, std::ostream& out) {
  if (command.empty()) {
    out << kUsage;
    return kExitOk;
  }
  auto it = Help().find(command);
  if (it == Help().end()) throw UsageError{"unknown command '" + command + "'"};
  out << "usage: " << it->second.usage << "\n\n" << it->second.text << "\n";
  return kExitOk;
}

int CommandUnregister(Context& c) { return CommandRegister(c, false); }
int CommandRegisterServer(Context& c) { return CommandRegister(c, true); }

struct CommandEntry {
  const char* name;
  std::set<std::string> options;  // besides the global ones
  int (*run)(Context&);
};

int Dispatch(Context& c) {
  static const CommandEntry kCommands[] = {
      {"init", {}, CommandInit},
      {"mailbox", {}, CommandMailbox},
      {"deliver", {"--folder", "--internal"}, CommandDeliver},
      {"move", {}, CommandMove},
      {"ls", {}, CommandLs},
      {"show", {}, CommandShow},
      {"stats", {}, CommandStats},
      {"register", {"--library"}, CommandRegisterServer},
      {"unregister", {"--library"}, CommandUnregister},
      {"batch", {}, CommandBatch},
  };
  for (const CommandEntry& entry : kCommands) {
    if (c.line.command != entry.name) continue;
    AllowOptions(c.line, entry.options);
    return entry.run(c);
  }
  throw UsageError{"unknown command '" + c.line.command + "' (see `corvalith help`)"};
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                   std::ostream& err) {
  try {
    CommandLine line = ParseCommandLine(args);
    if (line.command.empty() || line.command == "help") {
      if (line.positional.size() > 1) throw UsageError{"help takes at most one command"};
      return PrintHelp(line.positional.empty() ? "" : line.positional[0], out);
    }
    if (line.help) return PrintHelp(line.command, out);
    if (!Help().count(line.command)) {
      throw UsageError{"unknown command '" + line.command + "' (see `corvalith help`)"};
    }
    if (line.command == "demo") {
      AllowOptions(line, {});
      ExpectPositional(line, 0, 1);
      // DIR, or --home as the place for the demo's home.
      std::string where = line.positional.empty() ? line.Option("--home") : line.positional[0];
      return RunDemo(where, out, err);
    }

    Output output(out, line.Has("--json"));
    Home home = ResolveHome(line.Option("--home"));
    // Before anything touches the component: the platform reads these once.
    UseHomeEnvironment(home);
    // A broken settings file leaves every setting unset, and with DebugLevel unset the
    // component's log says nothing: say it here.
    if (std::optional<std::string> problem = RegistryFileProblem(RegistryFilePath())) {
      err << "corvalith: warning: registry file not read in full: " << *problem << "\n";
    }
    if (line.command != "init") RequireHome(home);
    std::string ctor = line.Has("--ctor") ? line.Option("--ctor") : home.DataDirectory();
    Context context{line, home, ctor, in, out, output, err};
    return Dispatch(context);
  } catch (const UsageError& usage) {
    err << "corvalith: " << usage.message << "\n";
    return kExitUsage;
  } catch (const Failure& failure) {
    err << "corvalith: " << failure.description() << "\n";
    return kExitFailed;
  } catch (const std::exception& e) {
    err << "corvalith: " << e.what() << "\n";
    return kExitFailed;
  }
}

}  // namespace corvalith::host
