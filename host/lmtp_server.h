// The LMTP listener: a unix socket or a TCP address, a thread per connection (at most
// `max_connections`, the next ones are told to come back later), one LmtpSession each.
//
// Stop() (from any thread, or from a signal handler through StopFromSignal) stops accepting,
// lets every delivery in progress finish and send its replies, and closes every connection; a
// message whose data had not all arrived gets no reply, so the client delivers it again.
#ifndef CORVALITH_HOST_LMTP_SERVER_H_
#define CORVALITH_HOST_LMTP_SERVER_H_

#include <chrono>
#include <functional>
#include <string>

#include "host/lmtp_session.h"

namespace corvalith::host {

struct LmtpServerOptions {
  // "unix:PATH" or "HOST:PORT" ("[::1]:24" for IPv6); port 0 picks a free port.
  std::string listen;
  LmtpLimits limits;
  size_t max_connections = 32;
  std::chrono::milliseconds idle_timeout = std::chrono::minutes(5);
  std::string host_name;
};

class LmtpServer {
 public:
  // Binds and listens; throws Failure when it cannot. A unix socket file left by a server
  // that is gone is replaced; one that a server still listens on is an error. The new socket
  // file has mode 0660.
  LmtpServer(LmtpServerOptions options, Mailroom& mailroom,
             std::function<void(const std::string&)> log);
  // Removes the unix socket file.
  ~LmtpServer();
  LmtpServer(const LmtpServer&) = delete;
  LmtpServer& operator=(const LmtpServer&) = delete;

  // Where it listens: "unix:PATH" or "HOST:PORT" with the port actually bound.
  const std::string& address() const { return address_; }

  // Serves until Stop(); returns when every connection is closed.
  void Run();
  void Stop();
  // Async-signal-safe.
  void StopFromSignal();

 private:
  struct Connection;
  // Serves one connection and closes it.
  void Serve(int socket);
  void Converse(int socket);

  LmtpServerOptions options_;
  Mailroom& mailroom_;
  std::function<void(const std::string&)> log_;
  std::string address_;
  std::string socket_path_;  // unix sockets only
  int listener_ = -1;
  int stop_pipe_[2] = {-1, -1};
};

}  // namespace corvalith::host

#endif  // CORVALITH_HOST_LMTP_SERVER_H_
