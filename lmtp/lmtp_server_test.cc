// `corvalith lmtp` as Postfix meets it: the real command on a unix socket in a temporary home,
// a client on the socket, the mail in the store afterwards, and a clean stop on SIGTERM; and the
// listener in this process, for what it admits, trusts and closes.
#include "lmtp/lmtp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lmtp/socketmap_session.h"
#include "mailhost/testing/host_test_support.h"
#include "platform/failure.h"
#include "platform/testing/temp_directory.h"
#include "platform/testing/unix_socket.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

// Every wait of the test ends by then: a hung server fails the test instead of holding it.
constexpr auto kPatience = std::chrono::seconds(60);

int RemainingMilliseconds(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads from `fd` until `done` says the text is complete, EOF (`*eof` set then), or the
// deadline.
template <typename Done>
std::string ReadUntil(int fd, Done done, Clock::time_point deadline, bool* eof = nullptr) {
  std::string text;
  char bytes[4096];
  while (!done(text)) {
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, RemainingMilliseconds(deadline)) <= 0) break;
    ssize_t got = read(fd, bytes, sizeof bytes);
    if (got <= 0) {
      if (eof != nullptr) *eof = true;
      break;
    }
    text.append(bytes, static_cast<size_t>(got));
  }
  return text;
}

// Listening sockets handed to the server as systemd does: descriptors 3, 4, ... and their
// names, colon-separated.
struct PassedSockets {
  std::vector<int> sockets;
  std::string names;
};

// The server process, `corvalith --home HOME lmtp --log stderr ARGS...`, killed and reaped
// whatever happens to the test.
class ServerProcess {
 public:
  ServerProcess(const std::string& home, const std::vector<std::string>& args) {
    const corvalith::host::testing::CorvalithCommand command(home, Words(args));
    Start([&] { command.Exec(); });
  }
  // With the sockets passed; LISTEN_PID must be the server's own, which only the child knows:
  // a shell sets it and becomes the server.
  ServerProcess(const std::string& home, const std::vector<std::string>& args,
                const PassedSockets& passed) {
    std::vector<std::string> argv = {
        "/bin/sh",
        "-c",
        "unset CORVALITH_REGISTRY CORVALITH_HOME; export LISTEN_PID=$$ LISTEN_FDS=" +
            std::to_string(passed.sockets.size()) + " LISTEN_FDNAMES='" + passed.names +
            "'; exec \"$0\" \"$@\"",
        CORVALITH_BINARY,
        "--home",
        home};
    for (const std::string& word : Words(args)) argv.push_back(word);
    std::vector<char*> pointers;
    for (std::string& word : argv) pointers.push_back(word.data());
    pointers.push_back(nullptr);
    // Above the numbers they are passed as, so that none is overwritten before it is moved.
    std::vector<int> high;
    for (int socket : passed.sockets) high.push_back(fcntl(socket, F_DUPFD_CLOEXEC, 100));
    Start([&] {
      for (size_t i = 0; i < high.size(); ++i) dup2(high[i], 3 + static_cast<int>(i));
      execv(pointers[0], pointers.data());
    });
    for (int socket : high) close(socket);
  }
  ~ServerProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(stderr_);
  }

  // Its stderr up to a line holding `text`.
  std::string WaitFor(const std::string& text) {
    log_ += ReadUntil(
        stderr_,
        [&](const std::string& more) { return (log_ + more).find(text) != std::string::npos; },
        Clock::now() + kPatience);
    return log_;
  }

  // Sends the signal and answers the exit status (-1 when it did not exit in time; it is
  // killed then). Its stderr closes when it exits.
  int Stop(int signal) {
    kill(pid_, signal);
    bool exited = false;
    log_ += ReadUntil(
        stderr_, [](const std::string&) { return false; }, Clock::now() + kPatience, &exited);
    int status = 0;
    if (!exited || waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const std::string& log() const { return log_; }
  // Stops reading its stderr: its next log line goes to a pipe nobody reads.
  void CloseLog() {
    close(stderr_);
    stderr_ = -1;
  }

 private:
  static std::vector<std::string> Words(const std::vector<std::string>& args) {
    std::vector<std::string> words = {"lmtp"};
    if (std::find(args.begin(), args.end(), "--log") == args.end()) {
      words.insert(words.end(), {"--log", "stderr"});
    }
    words.insert(words.end(), args.begin(), args.end());
    return words;
  }

  // Forks a child with stderr on a pipe to this process, which runs `exec`.
  template <typename Exec>
  void Start(Exec exec) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(pipe_fds[1], 2);
      exec();
      _exit(127);
    }
    close(pipe_fds[1]);
    stderr_ = pipe_fds[0];
  }

  pid_t pid_ = -1;
  int stderr_ = -1;
  std::string log_;
};

class LmtpClient {
 public:
  explicit LmtpClient(const std::string& path)
      : socket_(corvalith::testing::ConnectUnixSocket(path)), connected_(socket_ >= 0) {}
  // To 127.0.0.1.
  explicit LmtpClient(uint16_t port) {
    socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~LmtpClient() { close(socket_); }
  bool connected() const { return connected_; }

  // Sends the bytes and answers the next `count` reply lines (the last line of a multi-line
  // reply counts once).
  std::vector<std::string> Exchange(const std::string& bytes, size_t count) {
    if (!bytes.empty()) {
      EXPECT_EQ(send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                static_cast<ssize_t>(bytes.size()));
    }
    auto complete = [&](const std::string& more) { return FinalLines(pending_ + more) >= count; };
    pending_ += ReadUntil(socket_, complete, Clock::now() + kPatience);
    std::vector<std::string> replies;
    size_t start = 0;
    for (size_t end;
         replies.size() < count && (end = pending_.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
      std::string line = pending_.substr(start, end - start);
      if (line.size() > 3 && line[3] == '-') continue;
      replies.push_back(line);
    }
    pending_.erase(0, start);
    return replies;
  }

 private:
  static size_t FinalLines(const std::string& text) {
    size_t lines = 0;
    for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
      if (end - start < 4 || text[start + 3] != '-') ++lines;
    }
    return lines;
  }

  int socket_ = -1;
  bool connected_ = false;
  std::string pending_;
};

// A client of the recipient map.
class MapClient {
 public:
  explicit MapClient(const std::string& path)
      : socket_(corvalith::testing::ConnectUnixSocket(path)) {}
  ~MapClient() { close(socket_); }
  bool connected() const { return socket_ >= 0; }

  // Sends the request as a netstring and answers the reply's data; empty when the server
  // closed the connection instead (`closed` set then).
  std::string Ask(const std::string& request, bool* closed = nullptr) {
    const std::string bytes = corvalith::host::Netstring(request);
    send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    auto complete = [](const std::string& text) {
      const size_t colon = text.find(':');
      return colon != std::string::npos &&
             text.size() >= colon + 2 + std::stoul(text.substr(0, colon));
    };
    const std::string reply = ReadUntil(socket_, complete, Clock::now() + kPatience, closed);
    if (!complete(reply)) return "";
    EXPECT_EQ(reply.back(), ',') << reply;
    return reply.substr(reply.find(':') + 1, reply.size() - reply.find(':') - 2);
  }

 private:
  int socket_ = -1;
};

// A mailroom whose deliveries wait for the test's word, so that a stop can come while one is
// under way.
class GatedMailroom : public corvalith::host::Mailroom {
 public:
  corvalith::host::MailboxAddress FindMailbox(const std::string& address) override {
    return corvalith::host::MailboxAddress{address.substr(0, address.find('@')), "example.com"};
  }
  Delivered Deliver(const corvalith::host::MailboxAddress&, const std::string&, bool internal,
                    const std::string&) override {
    std::unique_lock<std::mutex> lock(mutex_);
    internal_.push_back(internal);
    entered_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, kPatience, [this] { return released_; });
    return {{"url", 1, false}, false};
  }
  void WaitUntilEntered() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, kPatience, [this] { return entered_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  // Whether each delivery so far was internal.
  std::vector<bool> internal() {
    std::lock_guard<std::mutex> lock(mutex_);
    return internal_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool released_ = false;
  std::vector<bool> internal_;
};

// An LmtpServer in this process, run on a thread of its own, stopped and joined however the
// test ends.
class RunningServer {
 public:
  RunningServer(corvalith::host::LmtpServerOptions options, corvalith::host::Mailroom& mailroom)
      : server_(std::move(options), mailroom,
                [this](const std::string& line) {
                  std::lock_guard<std::mutex> lock(mutex_);
                  log_.push_back(line);
                }),
        thread_([this] { server_.Run(); }) {}
  ~RunningServer() {
    server_.Stop();
    thread_.join();
  }

  void Stop() { server_.Stop(); }
  // The TCP port it listens on.
  uint16_t port() const {
    const std::string& address = server_.address();
    return static_cast<uint16_t>(std::stoi(address.substr(address.rfind(':') + 1)));
  }
  std::vector<std::string> log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> log_;
  corvalith::host::LmtpServer server_;
  std::thread thread_;
};

corvalith::host::LmtpServerOptions OnLoopback() {
  corvalith::host::LmtpServerOptions options;
  options.listen = "127.0.0.1:0";
  options.host_name = "mx";
  options.postfix_host_name = "mx.example.com";
  return options;
}

// What Postfix hands over for a client that logged in.
const std::string kAuthenticatedDelivery =
    "LHLO postfix\r\nMAIL FROM:<alice@example.com>\r\nRCPT TO:<bob@example.com>\r\nDATA\r\n"
    "Received: from c (c [192.0.2.1])\r\n\t(Authenticated sender: alice@example.com)\r\n"
    "\tby mx.example.com (Postfix) with ESMTPSA id 4AbC2\r\n"
    "From: alice@example.com\r\nSubject: lunch\r\n\r\nnoon?\r\n.\r\n";

TEST(LmtpServerStopTest, ADeliveryUnderWayFinishesAndUnfinishedDataGetsNoReply) {
  corvalith::testing::TempDirectory temp("corvalith-lmtp");
  GatedMailroom mailroom;
  corvalith::host::LmtpServerOptions options;
  options.listen = "unix:" + temp.File("s");
  options.host_name = "mx";
  options.max_connections = 2;
  RunningServer server(options, mailroom);
  // Before the server is stopped, also when an assertion below returns early.
  struct Releaser {
    GatedMailroom& mailroom;
    ~Releaser() { mailroom.Release(); }
  } releaser{mailroom};

  std::string start = "LHLO c\r\nMAIL FROM:<>\r\nRCPT TO:<a@example.com>\r\nDATA\r\n";
  LmtpClient delivering(temp.File("s"));
  LmtpClient unfinished(temp.File("s"));
  ASSERT_EQ(delivering.Exchange(start, 5).back(), "354 2.0.0 End data with <CR><LF>.<CR><LF>");
  ASSERT_EQ(unfinished.Exchange(start, 5).back(), "354 2.0.0 End data with <CR><LF>.<CR><LF>");
  {
    LmtpClient third(temp.File("s"));
    EXPECT_THAT(third.Exchange("", 1),
                ElementsAre("421 4.3.2 Too many connections, try again later"));
  }
  EXPECT_THAT(unfinished.Exchange("Subject: half\r\n", 0), ElementsAre());
  EXPECT_THAT(delivering.Exchange("Subject: whole\r\n\r\nbody\r\n.\r\n", 0), ElementsAre());
  mailroom.WaitUntilEntered();
  server.Stop();
  mailroom.Release();
  EXPECT_THAT(delivering.Exchange("", 3),
              ElementsAre("250 2.0.0 <a@example.com> Delivered", "421 4.3.2 mx Shutting down"));
  EXPECT_THAT(unfinished.Exchange("", 1), ElementsAre());
}

TEST(LmtpServerStopTest, ListensOnLoopbackTcpAndClosesAnIdleConnection) {
  GatedMailroom mailroom;
  mailroom.Release();
  corvalith::host::LmtpServerOptions options = OnLoopback();
  options.idle_timeout = std::chrono::milliseconds(1);
  RunningServer server(options, mailroom);
  LmtpClient client(server.port());
  ASSERT_TRUE(client.connected());
  // Saying nothing after the greeting: told so, then closed.
  EXPECT_THAT(client.Exchange("", 2),
              ElementsAre(::testing::StartsWith("220 mx "), "421 4.4.2 mx Idle too long, closing"));
  EXPECT_THAT(client.Exchange("", 1), ElementsAre());
}

// The recipient map's connections count against the server's one limit, and end when it stops.
TEST(LmtpServerLimitTest, TheRecipientMapSharesTheConnectionLimit) {
  corvalith::testing::TempDirectory temp("corvalith-lmtp");
  GatedMailroom mailroom;
  mailroom.Release();
  corvalith::host::LmtpServerOptions options = OnLoopback();
  options.map_listen = "unix:" + temp.File("map");
  options.max_connections = 1;
  RunningServer server(options, mailroom);
  {
    LmtpClient lmtp(server.port());
    ASSERT_THAT(lmtp.Exchange("", 1), ElementsAre(::testing::StartsWith("220 mx ")));
    MapClient refused(temp.File("map"));
    bool closed = false;
    EXPECT_EQ(refused.Ask("mailbox a@example.com", &closed), "");
    EXPECT_TRUE(closed);
  }
  // The server notices the close on its own time: ask until it admits again, and keep the
  // connection it admitted (the slot of one it refused may still look taken for a moment).
  std::optional<MapClient> open;
  std::string answer;
  for (auto deadline = Clock::now() + kPatience; answer.empty() && Clock::now() < deadline;) {
    open.emplace(temp.File("map"));
    answer = open->Ask("mailbox a@example.com");
  }
  EXPECT_EQ(answer, "OK a@example.com");
  ASSERT_EQ(open->Ask("mailbox b@example.com"), "OK b@example.com");
  server.Stop();
  bool closed = false;
  EXPECT_EQ(open->Ask("mailbox b@example.com", &closed), "");
  EXPECT_TRUE(closed);
}

// A client that keeps its connection busy (NOOP, NOOP, ...) is closed all the same once the
// connection's time is up, so that such clients cannot hold every slot for good.
TEST(LmtpServerLimitTest, AConnectionEndsAfterItsTimeLimitHoweverBusy) {
  GatedMailroom mailroom;
  mailroom.Release();
  corvalith::host::LmtpServerOptions options = OnLoopback();
  options.connection_time_limit = std::chrono::milliseconds(100);
  RunningServer server(options, mailroom);
  LmtpClient client(server.port());
  ASSERT_THAT(client.Exchange("", 1), ElementsAre(::testing::StartsWith("220 mx ")));
  std::vector<std::string> reply;
  for (auto deadline = Clock::now() + kPatience; Clock::now() < deadline;) {
    reply = client.Exchange("NOOP\r\n", 1);
    if (reply != std::vector<std::string>{"250 2.0.0 Ok"}) break;
  }
  EXPECT_THAT(reply, ElementsAre("421 4.4.2 mx Connection time limit reached, closing"));
  EXPECT_THAT(client.Exchange("", 1), ElementsAre());
}

// Out of file descriptors, a waiting connection keeps the listener readable: the server says
// so once, pauses instead of spinning, and serves the connection once descriptors are free.
TEST(LmtpServerLimitTest, OutOfFileDescriptorsIsToldAndOutlasted) {
  GatedMailroom mailroom;
  mailroom.Release();
  RunningServer server(OnLoopback(), mailroom);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  std::vector<int> fillers;
  auto free_descriptors = [&] {
    for (int fd : fillers) close(fd);
    fillers.clear();
  };
  struct Restore {
    std::function<void()> undo;
    ~Restore() { undo(); }
  } restore{[&] {
    free_descriptors();
    setrlimit(RLIMIT_NOFILE, &saved);
  }};
  rlimit low = saved;
  low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 256);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);

  for (int fd; (fd = dup(0)) >= 0;) fillers.push_back(fd);
  ASSERT_EQ(errno, EMFILE);
  // The client takes the last free descriptor; the server finds none for the connection.
  close(fillers.back());
  fillers.pop_back();
  LmtpClient client(server.port());
  ASSERT_TRUE(client.connected());
  auto said = [&](const std::string& text) {
    std::vector<std::string> log = server.log();
    return std::count(log.begin(), log.end(), text);
  };
  for (auto deadline = Clock::now() + kPatience;
       said("warning: cannot accept connections: Too many open files") == 0 &&
       Clock::now() < deadline;) {
    std::this_thread::yield();
  }
  free_descriptors();
  EXPECT_THAT(client.Exchange("", 1), ElementsAre(::testing::StartsWith("220 mx ")));
  EXPECT_EQ(said("warning: cannot accept connections: Too many open files"), 1);
  EXPECT_EQ(said("accepting connections again"), 1);
}

// One address holds at most max_connections_per_client of the connections; once one of them
// closes, the next is admitted.
TEST(LmtpServerLimitTest, OneClientAddressHoldsAtMostItsShareOfTheConnections) {
  GatedMailroom mailroom;
  mailroom.Release();
  corvalith::host::LmtpServerOptions options = OnLoopback();
  options.max_connections_per_client = 2;
  RunningServer server(options, mailroom);
  auto first = std::make_unique<LmtpClient>(server.port());
  LmtpClient second(server.port());
  ASSERT_THAT(first->Exchange("", 1), ElementsAre(::testing::StartsWith("220 mx ")));
  ASSERT_THAT(second.Exchange("", 1), ElementsAre(::testing::StartsWith("220 mx ")));
  {
    LmtpClient third(server.port());
    EXPECT_THAT(third.Exchange("", 1),
                ElementsAre("421 4.7.0 Too many connections from your address, try again later"));
    EXPECT_THAT(third.Exchange("", 1), ElementsAre());
  }
  EXPECT_THAT(
      server.log(),
      ::testing::Contains("warning: refused a connection from 127.0.0.1: 2 from there already"));
  first.reset();
  // The server notices the close on its own time: ask until it admits again.
  std::vector<std::string> greeting;
  for (auto deadline = Clock::now() + kPatience; Clock::now() < deadline;) {
    LmtpClient next(server.port());
    greeting = next.Exchange("", 1);
    if (greeting.size() == 1 && greeting[0].starts_with("220 ")) break;
  }
  EXPECT_THAT(greeting, ElementsAre(::testing::StartsWith("220 mx ")));
}

// On TCP, mail is internal only from an address the administrator listed (an IPv4-mapped form
// is the same client); every client of the unix socket may vouch for it.
TEST(LmtpServerTrustTest, OnTcpOnlyListedClientsMayHandInInternalMail) {
  struct Case {
    std::vector<std::string> trusted;
    bool internal;
  };
  for (const Case& trust :
       {Case{{}, false}, Case{{"192.0.2.1"}, false}, Case{{"192.0.2.1", "127.0.0.1"}, true},
        Case{{"::ffff:127.0.0.1"}, true}}) {
    GatedMailroom mailroom;
    mailroom.Release();
    corvalith::host::LmtpServerOptions options = OnLoopback();
    options.trusted_clients = trust.trusted;
    RunningServer server(options, mailroom);
    LmtpClient client(server.port());
    EXPECT_EQ(client.Exchange(kAuthenticatedDelivery, 6).back(),
              "250 2.0.0 <bob@example.com> Delivered");
    EXPECT_THAT(mailroom.internal(), ElementsAre(trust.internal))
        << ::testing::PrintToString(trust.trusted);
  }
  corvalith::testing::TempDirectory temp("corvalith-lmtp");
  GatedMailroom mailroom;
  mailroom.Release();
  corvalith::host::LmtpServerOptions options = OnLoopback();
  options.listen = "unix:" + temp.File("s");
  {
    RunningServer server(options, mailroom);
    LmtpClient client(temp.File("s"));
    EXPECT_EQ(client.Exchange(kAuthenticatedDelivery, 6).back(),
              "250 2.0.0 <bob@example.com> Delivered");
    EXPECT_THAT(mailroom.internal(), ElementsAre(true));
  }
  // A unix socket takes no list; a list takes numeric addresses only.
  options.trusted_clients = {"127.0.0.1"};
  EXPECT_THROW(corvalith::host::LmtpServer(options, mailroom, [](const std::string&) {}),
               corvalith::Failure);
  options = OnLoopback();
  options.trusted_clients = {"localhost"};
  EXPECT_THROW(corvalith::host::LmtpServer(options, mailroom, [](const std::string&) {}),
               corvalith::Failure);
}

// A TCP socket systemd passed follows --trust as one the server made; --trust with a passed
// unix socket is refused as with its own.
TEST(LmtpServerTrustTest, APassedSocketIsTrustedByItsKind) {
  for (bool listed : {false, true}) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const uint16_t port = ntohs(address.sin_port);
    GatedMailroom mailroom;
    mailroom.Release();
    corvalith::host::LmtpServerOptions options = OnLoopback();
    options.listen.clear();
    options.inherited_listener =
        corvalith::host::InheritedSocket{listener, "127.0.0.1:" + std::to_string(port)};
    options.trusted_clients = {listed ? "127.0.0.1" : "192.0.2.1"};
    RunningServer server(options, mailroom);  // takes the socket over
    EXPECT_EQ(server.port(), port);
    LmtpClient client(port);
    EXPECT_EQ(client.Exchange(kAuthenticatedDelivery, 6).back(),
              "250 2.0.0 <bob@example.com> Delivered");
    EXPECT_THAT(mailroom.internal(), ElementsAre(listed));
  }
  GatedMailroom mailroom;
  corvalith::host::LmtpServerOptions options = OnLoopback();
  options.inherited_listener = corvalith::host::InheritedSocket{-1, "unix:/run/lmtp"};
  options.trusted_clients = {"127.0.0.1"};
  EXPECT_THROW(corvalith::host::LmtpServer(options, mailroom, [](const std::string&) {}),
               corvalith::Failure);
}

TEST(LmtpServerTrustTest, NumericAddressesAreWrittenOneWay) {
  using corvalith::host::NumericAddress;
  EXPECT_EQ(NumericAddress("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(NumericAddress("::ffff:127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(NumericAddress("0:0:0:0:0:0:0:1"), "::1");
  EXPECT_EQ(NumericAddress("2001:DB8::1"), "2001:db8::1");
  for (const char* not_numeric : {"localhost", "127.1", "127.0.0.1 ", "[::1]", "", "1.2.3.4/24"}) {
    EXPECT_EQ(NumericAddress(not_numeric), std::nullopt) << not_numeric;
  }
}

// The real command in a temporary home.
class LmtpCommandTest : public ::testing::Test {
 protected:
  // The exit status; what it printed, stdout then stderr, in `out`.
  int Corvalith(const std::vector<std::string>& args, std::string* out = nullptr) {
    const corvalith::host::testing::Outcome run =
        corvalith::host::testing::RunCorvalith(home_, args);
    if (out != nullptr) *out = run.out + run.err;
    return run.status;
  }

  // The Inbox's items but the user manual a new user gets with the first mail.
  std::vector<nlohmann::json> Inbox(const std::string& mailbox) {
    std::string out;
    EXPECT_EQ(Corvalith({"--json", "ls", mailbox, "Inbox"}, &out), 0) << out;
    std::vector<nlohmann::json> items;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      nlohmann::json item = nlohmann::json::parse(line);
      if (item["url"].get<std::string>().find("Corvalith_Manual") == std::string::npos) {
        items.push_back(item);
      }
    }
    return items;
  }

  // The options Postfix's socket is served with.
  std::vector<std::string> OnSocket() const {
    return {"--listen", "unix:" + socket_, "--received-by", "mx.example.com"};
  }

  corvalith::testing::TempDirectory temp_{"corvalith-lmtp"};
  std::string home_ = temp_.File("home");
  std::string socket_ = temp_.File("home/lmtp.sock");
};

TEST_F(LmtpCommandTest, TrustAndTheNameOfPostfixAreCheckedAndShownAtTheStart) {
  ASSERT_EQ(Corvalith({"init"}), 0);
  std::string out;
  EXPECT_EQ(Corvalith({"lmtp", "--trust", "127.0.0.1"}, &out), 2);
  EXPECT_THAT(out, HasSubstr("--trust is for a TCP listener"));
  EXPECT_EQ(Corvalith({"lmtp", "--listen", "127.0.0.1:0", "--trust", "127.0.0.1,localhost"}, &out),
            2);
  EXPECT_THAT(out, HasSubstr("--trust: 'localhost' is not a numeric IPv4 or IPv6 address"));
  EXPECT_EQ(Corvalith({"lmtp", "--listen", "127.0.0.1:0", "--trust", ""}, &out), 2);
  EXPECT_THAT(out, HasSubstr("--trust needs at least one address"));
  EXPECT_EQ(Corvalith({"lmtp", "--received-by", "mx example"}, &out), 2);
  EXPECT_THAT(out, HasSubstr("--received-by needs a host name"));
  EXPECT_EQ(Corvalith({"lmtp", "--workers", "0"}, &out), 2);
  EXPECT_THAT(out, HasSubstr("--workers is a number from 1 to 32, not '0'"));
  EXPECT_EQ(Corvalith({"lmtp", "--workers", "3x"}, &out), 2);
  EXPECT_EQ(Corvalith({"lmtp", "--recipient-delimiter", "@"}, &out), 2);
  EXPECT_THAT(out, HasSubstr("--recipient-delimiter takes characters such as + or -"));

  ServerProcess tcp(home_, {"--listen", "127.0.0.1:0", "--received-by", "mx.example.com", "--trust",
                            "127.0.0.1, ::1"});
  EXPECT_THAT(tcp.WaitFor("at once\n"),
              ::testing::ContainsRegex("listening on 127\\.0\\.0\\.1:[0-9]+; internal mail: an "
                                       "authenticated sender in a Received field by "
                                       "mx\\.example\\.com, from 127\\.0\\.0\\.1, ::1; "
                                       "[0-9]+ deliveries at once\n"));
  ServerProcess untrusting(home_, {"--listen", "127.0.0.1:0"});
  EXPECT_THAT(untrusting.WaitFor("at once\n"),
              ::testing::ContainsRegex("listening on 127\\.0\\.0\\.1:[0-9]+; internal mail: none "
                                       "\\(no --trust\\); [0-9]+ deliveries at once\n"));
}

// A server runs for months: a filter that cannot work is told when it starts, not at the
// first delivery, whenever that comes.
TEST_F(LmtpCommandTest, AFilterThatCannotWriteItsLogIsToldAtTheStart) {
  ASSERT_EQ(Corvalith({"init"}), 0);
  ASSERT_EQ(mkdir((home_ + "/data/Corvalith.log").c_str(), 0755), 0);
  ServerProcess server(home_, OnSocket());
  EXPECT_THAT(server.WaitFor("listening on"),
              ::testing::ContainsRegex("warning: the filter is not filtering: cannot write "
                                       ".*Corvalith.log: Is a directory(.|\n)*listening on"));
}

// Run with each store a home can keep its mail in: "sqlite" or "maildir".
class LmtpServerTest : public LmtpCommandTest, public ::testing::WithParamInterface<std::string> {
 protected:
  std::vector<std::string> InitArgs() const {
    if (GetParam() == "maildir") return {"init", "--maildir", temp_.File("mail")};
    return {"init"};
  }
};

TEST_P(LmtpServerTest, DeliversThroughTheFilterAndStopsCleanlyOnSigterm) {
  ASSERT_EQ(Corvalith(InitArgs()), 0);
  ASSERT_EQ(Corvalith({"mailbox", "add", "alice@example.com"}), 0);
  ASSERT_EQ(Corvalith({"mailbox", "add", "bob@example.com"}), 0);
  {
    // A socket file left by a server that died: nothing listens on it any more.
    int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(stale);
  }

  ServerProcess server(home_, OnSocket());
  ASSERT_THAT(server.WaitFor("listening on"), HasSubstr("listening on unix:" + socket_));
  struct stat status {};
  ASSERT_EQ(stat(socket_.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0660u);
  {
    // A second server on the same socket is refused and leaves the first one's socket alone.
    std::string out;
    EXPECT_EQ(Corvalith({"lmtp", "--log", "stderr", "--listen", "unix:" + socket_}, &out), 1);
    EXPECT_THAT(out, HasSubstr("listening on " + socket_ + " already"));
  }

  LmtpClient client(socket_);
  ASSERT_TRUE(client.connected());
  EXPECT_THAT(client.Exchange("", 1)[0], ::testing::StartsWith("220 "));
  EXPECT_THAT(client.Exchange("LHLO postfix\r\n", 1), ElementsAre("250 SIZE 33554432"));
  EXPECT_THAT(
      client.Exchange("MAIL FROM:<news@shop.example>\r\nRCPT TO:<alice@example.com>\r\n"
                      "RCPT TO:<bob@EXAMPLE.com>\r\nRCPT TO:<carol@example.com>\r\nDATA\r\n",
                      5),
      ElementsAre("250 2.1.0 Ok", "250 2.1.5 Ok", "250 2.1.5 Ok",
                  "550 5.1.1 <carol@example.com> No such mailbox",
                  "354 2.0.0 End data with <CR><LF>.<CR><LF>"));
  EXPECT_THAT(client.Exchange("Received: from mx.shop.example (mx.shop.example [198.51.100.2])\r\n"
                              "\tby mx.example.com (Postfix) with ESMTP id 4AbC1\r\n"
                              "From: news@shop.example\r\nSubject: offers\r\n\r\n"
                              "..dotted\r\n.\r\n",
                              2),
              ElementsAre("250 2.0.0 <alice@example.com> Delivered",
                          "250 2.0.0 <bob@EXAMPLE.com> Delivered"));
  EXPECT_THAT(client.Exchange(kAuthenticatedDelivery + "QUIT\r\n", 6),
              ElementsAre("250 SIZE 33554432", "250 2.1.0 Ok", "250 2.1.5 Ok",
                          "354 2.0.0 End data with <CR><LF>.<CR><LF>",
                          "250 2.0.0 <bob@example.com> Delivered", "221 2.0.0 Bye"));

  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.log();
  EXPECT_FALSE(fs::exists(fs::symlink_status(socket_)));
  EXPECT_THAT(server.log(), HasSubstr("id=4AbC1 to=alice@example.com 250 "));
  EXPECT_THAT(server.log(), HasSubstr("id=4AbC2 to=bob@example.com 250 ham internal "));

  // Stored, and seen by the filter: each carries a marker.
  std::vector<nlohmann::json> alice = Inbox("alice@example.com");
  std::vector<nlohmann::json> bob = Inbox("bob@example.com");
  ASSERT_EQ(alice.size(), 1u);
  ASSERT_EQ(bob.size(), 2u);
  EXPECT_EQ(alice[0]["subject"], "offers");
  EXPECT_NE(alice[0]["marker"], 0);
  for (const nlohmann::json& item : bob) EXPECT_NE(item["marker"], 0) << item;
  std::string shown;
  ASSERT_EQ(Corvalith({"show", alice[0]["url"].get<std::string>()}, &shown), 0);
  EXPECT_THAT(shown, HasSubstr("Return-Path: <news@shop.example>\nDelivered-To: "
                               "alice@example.com\nReceived: from mx.shop.example"));
}

// A verdict history that cannot be written (here garbage at its path) costs every worker its
// row, never a delivery, and the server's log says so once.
TEST_P(LmtpServerTest, AHistoryThatCannotBeWrittenIsOneWarningInTheLogAndNoMailIsRefused) {
  ASSERT_EQ(Corvalith(InitArgs()), 0);
  ASSERT_EQ(Corvalith({"mailbox", "add", "alice@example.com"}), 0);
  std::ofstream(home_ + "/history.db", std::ios::binary) << std::string(4096, 'Z');
  ServerProcess server(home_, OnSocket());
  ASSERT_THAT(server.WaitFor("listening on"), HasSubstr("listening on"));
  LmtpClient client(socket_);
  ASSERT_TRUE(client.connected());
  client.Exchange("", 1);
  client.Exchange("LHLO postfix\r\n", 1);
  for (int i = 0; i < 3; ++i) {
    EXPECT_THAT(
        client.Exchange("MAIL FROM:<news@shop.example>\r\nRCPT TO:<alice@example.com>\r\n"
                        "DATA\r\nSubject: offer " +
                            std::to_string(i) + "\r\n\r\nbody\r\n.\r\n",
                        4),
        ElementsAre("250 2.1.0 Ok", "250 2.1.5 Ok", "354 2.0.0 End data with <CR><LF>.<CR><LF>",
                    "250 2.0.0 <alice@example.com> Delivered"));
  }
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.log();
  const std::string warning = "corvalith lmtp: warning: the verdict history " + home_;
  const size_t first = server.log().find(warning);
  EXPECT_NE(first, std::string::npos) << server.log();
  EXPECT_EQ(server.log().find(warning, first + 1), std::string::npos) << "once: " << server.log();
  EXPECT_EQ(Inbox("alice@example.com").size(), 3u);
}

// A server killed after storing a message but before its 250 makes Postfix hand the message
// over again to the next server; by then the user may have filed it elsewhere. It is answered
// 250 and kept once.
TEST_P(LmtpServerTest, AQueuedMessageHandedOverAgainIsStoredOnce) {
  ASSERT_EQ(Corvalith(InitArgs()), 0);
  ASSERT_EQ(Corvalith({"mailbox", "add", "alice@example.com"}), 0);
  const std::string delivery =
      "LHLO postfix\r\nMAIL FROM:<news@shop.example>\r\nRCPT TO:<alice@example.com>\r\n"
      "DATA\r\nReceived: from mx.shop.example (mx.shop.example [198.51.100.2])\r\n"
      "\tby mx.example.com (Postfix) with ESMTP id 4AbC9\r\n"
      "From: news@shop.example\r\nSubject: offers\r\n\r\nsale\r\n.\r\n";
  const auto hand_over = [&] {
    ServerProcess server(home_, OnSocket());
    EXPECT_THAT(server.WaitFor("listening on"), HasSubstr("listening on"));
    LmtpClient client(socket_);
    EXPECT_THAT(client.Exchange(delivery, 6).back(), "250 2.0.0 <alice@example.com> Delivered");
    EXPECT_EQ(server.Stop(SIGTERM), 0);
    return server.log();
  };
  hand_over();
  std::vector<nlohmann::json> inbox = Inbox("alice@example.com");
  ASSERT_EQ(inbox.size(), 1u);
  ASSERT_EQ(Corvalith({"move", inbox[0]["url"].get<std::string>(), "Sent Items"}), 0);
  EXPECT_THAT(hand_over(), HasSubstr("id=4AbC9 to=alice@example.com 250 stored already "));
  EXPECT_THAT(Inbox("alice@example.com"), ::testing::IsEmpty());
  std::string filed;
  ASSERT_EQ(Corvalith({"ls", "alice@example.com", "Sent Items"}, &filed), 0);
  EXPECT_EQ(std::count(filed.begin(), filed.end(), '\n'), 1) << filed;
}

TEST_P(LmtpServerTest, KeepsDeliveringWhenItsLogReaderIsGone) {
  ASSERT_EQ(Corvalith(InitArgs()), 0);
  ASSERT_EQ(Corvalith({"mailbox", "add", "alice@example.com"}), 0);
  ServerProcess server(home_, OnSocket());
  ASSERT_THAT(server.WaitFor("listening on"), HasSubstr("listening on"));
  server.CloseLog();
  LmtpClient client(socket_);
  ASSERT_TRUE(client.connected());
  EXPECT_THAT(
      client.Exchange("LHLO p\r\nMAIL FROM:<>\r\nRCPT TO:<alice@example.com>\r\nDATA\r\n", 5)
          .back(),
      "354 2.0.0 End data with <CR><LF>.<CR><LF>");
  EXPECT_THAT(client.Exchange("Subject: one\r\n\r\nx\r\n.\r\n", 1),
              ElementsAre("250 2.0.0 <alice@example.com> Delivered"));
}

// Postfix asks the map before it takes mail for a recipient: the answers are those RCPT TO
// gets, several on one connection.
TEST_F(LmtpCommandTest, TheRecipientMapAnswersWhatRcptToWouldGet) {
  ASSERT_EQ(Corvalith({"init"}), 0);
  ASSERT_EQ(Corvalith({"mailbox", "add", "alice@example.com"}), 0);
  ASSERT_EQ(Corvalith({"mailbox", "add", "j\xC3\xB6rg@example.com"}), 0);
  const std::string map = temp_.File("home/map.sock");
  std::vector<std::string> args = OnSocket();
  args.insert(args.end(), {"--map", "unix:" + map});
  ServerProcess server(home_, args);
  ASSERT_THAT(server.WaitFor("\n"), HasSubstr("listening on unix:" + socket_ +
                                              ", recipient map on unix:" + map + "; internal"));
  struct stat status {};
  ASSERT_EQ(stat(map.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0660u);

  MapClient client(map);
  ASSERT_TRUE(client.connected());
  EXPECT_EQ(client.Ask("mailbox alice@example.com"), "OK alice@example.com");
  EXPECT_EQ(client.Ask("mailbox ALICE@Example.COM"), "OK alice@example.com");
  EXPECT_EQ(client.Ask("mailbox J\xC3\x96RG@example.com"), "OK j\xC3\xB6rg@example.com");
  // An extension after Postfix's recipient delimiter is the user's mail.
  EXPECT_EQ(client.Ask("mailbox alice+news@example.com"), "OK alice@example.com");
  for (const char* none : {"mailbox carol@example.com", "mailbox carol+news@example.com",
                           "mailbox +news@example.com", "mailbox @example.com", "mailbox alice@other.example", "mailbox alice",
                           "mailbox \xFF@example.com", "mailbox ../x@example.com"}) {
    EXPECT_EQ(client.Ask(none), "NOTFOUND ") << none;
  }
  EXPECT_THAT(client.Ask("virtual alice@example.com"), ::testing::StartsWith("PERM "));
  {
    MapClient rude(map);
    bool closed = false;
    EXPECT_EQ(rude.Ask(std::string(2000, 'x'), &closed), "");
    EXPECT_TRUE(closed);
  }
  EXPECT_EQ(client.Ask("mailbox alice@example.com"), "OK alice@example.com");
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.log();
  EXPECT_FALSE(fs::exists(fs::symlink_status(map)));
}

// What a unix socket would be if systemd had made it: bound and listening, mode 0600.
int ListeningUnixSocket(const std::string& path) {
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      chmod(path.c_str(), 0600) != 0 || listen(listener, 8) != 0) {
    close(listener);
    return -1;
  }
  return listener;
}

// Sockets in Postfix's chroot, which the mail user cannot create: systemd makes them and
// passes them in. They are served, trusted like the server's own unix socket, and left in
// place at the end.
TEST_F(LmtpCommandTest, ServesTheSocketsSystemdPassesAndLeavesThem) {
  ASSERT_EQ(Corvalith({"init"}), 0);
  ASSERT_EQ(Corvalith({"mailbox", "add", "bob@example.com"}), 0);
  const std::string lmtp = temp_.File("private-lmtp");
  const std::string map = temp_.File("private-map");
  struct Sockets {
    int lmtp, map;
    ~Sockets() {
      close(lmtp);
      close(map);
    }
  } sockets{ListeningUnixSocket(lmtp), ListeningUnixSocket(map)};
  ASSERT_GE(sockets.lmtp, 0);
  ASSERT_GE(sockets.map, 0);

  ServerProcess server(home_, {"--received-by", "mx.example.com"},
                       PassedSockets{{sockets.map, sockets.lmtp}, "map:lmtp"});
  ASSERT_THAT(server.WaitFor("\n"),
              HasSubstr("listening on unix:" + lmtp + " (from systemd), recipient map on unix:" +
                        map + " (from systemd); internal mail: an authenticated sender"));
  LmtpClient client(lmtp);
  ASSERT_TRUE(client.connected());
  EXPECT_THAT(client.Exchange(kAuthenticatedDelivery, 6).back(),
              "250 2.0.0 <bob@example.com> Delivered");
  EXPECT_EQ(MapClient(map).Ask("mailbox bob@example.com"), "OK bob@example.com");
  EXPECT_EQ(server.Stop(SIGTERM), 0) << server.log();
  EXPECT_THAT(server.log(), HasSubstr("id=4AbC2 to=bob@example.com 250 ham internal "));
  EXPECT_THAT(server.log(), HasSubstr("stopped"));
  struct stat status {};
  ASSERT_EQ(stat(lmtp.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  EXPECT_TRUE(fs::exists(fs::symlink_status(map)));
  ASSERT_EQ(Inbox("bob@example.com").size(), 1u);
}

// A socket passed and an option for the same listener, or passed sockets that cannot be told
// apart: the server does not start.
TEST_F(LmtpCommandTest, PassedSocketsAndOptionsDoNotMix) {
  ASSERT_EQ(Corvalith({"init"}), 0);
  const std::string lmtp = temp_.File("private-lmtp");
  const int listener = ListeningUnixSocket(lmtp);
  ASSERT_GE(listener, 0);
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{listener};
  {
    ServerProcess server(home_, {"--listen", "unix:" + socket_}, PassedSockets{{listener}, "lmtp"});
    EXPECT_EQ(server.Stop(0), 2);
    EXPECT_THAT(server.log(), HasSubstr("--listen unix:" + socket_ +
                                        ": systemd passed this socket already (unix:" + lmtp));
  }
  {
    ServerProcess server(home_, {}, PassedSockets{{listener, listener}, "lmtp:lmtp"});
    EXPECT_EQ(server.Stop(0), 1);
    EXPECT_THAT(server.log(), HasSubstr("two sockets named 'lmtp'"));
  }
  {
    // Not a listening socket.
    int unbound = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ServerProcess server(home_, {}, PassedSockets{{unbound}, "lmtp"});
    close(unbound);
    EXPECT_EQ(server.Stop(0), 1);
    EXPECT_THAT(server.log(), HasSubstr("socket 3 passed by the service manager is not listening"));
  }
  EXPECT_TRUE(fs::exists(fs::symlink_status(lmtp)));
}

TEST_F(LmtpCommandTest, LogGoesWhereItIsTold) {
  ASSERT_EQ(Corvalith({"init"}), 0);
  std::string out;
  EXPECT_EQ(Corvalith({"lmtp", "--log", "journal"}, &out), 2);
  EXPECT_THAT(out, HasSubstr("--log is stderr or syslog, not 'journal'"));
  {
    ServerProcess server(home_, {"--log", "stderr"});
    EXPECT_THAT(server.WaitFor("\n"), HasSubstr("corvalith lmtp: listening on unix:" + socket_));
  }
  // To syslog, stderr stays silent: the server is up once its socket answers.
  ServerProcess server(home_, {"--log", "syslog"});
  std::vector<std::string> greeting;
  for (auto deadline = Clock::now() + kPatience; greeting.empty() && Clock::now() < deadline;) {
    LmtpClient client(socket_);
    if (client.connected()) greeting = client.Exchange("QUIT\r\n", 2);
  }
  EXPECT_THAT(greeting, ElementsAre(::testing::StartsWith("220 "), "221 2.0.0 Bye"));
  EXPECT_EQ(server.Stop(SIGTERM), 0);
  EXPECT_EQ(server.log(), "");
}

INSTANTIATE_TEST_SUITE_P(Stores, LmtpServerTest, ::testing::Values("sqlite", "maildir"),
                         [](const ::testing::TestParamInfo<std::string>& store) {
                           return store.param;
                         });

}  // namespace
