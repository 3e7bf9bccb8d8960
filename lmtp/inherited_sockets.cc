#include "lmtp/inherited_sockets.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "logging/control_characters.h"
#include "platform/failure.h"
#include "platform/text.h"

namespace corvalith::host {

namespace {

// sd_listen_fds(3): the first passed descriptor.
constexpr int kFirstSocket = 3;
// More than a service could mean to pass: a garbled variable, not thousands of sockets.
constexpr size_t kMaxSockets = 64;

std::optional<long> Number(const char* text) {
  return text == nullptr ? std::nullopt : WholeNumber(text);
}

Failure PassedSocketFailure(int socket, const std::string& problem) {
  return Failure("socket " + std::to_string(socket) + " passed by the service manager " + problem,
                 E_INVALIDARG);
}

// "unix:PATH" or "HOST:PORT" of a listening socket.
std::string SocketAddress(int socket) {
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
    throw PassedSocketFailure(socket, std::string("has no address: ") + std::strerror(errno));
  }
  if (bound.ss_family == AF_UNIX) {
    const auto& unix_address = reinterpret_cast<const sockaddr_un&>(bound);
    const size_t path_length = length - offsetof(sockaddr_un, sun_path);
    std::string_view path(unix_address.sun_path, path_length);
    if (!path.empty() && path.front() == '\0') path.remove_prefix(1);  // an abstract name
    path = path.substr(0, path.find('\0'));
    return "unix:" + EscapeControlCharacters(path);
  }
  char host[NI_MAXHOST] = "";
  char port[NI_MAXSERV] = "";
  if ((bound.ss_family != AF_INET && bound.ss_family != AF_INET6) ||
      getnameinfo(reinterpret_cast<sockaddr*>(&bound), length, host, sizeof host, port, sizeof port,
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
    throw PassedSocketFailure(socket, "is neither a unix nor a TCP socket");
  }
  const std::string shown = bound.ss_family == AF_INET6 ? "[" + std::string(host) + "]" : host;
  return shown + ":" + port;
}

InheritedSocket TakeSocket(int socket) {
  int type = 0;
  int accepting = 0;
  socklen_t size = sizeof type;
  if (getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM) {
    throw PassedSocketFailure(socket, "is not a stream socket");
  }
  size = sizeof accepting;
  if (getsockopt(socket, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &size) != 0 || accepting == 0) {
    throw PassedSocketFailure(socket, "is not listening");
  }
  const int flags = fcntl(socket, F_GETFD);
  if (flags < 0 || fcntl(socket, F_SETFD, flags | FD_CLOEXEC) != 0) {
    throw PassedSocketFailure(socket, std::string("cannot be kept: ") + std::strerror(errno));
  }
  return {socket, SocketAddress(socket)};
}

}  // namespace

std::vector<ListenerRole> ListenerRoles(size_t count, std::string_view names) {
  const std::vector<std::string> named =
      names.empty() ? std::vector<std::string>() : SplitText(std::string(names), ':');
  if (count == 1 && (named.empty() || (named[0] != "map"))) return {ListenerRole::kLmtp};
  std::vector<ListenerRole> roles;
  for (size_t i = 0; i < count; ++i) {
    const std::string name = i < named.size() ? named[i] : "";
    if (name != "lmtp" && name != "map") {
      throw Failure("the service manager passed " + std::to_string(count) +
                        " sockets, and socket " + std::to_string(kFirstSocket + i) + " is named '" +
                        EscapeControlCharacters(name) +
                        "': name them lmtp and map (FileDescriptorName=, one socket unit each)",
                    E_INVALIDARG);
    }
    const ListenerRole role = name == "lmtp" ? ListenerRole::kLmtp : ListenerRole::kMap;
    for (ListenerRole earlier : roles) {
      if (earlier == role) {
        throw Failure("the service manager passed two sockets named '" + name +
                          "': give each socket unit its own FileDescriptorName=",
                      E_INVALIDARG);
      }
    }
    roles.push_back(role);
  }
  return roles;
}

InheritedSockets TakeInheritedSockets() {
  const std::optional<long> pid = Number(std::getenv("LISTEN_PID"));
  const std::optional<long> count = Number(std::getenv("LISTEN_FDS"));
  const char* names = std::getenv("LISTEN_FDNAMES");
  const std::string fd_names = names != nullptr ? names : "";
  for (const char* variable : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"}) unsetenv(variable);
  InheritedSockets sockets;
  // Meant for another process (the variables were inherited through it), or nothing passed.
  if (!pid || *pid != getpid() || !count || *count < 1) return sockets;
  if (static_cast<size_t>(*count) > kMaxSockets) {
    throw Failure("LISTEN_FDS=" + std::to_string(*count) + ": more sockets than a server needs",
                  E_INVALIDARG);
  }
  const std::vector<ListenerRole> roles = ListenerRoles(static_cast<size_t>(*count), fd_names);
  for (size_t i = 0; i < roles.size(); ++i) {
    InheritedSocket socket = TakeSocket(kFirstSocket + static_cast<int>(i));
    (roles[i] == ListenerRole::kLmtp ? sockets.lmtp : sockets.map) = std::move(socket);
  }
  return sockets;
}

}  // namespace corvalith::host
