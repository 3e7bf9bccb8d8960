// `corvalith lmtp`: the home's store and one filter instance behind an LMTP listener (and
// Postfix's recipient map), for the life of the process, as the store process of a mail server
// holds them. Its own lines go to syslog (facility mail) when no person watches its stderr.
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "cli/command.h"
#include "lmtp/inherited_sockets.h"
#include "lmtp/lmtp_server.h"
#include "logging/control_characters.h"
#include "mailhost/mail_host.h"
#include "mailhost/mail_host_pool.h"
#include "mailhost/verdict_recorder.h"
#include "platform/text.h"
#include "store/message_import.h"

namespace corvalith::host {

namespace {

// Deliveries on different connections run at once, each on a host of the pool.
class HostMailroom : public Mailroom {
 public:
  HostMailroom(MailHostPool& hosts, std::string recipient_delimiters)
      : hosts_(hosts), delimiters_(std::move(recipient_delimiters)) {}

  // Permanent failures only when surely there is no such mailbox: an address that is no name
  // a mailbox can have, or UnknownMailbox. Whatever fails while looking (a mailbox the store
  // may not read, a lock, a broken store) is temporary, and the session answers 451, so that
  // the mail server tries again instead of bouncing the mail. An address with an extension
  // (user+ext@domain, as Postfix's recipient_delimiter lets users write) that is no mailbox
  // of its own is its user's.
  MailboxAddress FindMailbox(const std::string& address) override {
    const MailboxAddress wanted = ParseMailboxAddress(address);
    MailHostPool::Lease host = hosts_.Borrow();
    try {
      return host->RequireMailbox(wanted);
    } catch (const UnknownMailbox&) {
      const size_t cut = wanted.user.find_first_of(delimiters_);
      if (cut == 0 || cut == std::string::npos) throw;
      return host->RequireMailbox({wanted.user.substr(0, cut), wanted.domain});
    }
  }

  Delivered Deliver(const MailboxAddress& mailbox, const std::string& message, bool internal,
                    const std::string& item_name) override {
    MailHostPool::Lease host = hosts_.Borrow();
    if (!item_name.empty()) {
      // The user may have moved it anywhere since; deleted, it comes again.
      if (std::optional<ItemState> earlier = host->FindItemNamed(mailbox, item_name)) {
        return {*earlier, true};
      }
    }
    return {host->Deliver(mailbox, store::kInboxFolder, message, internal, item_name), false};
  }

 private:
  MailHostPool& hosts_;
  const std::string delimiters_;
};

std::atomic<LmtpServer*> signalled_server = nullptr;

void StopOnSignal(int) {
  if (LmtpServer* server = signalled_server.load()) server->StopFromSignal();
}

// SIGTERM and SIGINT stop the server for as long as the object lives.
class StopSignals {
 public:
  explicit StopSignals(LmtpServer& server) {
    signalled_server = &server;
    struct sigaction action {};
    action.sa_handler = StopOnSignal;
    // Reads and writes of the store carry on; only the waits of the server notice the signal.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, &old_term_);
    sigaction(SIGINT, &action, &old_int_);
  }
  ~StopSignals() {
    sigaction(SIGTERM, &old_term_, nullptr);
    sigaction(SIGINT, &old_int_, nullptr);
    signalled_server = nullptr;
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  struct sigaction old_term_ {};
  struct sigaction old_int_ {};
};

std::string HostName() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

// --received-by NAME: one word, as Postfix's myhostname is.
std::string ReceivedBy(const std::string& name) {
  if (name.empty() || HasControlCharacter(name) || name.find(' ') != std::string::npos) {
    throw UsageError{"--received-by needs a host name (Postfix's myhostname)"};
  }
  return name;
}

// --trust ADDRESS[,ADDRESS...]: numeric addresses, for a TCP listener only.
std::vector<std::string> TrustedClients(const std::string& list, bool unix_listener) {
  if (unix_listener) {
    throw UsageError{"--trust is for a TCP listener: every client of the unix socket is trusted"};
  }
  std::vector<std::string> clients;
  for (const std::string& piece : SplitText(list, ',')) {
    std::string client(TrimSpaces(piece));
    if (!NumericAddress(client)) {
      throw UsageError{"--trust: '" + EscapeControlCharacters(client) +
                       "' is not a numeric IPv4 or IPv6 address"};
    }
    clients.push_back(client);
  }
  if (clients.empty()) throw UsageError{"--trust needs at least one address"};
  return clients;
}

// What the start line says of internal mail, so that a name that does not match Postfix's, or
// a TCP listener without --trust, shows at once.
std::string InternalMailRule(const LmtpServerOptions& options, const LmtpServer& server) {
  const std::string rule =
      "internal mail: an authenticated sender in a Received field by " + options.postfix_host_name;
  if (server.unix_socket()) return rule;
  if (options.trusted_clients.empty()) return "internal mail: none (no --trust)";
  std::string clients;
  for (const std::string& client : options.trusted_clients) {
    clients += (clients.empty() ? "" : ", ") + client;
  }
  return rule + ", from " + clients;
}

// A listener as the start line names it.
std::string Shown(const std::string& address, const std::optional<InheritedSocket>& inherited) {
  return inherited ? address + " (from systemd)" : address;
}

// Where a listener is: the socket systemd passed, else the option, else `fallback`. Both at
// once would leave one unserved without a word.
std::string ListenOption(const CommandLine& line, const std::string& option,
                         const std::optional<InheritedSocket>& inherited,
                         const std::string& fallback) {
  if (!line.Has(option)) return inherited ? "" : fallback;
  if (inherited) {
    throw UsageError{option + " " + EscapeControlCharacters(line.Option(option)) +
                     ": systemd passed this socket already (" + inherited->address +
                     "); drop the option or the socket unit's"};
  }
  return line.Option(option);
}

// Where the server's own lines go: --log, else syslog unless a person watches stderr, as
// Postfix and Dovecot do.
bool LogToSyslog(const CommandLine& line) {
  if (!line.Has("--log")) return isatty(STDERR_FILENO) == 0;
  const std::string& target = line.Option("--log");
  if (target != "stderr" && target != "syslog") {
    throw UsageError{"--log is stderr or syslog, not '" + EscapeControlCharacters(target) + "'"};
  }
  return target == "syslog";
}

// --workers N: deliveries at once, each with its own store connection; by default one a core.
size_t Workers(const CommandLine& line, size_t max_connections) {
  if (!line.Has("--workers")) {
    return std::clamp<size_t>(std::thread::hardware_concurrency(), 1, max_connections);
  }
  const std::string& text = line.Option("--workers");
  const std::optional<long> workers = WholeNumber(text);
  if (!workers || *workers < 1 || static_cast<size_t>(*workers) > max_connections) {
    throw UsageError{"--workers is a number from 1 to " + std::to_string(max_connections) +
                     ", not '" + EscapeControlCharacters(text) + "'"};
  }
  return static_cast<size_t>(*workers);
}

// --recipient-delimiter CHARS: Postfix's recipient_delimiter; "" for none.
std::string RecipientDelimiters(const CommandLine& line) {
  if (!line.Has("--recipient-delimiter")) return "+";
  const std::string& chars = line.Option("--recipient-delimiter");
  for (char ch : chars) {
    if (ch == '@' || ch == '.' || static_cast<unsigned char>(ch) <= ' ' ||
        static_cast<unsigned char>(ch) >= 0x7F) {
      throw UsageError{"--recipient-delimiter takes characters such as + or -, not '" +
                       EscapeControlCharacters(chars) + "'"};
    }
  }
  return chars;
}

// A line's syslog priority: what the line says it is.
int SyslogPriority(const std::string& line) {
  if (line.starts_with("error: ")) return LOG_ERR;
  if (line.starts_with("warning: ")) return LOG_WARNING;
  return LOG_INFO;
}

}  // namespace

int RunLmtp(Context& c) {
  ExpectPositional(c.line, c.command, 0, 0);
  const bool to_syslog = LogToSyslog(c.line);
  InheritedSockets inherited = TakeInheritedSockets();
  LmtpServerOptions options;
  options.inherited_listener = inherited.lmtp;
  options.inherited_map = inherited.map;
  options.listen =
      ListenOption(c.line, "--listen", inherited.lmtp, "unix:" + c.home.directory + "/lmtp.sock");
  options.map_listen = ListenOption(c.line, "--map", inherited.map, "");
  options.host_name = HostName();
  options.postfix_host_name =
      c.line.Has("--received-by") ? ReceivedBy(c.line.Option("--received-by")) : options.host_name;
  if (c.line.Has("--trust")) {
    const bool unix_listener =
        (inherited.lmtp ? inherited.lmtp->address : options.listen).starts_with("unix:");
    options.trusted_clients = TrustedClients(c.line.Option("--trust"), unix_listener);
  }
  std::mutex log_mutex;
  auto log = [&](const std::string& line) {
    if (to_syslog) {
      syslog(SyslogPriority(line), "%s", line.c_str());
      return;
    }
    std::lock_guard<std::mutex> lock(log_mutex);
    c.err << "corvalith lmtp: " << line << std::endl;
  };
  if (to_syslog) openlog("corvalith", LOG_PID, LOG_MAIL);
  // A verdict history that cannot be written is one warning in this log, beside the server's.
  SetHistoryWarningLog(log);
  struct WarningLogReset {
    ~WarningLogReset() { SetHistoryWarningLog(nullptr); }
  } warning_log_reset;
  try {
    MailHostPool hosts(c.home, c.construct_string, Workers(c.line, options.max_connections));
    HostMailroom mailroom(hosts, RecipientDelimiters(c.line));
    LmtpServer server(options, mailroom, log);
    StopSignals signals(server);
    // Whoever reads the log may go away; deliveries go on without it.
    signal(SIGPIPE, SIG_IGN);
    const std::string map =
        server.map_address().empty()
            ? ""
            : ", recipient map on " + Shown(server.map_address(), inherited.map);
    log("listening on " + Shown(server.address(), inherited.lmtp) + map + "; " +
        InternalMailRule(options, server) + "; " + std::to_string(hosts.size()) +
        " deliveries at once");
    server.Run();
  } catch (const std::exception& e) {
    // stderr says it too (the journal keeps it); the mail log is where the administrator looks.
    if (to_syslog) log("error: " + EscapeControlCharacters(e.what()));
    throw;
  }
  log("stopped");
  return kExitOk;
}

}  // namespace corvalith::host
