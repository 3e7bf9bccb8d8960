// The LMTP listener: a unix socket or a TCP address, a thread per connection (at most
// `max_connections`, and on TCP at most `max_connections_per_client` from one address; the
// next ones are told to come back later), one LmtpSession each. Beside it, optionally, the
// listener of Postfix's recipient map (lmtp/socketmap_session.h), whose connections count
// against the same limits and end after the same times. Either listener may be a socket the
// service manager passed in (lmtp/inherited_sockets.h) instead of one the server makes.
//
// Whoever can connect can hand in a message with a forged topmost Received field. A unix
// socket (the server's own has mode 0660) is reachable only by the mail system, so its clients are
// trusted to vouch for internal mail; on TCP only the addresses in `trusted_clients` are. Every
// connection ends after `connection_time_limit`, busy or not, so that clients that keep their
// connections alive with NOOP cannot hold every slot for good.
//
// Stop() (from any thread, or from a signal handler through StopFromSignal) stops accepting,
// lets every delivery in progress finish and send its replies, and closes every connection; a
// message whose data had not all arrived gets no reply, so the client delivers it again.
#ifndef CORVALITH_LMTP_LMTP_SERVER_H_
#define CORVALITH_LMTP_LMTP_SERVER_H_

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "lmtp/inherited_sockets.h"
#include "lmtp/lmtp_session.h"

namespace corvalith::host {

struct LmtpServerOptions {
  // "unix:PATH" or "HOST:PORT" ("[::1]:24" for IPv6); port 0 picks a free port.
  std::string listen;
  // A socket listening already, served instead of `listen`; never removed.
  std::optional<InheritedSocket> inherited_listener;
  // Postfix's socketmap table: "unix:PATH" or "HOST:PORT" as `listen`, or an inherited socket;
  // none when both are empty.
  std::string map_listen;
  std::optional<InheritedSocket> inherited_map;
  LmtpLimits limits;
  size_t max_connections = 32;
  // TCP only: the unix socket's clients are all the mail system.
  size_t max_connections_per_client = 8;
  std::chrono::milliseconds idle_timeout = std::chrono::minutes(5);
  // Above Postfix's own: its LMTP client reuses a connection for at most
  // lmtp_connection_reuse_time_limit (300 s) and then finishes the delivery under way.
  std::chrono::milliseconds connection_time_limit = std::chrono::minutes(10);
  // This server's name, in its greeting and replies.
  std::string host_name;
  // The name this server's Postfix writes after "by" in its Received fields (its myhostname):
  // only such a field can make a message internal.
  std::string postfix_host_name;
  // TCP client addresses, numeric IPv4 or IPv6, whose mail may be internal; none for a unix
  // socket, whose clients all may. The recipient map answers every client it admits.
  std::vector<std::string> trusted_clients;
};

// The canonical text of a numeric IPv4 or IPv6 address (an IPv4-mapped IPv6 address as IPv4,
// so that "::ffff:127.0.0.1" and "127.0.0.1" are one client); nothing for anything else, a
// host name included.
std::optional<std::string> NumericAddress(std::string_view text);

class LmtpServer {
 public:
  // Binds and listens (or takes the inherited sockets over); throws Failure when it cannot,
  // or when a trusted client is no numeric address or is given for a unix socket. A unix
  // socket file left by a server that is gone is replaced; one that a server still listens on
  // is an error. A new socket file has mode 0660.
  LmtpServer(LmtpServerOptions options, Mailroom& mailroom,
             std::function<void(const std::string&)> log);
  // Closes the listeners and removes the socket files it made (not the inherited ones).
  ~LmtpServer();
  LmtpServer(const LmtpServer&) = delete;
  LmtpServer& operator=(const LmtpServer&) = delete;

  // Where it listens: "unix:PATH" or "HOST:PORT" with the port actually bound.
  const std::string& address() const { return lmtp_.address; }
  // Where the recipient map listens, the same way; empty when it has none.
  const std::string& map_address() const { return map_.address; }
  // The LMTP listener is a unix socket, whose clients are all trusted.
  bool unix_socket() const { return lmtp_.unix_socket; }

  // Serves until Stop(); returns when every connection is closed.
  void Run();
  void Stop();
  // Async-signal-safe.
  void StopFromSignal();

 private:
  struct Connection;
  enum class Protocol { kLmtp, kSocketmap };
  struct Listener {
    int socket = -1;  // none when negative
    std::string address;
    bool unix_socket = false;
    std::string own_socket_path;  // a unix socket file this server made, removed at the end
  };
  static Listener Open(const std::string& listen, const std::optional<InheritedSocket>& inherited);
  void CloseListeners();
  // Accepts one connection, if the limits admit it, and serves it on a thread of its own.
  // Answers false when it ran out of file descriptors or memory.
  bool Admit(const Listener& listener, Protocol protocol,
             std::list<std::unique_ptr<Connection>>& connections, bool starved);
  // Serves one connection and closes it.
  void Serve(int socket, Protocol protocol, bool trusted);

  LmtpServerOptions options_;
  Mailroom& mailroom_;
  std::function<void(const std::string&)> log_;
  Listener lmtp_;
  Listener map_;
  std::set<std::string> trusted_clients_;  // as NumericAddress writes them
  int stop_pipe_[2] = {-1, -1};
};

}  // namespace corvalith::host

#endif  // CORVALITH_LMTP_LMTP_SERVER_H_
