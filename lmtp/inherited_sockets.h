// The listening sockets a service manager passes in (systemd's socket activation,
// sd_listen_fds(3)): when LISTEN_PID is this process and LISTEN_FDS is N, descriptors 3 to
// 3+N-1 listen already, named by LISTEN_FDNAMES (colon-separated, the socket units'
// FileDescriptorName=). "lmtp" is the LMTP listener and "map" the recipient map's; a single
// socket of any other name, or none, is the LMTP listener.
//
// This is how `corvalith lmtp` serves sockets it could not create: Postfix's chroot wants them
// in /var/spool/postfix/private/, a directory only postfix and root may write in, while the
// server runs as the mail user. Such a socket belongs to the service manager: the server never
// removes its file.
#ifndef CORVALITH_LMTP_INHERITED_SOCKETS_H_
#define CORVALITH_LMTP_INHERITED_SOCKETS_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvalith::host {

struct InheritedSocket {
  int socket = -1;
  // "unix:PATH", or "HOST:PORT" as LmtpServer::address() writes it.
  std::string address;
};

struct InheritedSockets {
  std::optional<InheritedSocket> lmtp;
  std::optional<InheritedSocket> map;
};

enum class ListenerRole { kLmtp, kMap };

// The role of each of `count` sockets by their names (LISTEN_FDNAMES, maybe empty). Throws a
// Failure for a name it does not know among several, or a role named twice.
std::vector<ListenerRole> ListenerRoles(size_t count, std::string_view names);

// The sockets passed to this process, none when there are none; takes them over (close on
// exec) and removes the LISTEN_* variables from the environment, so that no program started
// later takes them for its own. Throws a Failure when a descriptor is not a listening stream
// socket or the names do not say which is which.
InheritedSockets TakeInheritedSockets();

}  // namespace corvalith::host

#endif  // CORVALITH_LMTP_INHERITED_SOCKETS_H_
