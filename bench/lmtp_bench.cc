// LMTP deliveries through the filter, as Postfix makes them: `corvalith lmtp` in a fresh
// temporary home (the Maildir store when `init --maildir` is there, else the SQLite store),
// K client connections at once, each message to one of U users, one transaction per message.
// A message's time runs from its MAIL command to the 250 after its data.
//
//   lmtp_bench [CORPUS_DIR] [--messages N] [--connections K] [--users U] [--sqlite]
//              [--corvalith PATH]
//
// CORPUS_DIR is what scripts/fetch-corpus prints: the development split is sent, in a seeded
// order. Without it, generated mail.
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
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/engine_corpus.h"
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
};

using testing::Quote;

int Corvalith(const Settings& settings, const std::string& home, const std::string& args) {
  std::string command = "env -u CORVALITH_REGISTRY -u CORVALITH_HOME " + Quote(settings.binary) +
                        " --home " + Quote(home) + " " + args + " >/dev/null 2>&1";
  int raw = std::system(command.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

std::vector<std::string> LoadMessages(const Settings& settings) {
  std::vector<std::string> messages;
  if (!settings.corpus.empty()) {
    std::vector<CorpusMail> mails = LoadDevelopmentSplit(settings.corpus);
    ShuffleMails(&mails, 1);
    for (const CorpusMail& mail : mails) {
      std::ifstream in(mail.path, std::ios::binary);
      messages.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
  } else {
    const char* words[] = {"meeting", "report", "cheap", "offer", "build", "casino", "lunch"};
    for (size_t i = 0; i < settings.messages; ++i) {
      std::string body;
      for (size_t w = 0; w < 200; ++w) body += std::string(words[(i * 31 + w * 7) % 7]) + " ";
      messages.push_back("From: <s" + std::to_string(i % 50) +
                         "@sender.example>\nSubject: message " + std::to_string(i) + "\n\n" + body +
                         "\n");
    }
  }
  if (messages.empty()) throw std::runtime_error("no messages");
  // Cycled when more are asked for than the corpus holds.
  // Each message as Postfix hands it over: under a Received field of its own with the queue id,
  // which also makes corvalith lmtp look for an earlier try of the message before storing it.
  std::vector<std::string> chosen;
  for (size_t i = 0; i < settings.messages; ++i) {
    char queue_id[24];
    std::snprintf(queue_id, sizeof queue_id, "4B%08zX", i);
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
            ("unix:" + socket).c_str(), nullptr);
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

int Run(const Settings& settings) {
  std::vector<std::string> messages = LoadMessages(settings);
  testing::TempDirectory temp("corvalith-lmtp-bench");
  std::string home = temp.File("home");
  std::string store = "SQLite";
  if (!settings.sqlite &&
      Corvalith(settings, home, "init --maildir " + Quote(temp.File("mail"))) == 0) {
    store = "Maildir";
  } else if (Corvalith(settings, home, "init") != 0) {
    std::fprintf(stderr, "lmtp_bench: init failed\n");
    return 1;
  }
  for (int u = 0; u < settings.users; ++u) {
    if (Corvalith(settings, home, "mailbox add user" + std::to_string(u) + "@example.com") != 0) {
      std::fprintf(stderr, "lmtp_bench: mailbox add failed\n");
      return 1;
    }
  }
  std::string socket = temp.File("lmtp.sock");
  Server server(settings, home, socket);
  if (!server.WaitUntilListening()) {
    std::fprintf(stderr, "lmtp_bench: corvalith lmtp did not start\n");
    return 1;
  }

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
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  std::vector<double> all;
  for (const std::vector<double>& some : latencies) all.insert(all.end(), some.begin(), some.end());
  if (all.empty()) return 1;
  std::printf("store %s, %s, %zu messages, %d connections, %d users\n", store.c_str(),
              settings.corpus.empty() ? "generated mail" : "development split", all.size(),
              settings.connections, settings.users);
  std::printf("%.1f deliveries/s, median %.2f ms, p95 %.2f ms, %zu failed\n",
              static_cast<double>(all.size()) / seconds, Percentile(all, 0.5),
              Percentile(all, 0.95), failures.load());
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
    } else if (!arg.starts_with("--")) {
      settings.corpus = arg;
    } else {
      std::fprintf(stderr, "lmtp_bench: unknown option %s\n", arg.c_str());
      return 2;
    }
  }
  return corvalith::bench::Run(settings);
} catch (const std::exception& e) {
  std::fprintf(stderr, "lmtp_bench: %s\n", e.what());
  return 1;
}
