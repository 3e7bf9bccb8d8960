#include "lmtp/lmtp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <list>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "lmtp/socketmap_session.h"
#include "logging/control_characters.h"
#include "platform/failure.h"

namespace corvalith::host {

namespace {

constexpr char kUnixPrefix[] = "unix:";
constexpr int kBacklog = 64;
using SteadyClock = std::chrono::steady_clock;

// How long the server waits before it tries to accept again when it has run out of file
// descriptors or memory.
constexpr std::chrono::milliseconds kAcceptPause{1000};

bool OutOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

Failure SocketFailure(const std::string& what) {
  return Failure(what + ": " + std::strerror(errno), E_FAIL);
}

// Writes everything unless the peer is gone or stops reading for longer than the socket's
// send timeout.
bool SendAll(int socket, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t sent = send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

sockaddr_un UnixAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    throw Failure("unix socket path empty or too long: " + path, E_INVALIDARG);
  }
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

// A socket file that nobody listens on any more is removed; anything else in its place is
// left alone and refused.
void RemoveStaleSocket(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return;
  if (!S_ISSOCK(status.st_mode)) {
    throw Failure(path + " exists and is not a socket", E_FAIL);
  }
  sockaddr_un address = UnixAddress(path);
  int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) throw SocketFailure("socket");
  int connected = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int error = errno;
  close(probe);
  if (connected == 0) throw Failure("a server is listening on " + path + " already", E_FAIL);
  if (error != ECONNREFUSED) {
    errno = error;
    throw SocketFailure("cannot test " + path);
  }
  if (unlink(path.c_str()) != 0) throw SocketFailure("cannot remove stale socket " + path);
}

int ListenUnix(const std::string& path) {
  sockaddr_un address = UnixAddress(path);
  RemoveStaleSocket(path);
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) throw SocketFailure("socket");
  // The socket is born with the umask's mode: never wider than 0660, even for a moment.
  mode_t old_mask = umask(0117);
  int bound = bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  umask(old_mask);
  if (bound != 0 || chmod(path.c_str(), 0660) != 0 || listen(listener, kBacklog) != 0) {
    Failure failure = SocketFailure("cannot listen on " + path);
    close(listener);
    if (bound == 0) unlink(path.c_str());
    throw failure;
  }
  return listener;
}

// Listens on HOST:PORT and answers the socket and the address with the port bound.
std::pair<int, std::string> ListenTcp(const std::string& text) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
    throw Failure("bad listen address '" + text + "' (expected unix:PATH or HOST:PORT)",
                  E_INVALIDARG);
  }
  std::string host = text.substr(0, colon);
  std::string port = text.substr(colon + 1);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (int error = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); error != 0) {
    throw Failure("bad listen address '" + text + "': " + gai_strerror(error), E_INVALIDARG);
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> addresses(found, freeaddrinfo);
  int listener = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) throw SocketFailure("socket");
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(listener, found->ai_addr, found->ai_addrlen) != 0 || listen(listener, kBacklog) != 0) {
    Failure failure = SocketFailure("cannot listen on " + text);
    close(listener);
    throw failure;
  }
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  char bound_port[NI_MAXSERV] = "";
  if (getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length) != 0 ||
      getnameinfo(reinterpret_cast<sockaddr*>(&bound), length, nullptr, 0, bound_port,
                  sizeof bound_port, NI_NUMERICSERV) != 0) {
    Failure failure = SocketFailure("getsockname");
    close(listener);
    throw failure;
  }
  std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return {listener, shown + ":" + bound_port};
}

std::string AddressText(int family, const void* address) {
  char text[INET6_ADDRSTRLEN] = "";
  inet_ntop(family, address, text, sizeof text);
  return text;
}

std::string AddressText(const in6_addr& address) {
  if (IN6_IS_ADDR_V4MAPPED(&address)) return AddressText(AF_INET, &address.s6_addr[12]);
  return AddressText(AF_INET6, &address);
}

// The client's address as NumericAddress writes it; empty for a unix socket's client.
std::string PeerAddress(const sockaddr_storage& peer) {
  if (peer.ss_family == AF_INET) {
    return AddressText(AF_INET, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr);
  }
  if (peer.ss_family == AF_INET6) {
    return AddressText(reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr);
  }
  return "";
}

// Milliseconds for poll, rounded up so that a wait never ends just before its time.
int PollMilliseconds(SteadyClock::duration wait) {
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
}

}  // namespace

std::optional<std::string> NumericAddress(std::string_view text) {
  const std::string address(text);
  in_addr v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4) == 1) return AddressText(AF_INET, &v4);
  in6_addr v6{};
  if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) return AddressText(v6);
  return std::nullopt;
}

struct LmtpServer::Connection {
  std::string peer;  // its address, empty on a unix socket
  std::thread thread;
  std::atomic<bool> done = false;
};

namespace {

// What one connection says, whichever protocol: the session behind it and what it tells a
// client it closes on.
class Conversation {
 public:
  enum class Ending { kTimeLimit, kIdle, kStop };
  virtual ~Conversation() = default;
  virtual std::string Greeting() const = 0;
  virtual std::string Receive(std::string_view bytes) = 0;
  virtual bool Finished() const = 0;
  virtual std::string Farewell(Ending ending) const = 0;
};

class LmtpConversation : public Conversation {
 public:
  LmtpConversation(LmtpSession& session, const std::string& host_name)
      : session_(session), host_name_(host_name) {}
  std::string Greeting() const override { return session_.Greeting(); }
  std::string Receive(std::string_view bytes) override { return session_.Receive(bytes); }
  bool Finished() const override { return session_.Finished(); }
  std::string Farewell(Ending ending) const override {
    switch (ending) {
      case Ending::kTimeLimit:
        return "421 4.4.2 " + host_name_ + " Connection time limit reached, closing\r\n";
      case Ending::kIdle:
        return "421 4.4.2 " + host_name_ + " Idle too long, closing\r\n";
      case Ending::kStop:
        // A message under way gets no reply at all: the client delivers it again.
        return session_.InTransaction() ? "" : "421 4.3.2 " + host_name_ + " Shutting down\r\n";
    }
    return "";
  }

 private:
  LmtpSession& session_;
  const std::string& host_name_;
};

// Postfix's socketmap client reconnects when a connection closes: nothing to say.
class SocketmapConversation : public Conversation {
 public:
  explicit SocketmapConversation(SocketmapSession& session) : session_(session) {}
  std::string Greeting() const override { return ""; }
  std::string Receive(std::string_view bytes) override { return session_.Receive(bytes); }
  bool Finished() const override { return session_.Finished(); }
  std::string Farewell(Ending) const override { return ""; }

 private:
  SocketmapSession& session_;
};

// Serves the conversation until it is finished, the client goes or falls silent, its time is
// up or the stop pipe is readable.
void Converse(int socket, Conversation& conversation, const LmtpServerOptions& options, int stop) {
  using Ending = Conversation::Ending;
  const SteadyClock::time_point deadline = SteadyClock::now() + options.connection_time_limit;
  const std::string greeting = conversation.Greeting();
  bool open = greeting.empty() || SendAll(socket, greeting);
  char bytes[64 << 10];
  while (open && !conversation.Finished()) {
    const SteadyClock::duration left = deadline - SteadyClock::now();
    if (left <= SteadyClock::duration::zero()) {
      SendAll(socket, conversation.Farewell(Ending::kTimeLimit));
      break;
    }
    const bool limit_first = left < options.idle_timeout;
    pollfd waits[2] = {{socket, POLLIN, 0}, {stop, POLLIN, 0}};
    int ready = poll(waits, 2, PollMilliseconds(limit_first ? left : options.idle_timeout));
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) {
      if (limit_first) continue;
      SendAll(socket, conversation.Farewell(Ending::kIdle));
      break;
    }
    if (waits[1].revents != 0) {
      SendAll(socket, conversation.Farewell(Ending::kStop));
      break;
    }
    ssize_t got = recv(socket, bytes, sizeof bytes, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    std::string replies = conversation.Receive(std::string_view(bytes, static_cast<size_t>(got)));
    if (!replies.empty()) open = SendAll(socket, replies);
  }
}

}  // namespace

LmtpServer::Listener LmtpServer::Open(const std::string& listen,
                                      const std::optional<InheritedSocket>& inherited) {
  Listener listener;
  if (inherited) {
    listener.socket = inherited->socket;
    listener.address = inherited->address;
    listener.unix_socket = inherited->address.starts_with(kUnixPrefix);
  } else if (listen.starts_with(kUnixPrefix)) {
    listener.own_socket_path = listen.substr(sizeof kUnixPrefix - 1);
    listener.socket = ListenUnix(listener.own_socket_path);
    listener.address = listen;
    listener.unix_socket = true;
  } else if (!listen.empty()) {
    std::tie(listener.socket, listener.address) = ListenTcp(listen);
  }
  return listener;
}

LmtpServer::LmtpServer(LmtpServerOptions options, Mailroom& mailroom,
                       std::function<void(const std::string&)> log)
    : options_(std::move(options)), mailroom_(mailroom), log_(std::move(log)) {
  const bool unix_socket = options_.inherited_listener
                               ? options_.inherited_listener->address.starts_with(kUnixPrefix)
                               : options_.listen.starts_with(kUnixPrefix);
  for (const std::string& client : options_.trusted_clients) {
    std::optional<std::string> address = NumericAddress(client);
    if (!address || unix_socket) {
      throw Failure("cannot trust '" + client + "'" +
                        (unix_socket ? ": a unix socket trusts every client it admits"
                                     : ": not a numeric IPv4 or IPv6 address"),
                    E_INVALIDARG);
    }
    trusted_clients_.insert(*address);
  }
  if (pipe2(stop_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) throw SocketFailure("pipe");
  try {
    lmtp_ = Open(options_.listen, options_.inherited_listener);
    if (lmtp_.socket < 0) throw Failure("no address to serve LMTP on", E_INVALIDARG);
    map_ = Open(options_.map_listen, options_.inherited_map);
  } catch (...) {
    CloseListeners();
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
    throw;
  }
}

LmtpServer::~LmtpServer() {
  CloseListeners();
  close(stop_pipe_[0]);
  close(stop_pipe_[1]);
}

void LmtpServer::CloseListeners() {
  for (Listener* listener : {&lmtp_, &map_}) {
    if (listener->socket >= 0) close(listener->socket);
    listener->socket = -1;
    if (!listener->own_socket_path.empty()) unlink(listener->own_socket_path.c_str());
    listener->own_socket_path.clear();
  }
}

void LmtpServer::Stop() { StopFromSignal(); }

void LmtpServer::StopFromSignal() {
  // The byte is never read: the pipe stays readable for every thread that polls it.
  char byte = 0;
  ssize_t ignored = write(stop_pipe_[1], &byte, 1);
  (void)ignored;
}

void LmtpServer::Run() {
  std::list<std::unique_ptr<Connection>> connections;
  bool starved = false;  // out of file descriptors or memory at the last accept
  for (;;) {
    // poll skips a negative descriptor: the map's when there is none.
    pollfd waits[3] = {
        {lmtp_.socket, POLLIN, 0}, {map_.socket, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(waits, 3, -1) < 0) {
      if (errno == EINTR) continue;
      throw SocketFailure("poll");
    }
    if (waits[2].revents != 0) break;
    connections.remove_if([](const std::unique_ptr<Connection>& connection) {
      if (!connection->done) return false;
      connection->thread.join();
      return true;
    });
    if ((waits[0].revents & POLLIN) != 0) {
      starved = !Admit(lmtp_, Protocol::kLmtp, connections, starved);
    }
    if ((waits[1].revents & POLLIN) != 0 && !starved) {
      starved = !Admit(map_, Protocol::kSocketmap, connections, starved);
    }
    if (starved) {
      // The connection still waits and the listener stays readable: polling it again at once
      // would spin. Looked at again after a pause, while the connections being served finish
      // and give back what they hold.
      pollfd stop = {stop_pipe_[0], POLLIN, 0};
      poll(&stop, 1, static_cast<int>(kAcceptPause.count()));
    }
  }
  CloseListeners();
  for (const std::unique_ptr<Connection>& connection : connections) connection->thread.join();
}

bool LmtpServer::Admit(const Listener& listener, Protocol protocol,
                       std::list<std::unique_ptr<Connection>>& connections, bool starved) {
  sockaddr_storage peer_address{};
  socklen_t peer_length = sizeof peer_address;
  int socket = accept4(listener.socket, reinterpret_cast<sockaddr*>(&peer_address), &peer_length,
                       SOCK_CLOEXEC);
  if (socket < 0) {
    if (!OutOfResources(errno)) return true;
    // Said once, however long it lasts.
    if (!starved) {
      log_("warning: cannot accept connections: " + std::string(std::strerror(errno)));
    }
    return false;
  }
  if (starved) log_("accepting connections again");
  const bool lmtp = protocol == Protocol::kLmtp;
  if (connections.size() >= options_.max_connections) {
    if (lmtp) SendAll(socket, "421 4.3.2 Too many connections, try again later\r\n");
    close(socket);
    return true;
  }
  const std::string peer = PeerAddress(peer_address);
  const auto from_peer = std::count_if(
      connections.begin(), connections.end(),
      [&](const std::unique_ptr<Connection>& connection) { return connection->peer == peer; });
  if (!peer.empty() && static_cast<size_t>(from_peer) >= options_.max_connections_per_client) {
    log_("warning: refused a connection from " + peer + ": " +
         std::to_string(options_.max_connections_per_client) + " from there already");
    if (lmtp) {
      SendAll(socket, "421 4.7.0 Too many connections from your address, try again later\r\n");
    }
    close(socket);
    return true;
  }
  // Every client of a unix socket is the mail system.
  const bool trusted = listener.unix_socket || trusted_clients_.contains(peer);
  auto connection = std::make_unique<Connection>();
  connection->peer = peer;
  Connection* running = connection.get();
  try {
    running->thread = std::thread([this, socket, protocol, trusted, running] {
      Serve(socket, protocol, trusted);
      running->done = true;
    });
  } catch (const std::system_error&) {
    if (lmtp) SendAll(socket, "421 4.3.2 Out of resources, try again later\r\n");
    close(socket);
    return true;
  }
  connections.push_back(std::move(connection));
  return true;
}

void LmtpServer::Serve(int socket, Protocol protocol, bool trusted) {
  // A client that stops reading is given up after the idle time, also while a reply waits.
  timeval send_timeout{};
  send_timeout.tv_sec = static_cast<time_t>(
      std::chrono::duration_cast<std::chrono::seconds>(options_.idle_timeout).count() + 1);
  setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &send_timeout, sizeof send_timeout);
  try {
    if (protocol == Protocol::kLmtp) {
      LmtpSession session(
          mailroom_, options_.host_name, options_.limits,
          {.client_trusted = trusted, .postfix_host_name = options_.postfix_host_name}, log_);
      LmtpConversation conversation(session, options_.host_name);
      Converse(socket, conversation, options_, stop_pipe_[0]);
    } else {
      SocketmapSession session(mailroom_, log_);
      SocketmapConversation conversation(session);
      Converse(socket, conversation, options_, stop_pipe_[0]);
    }
  } catch (const std::exception& e) {
    // The message under way gets no reply: the client delivers it again.
    log_("warning: connection dropped: " + EscapeControlCharacters(e.what()));
  }
  close(socket);
}

}  // namespace corvalith::host
