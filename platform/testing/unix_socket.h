// A client's end of a unix stream socket, for tests and benchmarks that talk to a server of
// ours. Header-only, so that any folder can use it without linking.
#ifndef CORVALITH_PLATFORM_TESTING_UNIX_SOCKET_H_
#define CORVALITH_PLATFORM_TESTING_UNIX_SOCKET_H_

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace corvalith::testing {

// A socket connected to the one at `path`; -1 when there is none to connect to.
inline int ConnectUnixSocket(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const int err = errno;  // for the caller's message
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

}  // namespace corvalith::testing

#endif  // CORVALITH_PLATFORM_TESTING_UNIX_SOCKET_H_
