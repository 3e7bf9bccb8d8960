#include "home.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "default_registry.h"
#include "manual_template.h"
#include "platform/failure.h"
#include "provisioning/data_layout.h"

namespace corvalith::host {

namespace {

// One level; an existing directory is fine.
bool MakeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return true;
  struct stat st;
  if (errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return false;
  throw Failure::FromErrno("cannot create directory " + path, errno);
}

bool IsFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

Home ResolveHome(const std::string& flag) {
  std::string directory = flag;
  if (directory.empty()) {
    const char* env = std::getenv("CORVALITH_HOME");
    directory = env != nullptr && *env != '\0' ? env : kDefaultHome;
  }
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  return Home{directory};
}

void UseHomeEnvironment(const Home& home) {
  const char* registry = std::getenv("CORVALITH_REGISTRY");
  if (registry == nullptr || *registry == '\0') {
    setenv("CORVALITH_REGISTRY", home.RegistryPath().c_str(), 1);
  }
  setenv("CORVALITH_EVENT_LOG", home.EventLogPath().c_str(), 1);
}

bool WriteNewFile(const std::string& path, std::string_view bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == EEXIST) return false;
    throw Failure::FromErrno("cannot create " + path, errno);
  }
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = errno;
      close(fd);
      unlink(path.c_str());
      throw Failure::FromErrno("cannot write " + path, err);
    }
    written += static_cast<size_t>(n);
  }
  if (close(fd) != 0) throw Failure::FromErrno("cannot write " + path, errno);
  return true;
}

std::string DefaultRegistryText() { return std::string(embedded::kDefaultRegistry); }

std::vector<std::string> CreateHomeFiles(const Home& home) {
  std::vector<std::string> created;
  // Parents of the home are created as `mkdir -p` would; an administrator names a new place.
  std::string partial;
  for (size_t at = 0; at != std::string::npos;) {
    size_t next = home.directory.find('/', at + 1);
    partial = home.directory.substr(0, next);
    if (!partial.empty() && MakeDirectory(partial) && next == std::string::npos) {
      created.push_back(partial);
    }
    at = next;
  }
  if (MakeDirectory(home.DataDirectory())) created.push_back(home.DataDirectory());
  if (WriteNewFile(home.RegistryPath(), embedded::kDefaultRegistry)) {
    created.push_back(home.RegistryPath());
  }
  std::string manual = ManualTemplatePath(home.DataDirectory() + "/");
  if (WriteNewFile(manual, embedded::kManualTemplate)) created.push_back(manual);
  return created;
}

void RequireHome(const Home& home) {
  if (!IsFile(home.StorePath())) {
    throw Failure("no corvalith home at " + home.directory + " (run `corvalith init --home " +
                      home.directory + "` first)",
                  E_FAIL);
  }
}

}  // namespace corvalith::host
