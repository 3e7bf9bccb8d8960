// LMTP deliveries through the filter, as Postfix makes them: `corvalith lmtp` in a fresh
// temporary home (the Maildir store when `init --maildir` is there, else the SQLite store),
// K client connections at once, each message to one of U users, one transaction per message.
// A message's time runs from its MAIL command to the 250 after its data. Every file and
// directory of a delivery is flushed to disk, as always.
//
//   lmtp_bench [CORPUS_DIR] [--messages N] [--connections K] [--users U] [--sqlite]
//              [--corvalith PATH]
//   lmtp_bench [CORPUS_DIR] --mailbox-sizes S1,S2,... [--rounds R] [--messages N]
//              [--connections K] [--corvalith PATH]
//
// CORPUS_DIR is what scripts/fetch-corpus prints: the development split is sent, in a seeded
// order. Without it, generated mail.
//
// --mailbox-sizes: whether a delivery's cost grows with the mailbox. One Maildir mailbox per
// size S, whose Inbox and Junk E-mail already hold S messages each (maildir_filler.h), gets N
// deliveries in each of R rounds, the sizes taking turns within a round so that a change in
// the machine's load meets them all alike. Prints one line per size: the median over the
// rounds of deliveries per second (with the slowest and fastest round), and its ratio to the
// first size's.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/engine_corpus.h"
#include "bench/maildir_filler.h"
#include "platform/testing/shell_quote.h"
#include "platform/testing/temp_directory.h"
#include "platform/testing/unix_socket.h"

namespace corvalith::bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kDefaultBinary[] = CORVALITH_BINARY;

struct Settings {
  std::string corpus;
  size_t messages = 2000;
  int connections = 4;
  int users = 4;
  bool sqlite = false;
  std::string binary = kDefaultBinary;
  std::vector<size_t> mailbox_sizes;
  int rounds = 3;
};

using testing::Quote;

std::string CommandLine(const Settings& settings, const std::string& home,
                        const std::string& args) {
  return "env -u CORVALITH_REGISTRY -u CORVALITH_HOME " + Quote(settings.binary) + " --home " +
         Quote(home) + " " + args;
}

int Corvalith(const Settings& settings, const std::string& home, const std::string& args) {
  int raw = std::system((CommandLine(settings, home, args) + " >/dev/null 2>&1").c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// What the command prints on stdout.
std::string CorvalithOutput(const Settings& settings, const std::string& home,
                            const std::string& args) {
  FILE* pipe = popen((CommandLine(settings, home, args) + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("popen failed");
  std::string output;
  char bytes[4096];
  for (size_t got; (got = fread(bytes, 1, sizeof bytes, pipe)) > 0;) output.append(bytes, got);
  pclose(pipe);
  return output;
}

// Generated mail: even numbers ham, odd ones spam, each kind with words of its own.
std::string GeneratedMessage(size_t i) {
  static const char* const kHam[] = {"meeting", "report", "build", "lunch", "schedule", "review"};
  static const char* const kSpam[] = {"cheap", "offer", "casino", "winner", "prize", "bonus"};
  const char* const* words = i % 2 == 0 ? kHam : kSpam;
  std::string body;
  for (size_t w = 0; w < 200; ++w) body += std::string(words[(i * 31 + w * 7) % 6]) + " ";
  return "From: <s" + std::to_string(i % 50) + "@sender.example>\nSubject: message " +
         std::to_string(i) + "\n\n" + body + "\n";
}

// `round` gives the messages queue ids of their own.
std::vector<std::string> LoadMessages(const Settings& settings, size_t round = 0) {
  std::vector<std::string> messages;
  if (!settings.corpus.empty()) {
    std::vector<CorpusMail> mails = LoadDevelopmentSplit(settings.corpus);
    ShuffleMails(&mails, 1);
    for (const CorpusMail& mail : mails) {
      std::ifstream in(mail.path, std::ios::binary);
      messages.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  } else {
    for (size_t i = 0; i < settings.messages; ++i) messages.push_back(GeneratedMessage(i));
  }
  if (messages.empty()) throw std::runtime_error("no messages");
  // Cycled when more are asked for than the corpus holds.
  // Each message as Postfix hands it over: under a Received field of its own with the queue id,
  // which also makes corvalith lmtp look for an earlier try of the message before storing it.
  std::vector<std::string> chosen;
  for (size_t i = 0; i < settings.messages; ++i) {
    char queue_id[48];
    std::snprintf(queue_id, sizeof queue_id, "4B%02zX%08zX", round, i);
    chosen.push_back(
        "Received: from mx.sender.example (mx.sender.example [192.0.2.1])\n"
        "\tby mx.example.com (Postfix) with ESMTP id " +
        std::string(queue_id) +
        "\n\tfor <user@example.com>; Tue,  8 Dec 2026 12:00:00 +0000 (UTC)\n" +
        messages[i % messages.size()]);
  }
  return chosen;
}

// The message as LMTP data: CR LF line ends, leading dots doubled, the final dot.
std::string DataOf(const std::string& message) {
  std::string data;
  size_t start = 0;
  while (start < message.size()) {
    size_t end = message.find('\n', start);
    if (end == std::string::npos) end = message.size();
    std::string_view line(message.data() + start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty() && line.front() == '.') data += '.';
    data.append(line);
    data += "\r\n";
    start = end + 1;
  }
  return data + ".\r\n";
}

// `corvalith lmtp` with its stderr read by a thread of its own: the delivery lines must not
// fill a pipe nobody reads.
class Server {
 public:
  Server(const Settings& settings, const std::string& home, const std::string& socket) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 2);
      execl("/usr/bin/env", "env", "-u", "CORVALITH_REGISTRY", "-u", "CORVALITH_HOME",
            settings.binary.c_str(), "--home", home.c_str(), "lmtp", "--listen",
            ("unix:" + socket).c_str(), "--log", "stderr", nullptr);
      _exit(127);
    }
    close(fds[1]);
    reader_ = std::thread([this, fd = fds[0]] {
      char bytes[4096];
      for (ssize_t got; (got = read(fd, bytes, sizeof bytes)) > 0;) {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.append(bytes, static_cast<size_t>(got));
        changed_.notify_all();
      }
      close(fd);
      std::lock_guard<std::mutex> lock(mutex_);
      ended_ = true;
      changed_.notify_all();
    });
  }
  ~Server() {
    kill(pid_, SIGTERM);
    reader_.join();
    waitpid(pid_, nullptr, 0);
  }

  // False when it ended before it listened.
  bool WaitUntilListening() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock,
                  [this] { return ended_ || log_.find("listening on") != std::string::npos; });
    return !ended_;
  }

 private:
  pid_t pid_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string log_;
  bool ended_ = false;
};

class Client {
 public:
  explicit Client(const std::string& path) : socket_(testing::ConnectUnixSocket(path)) {
    if (socket_ < 0) throw std::runtime_error("connect " + path + ": " + std::strerror(errno));
    Replies(1);
    Send("LHLO bench\r\n");
    Replies(1);
  }
  ~Client() {
    Send("QUIT\r\n");
    close(socket_);
  }

  void Send(const std::string& bytes) {
    for (size_t sent = 0; sent < bytes.size();) {
      ssize_t n = send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send failed");
      sent += static_cast<size_t>(n);
    }
  }

  // The final lines of the next `count` replies.
  std::vector<std::string> Replies(size_t count) {
    std::vector<std::string> replies;
    while (replies.size() < count) {
      size_t end = pending_.find("\r\n");
      if (end == std::string::npos) {
        char bytes[4096];
        ssize_t got = recv(socket_, bytes, sizeof bytes, 0);
        if (got <= 0) throw std::runtime_error("connection closed");
        pending_.append(bytes, static_cast<size_t>(got));
        continue;
      }
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 2);
      if (line.size() < 4 || line[3] != '-') replies.push_back(line);
    }
    return replies;
  }

 private:
  int socket_ = -1;
  std::string pending_;
};

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1))];
}

struct Measurement {
  std::vector<double> latencies;  // ms per delivered message
  double seconds = 0;
  size_t failures = 0;

  double Rate() const { return static_cast<double>(latencies.size()) / seconds; }
};

// The messages through `corvalith lmtp` on the home, K connections at once.
Measurement Deliver(const Settings& settings, const std::string& home, const std::string& socket,
                    const std::vector<std::string>& messages) {
  Server server(settings, home, socket);
  if (!server.WaitUntilListening()) throw std::runtime_error("corvalith lmtp did not start");
  std::atomic<size_t> next = 0;
  std::atomic<size_t> failures = 0;
  std::vector<std::vector<double>> latencies(static_cast<size_t>(settings.connections));
  Clock::time_point start = Clock::now();
  std::vector<std::thread> clients;
  for (int k = 0; k < settings.connections; ++k) {
    clients.emplace_back([&, k] {
      try {
        Client client(socket);
        for (size_t i; (i = next++) < messages.size();) {
          std::string to =
              "user" + std::to_string(i % static_cast<size_t>(settings.users)) + "@example.com";
          std::string data = DataOf(messages[i]);
          Clock::time_point begin = Clock::now();
          client.Send("MAIL FROM:<sender@outside.example>\r\nRCPT TO:<" + to + ">\r\nDATA\r\n");
          client.Replies(3);
          client.Send(data);
          std::string reply = client.Replies(1)[0];
          latencies[static_cast<size_t>(k)].push_back(
              std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
          if (!reply.starts_with("250")) ++failures;
        }
      } catch (const std::exception& e) {
        std::fprintf(stderr, "lmtp_bench: connection %d: %s\n", k, e.what());
        ++failures;
      }
    });
  }
  for (std::thread& client : clients) client.join();
  Measurement measured;
  measured.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (const std::vector<double>& some : latencies) {
    measured.latencies.insert(measured.latencies.end(), some.begin(), some.end());
  }
  measured.failures = failures;
  return measured;
}

// A new home with U mailboxes; answers which store it holds them in.
std::string MakeHome(const Settings& settings, const std::string& home, const std::string& mail) {
  std::string store = "SQLite";
  if (!settings.sqlite && Corvalith(settings, home, "init --maildir " + Quote(mail)) == 0) {
    store = "Maildir";
  } else if (Corvalith(settings, home, "init") != 0) {
    throw std::runtime_error("init failed");
  }
  for (int u = 0; u < settings.users; ++u) {
    if (Corvalith(settings, home, "mailbox add user" + std::to_string(u) + "@example.com") != 0) {
      throw std::runtime_error("mailbox add failed");
    }
  }
  return store;
}

const char* MailName(const Settings& settings) {
  return settings.corpus.empty() ? "generated mail" : "development split";
}

int Run(const Settings& settings) {
  std::vector<std::string> messages = LoadMessages(settings);
  testing::TempDirectory temp("corvalith-lmtp-bench");
  const std::string store = MakeHome(settings, temp.File("home"), temp.File("mail"));
  const Measurement measured =
      Deliver(settings, temp.File("home"), temp.File("lmtp.sock"), messages);
  if (measured.latencies.empty()) return 1;
  std::printf("store %s, %s, %zu messages, %d connections, %d users\n", store.c_str(),
              MailName(settings), measured.latencies.size(), settings.connections, settings.users);
  std::printf("%.1f deliveries/s, median %.2f ms, p95 %.2f ms, %zu failed\n", measured.Rate(),
              Percentile(measured.latencies, 0.5), Percentile(measured.latencies, 0.95),
              measured.failures);
  return measured.failures == 0 ? 0 : 1;
}

// The text of a field of a one-line JSON answer: a string's bytes (URLs hold no escapes) or a
// number.
std::string JsonField(const std::string& answer, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  size_t start = answer.find(key);
  if (start == std::string::npos) throw std::runtime_error("no " + name + " in " + answer);
  start += key.size();
  if (answer[start] == '"') {
    return answer.substr(start + 1, answer.find('"', start + 1) - start - 1);
  }
  return answer.substr(start, answer.find_first_of(",}", start) - start);
}

// user0 teaches its filter the generated mail's two kinds, as a user does: a mail it took for
// the other kind is moved into the folder it belongs in, which relearns it. Then the spam among
// the deliveries goes into Junk E-mail, where every training spam ends up too.
constexpr size_t kTrainingMessages = 12;
void Train(const Settings& settings, const std::string& home, const std::string& scratch) {
  const std::string file = scratch + "/training.eml";
  for (size_t i = 1000000; i < 1000000 + kTrainingMessages; ++i) {
    std::ofstream(file, std::ios::binary) << GeneratedMessage(i);
    const std::string answer =
        CorvalithOutput(settings, home, "--json deliver user0@example.com " + Quote(file));
    const bool spam = i % 2 == 1;
    if (JsonField(answer, "marker") == (spam ? "2" : "1")) continue;
    const std::string url = JsonField(answer, "url");
    const std::string folder = spam ? "'Junk E-mail'" : "Inbox";
    if (Corvalith(settings, home, "move " + Quote(url) + " " + folder) != 0) {
      throw std::runtime_error("the training move failed: " + url);
    }
  }
}

size_t MessageFiles(const std::string& folder_directory) {
  size_t files = 0;
  for (const char* sub : {"/new", "/cur"}) {
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator(folder_directory + sub)) {
      ++files;
    }
  }
  return files;
}

int RunMailboxSizes(Settings settings) {
  settings.users = 1;
  struct Mailbox {
    size_t size;
    std::string home;
    std::string maildir;
    std::vector<double> rates;
    std::vector<double> latencies;
    size_t failures = 0;
  };
  testing::TempDirectory temp("corvalith-lmtp-bench");
  std::vector<Mailbox> mailboxes;
  for (size_t size : settings.mailbox_sizes) {
    const std::string name = std::to_string(mailboxes.size()) + "-" + std::to_string(size);
    const std::string mail = temp.File("mail-" + name);
    if (MakeHome(settings, temp.File("home-" + name), mail) != "Maildir") {
      throw std::runtime_error("the Maildir store is needed");
    }
    Mailbox mailbox{size, temp.File("home-" + name), mail + "/example.com/user0/Maildir", {}, {}};
    Train(settings, mailbox.home, temp.path());
    const std::string properties = mail + "/example.com/user0/corvalith-properties.db";
    const Clock::time_point start = Clock::now();
    FillFolder(properties, {mailbox.maildir, "Inbox", "Corvalith-Ham", "$NotJunk"}, size, "4A");
    FillFolder(properties,
               {mailbox.maildir + "/.Junk E-mail", "Junk E-mail", "Corvalith-Spam", "$Junk"}, size,
               "4C");
    std::fprintf(stderr, "lmtp_bench: %zu messages into Inbox and Junk E-mail each in %.1f s\n",
                 size, std::chrono::duration<double>(Clock::now() - start).count());
    mailboxes.push_back(std::move(mailbox));
  }
  for (int round = 0; round < settings.rounds; ++round) {
    const std::vector<std::string> messages = LoadMessages(settings, static_cast<size_t>(round));
    for (Mailbox& mailbox : mailboxes) {
      // Each starts with nothing left to write back: the fill, or the deliveries before.
      sync();
      const Measurement measured =
          Deliver(settings, mailbox.home, temp.File("lmtp.sock"), messages);
      mailbox.rates.push_back(measured.Rate());
      mailbox.latencies.insert(mailbox.latencies.end(), measured.latencies.begin(),
                               measured.latencies.end());
      mailbox.failures += measured.failures;
    }
  }
  std::printf("store Maildir, %s, %zu messages per round, %d rounds, %d connections\n",
              MailName(settings), settings.messages, settings.rounds, settings.connections);
  std::printf(
      "| messages in Inbox and in Junk E-mail | deliveries/s: median (slowest, fastest round) | "
      "per delivery median / p95 | of the first size's rate | into Junk E-mail | failed |\n"
      "|---|---|---|---|---|---|\n");
  const double first = Percentile(mailboxes.front().rates, 0.5);
  size_t failures = 0;
  for (const Mailbox& mailbox : mailboxes) {
    const double rate = Percentile(mailbox.rates, 0.5);
    const size_t junk =
        MessageFiles(mailbox.maildir + "/.Junk E-mail") - mailbox.size - kTrainingMessages / 2;
    std::printf("| %zu | %.1f (%.1f, %.1f) | %.2f / %.2f ms | %.0f%% | %zu of %zu | %zu |\n",
                mailbox.size, rate, Percentile(mailbox.rates, 0), Percentile(mailbox.rates, 1),
                Percentile(mailbox.latencies, 0.5), Percentile(mailbox.latencies, 0.95),
                100 * rate / first, junk, mailbox.latencies.size(), mailbox.failures);
    failures += mailbox.failures;
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace
}  // namespace corvalith::bench

int main(int argc, char** argv) try {
  corvalith::bench::Settings settings;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::runtime_error(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--messages") {
      settings.messages = std::stoul(value());
    } else if (arg == "--connections") {
      settings.connections = std::max(1, std::stoi(value()));
    } else if (arg == "--users") {
      settings.users = std::max(1, std::stoi(value()));
    } else if (arg == "--sqlite") {
      settings.sqlite = true;
    } else if (arg == "--corvalith") {
      settings.binary = value();
    } else if (arg == "--mailbox-sizes") {
      std::stringstream sizes(value());
      for (std::string size; std::getline(sizes, size, ',');) {
        settings.mailbox_sizes.push_back(std::stoul(size));
      }
    } else if (arg == "--rounds") {
      settings.rounds = std::max(1, std::stoi(value()));
    } else if (!arg.starts_with("--")) {
      settings.corpus = arg;
    } else {
      std::fprintf(stderr, "lmtp_bench: unknown option %s\n", arg.c_str());
      return 2;
    }
  }
  if (!settings.mailbox_sizes.empty()) return corvalith::bench::RunMailboxSizes(settings);
  return corvalith::bench::Run(settings);
} catch (const std::exception& e) {
  std::fprintf(stderr, "lmtp_bench: %s\n", e.what());
  return 1;
}
