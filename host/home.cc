#include "host/home.h"

#include <cerrno>
#include <cstdlib>

#include "host/default_registry.h"
#include "host/manual_template.h"
#include "platform/failure.h"
#include "provisioning/data_layout.h"

namespace corvalith::host {

namespace {

// One level; false when the directory exists already.
bool MakeDirectory(FileSystem& files, const std::string& path) {
  if (files.CreateDirectory(path)) return true;
  int err = files.LastError();
  if (err == EEXIST && files.KindOf(path) == FileKind::kDirectory) return false;
  throw Failure::FromErrno("cannot create directory " + path, err);
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

std::vector<std::string> CreateHomeFiles(FileSystem& files, const Home& home) {
  std::vector<std::string> created;
  // Parents of the home are created as `mkdir -p` would; an administrator names a new place.
  std::string partial;
  for (size_t at = 0; at != std::string::npos;) {
    size_t next = home.directory.find('/', at + 1);
    partial = home.directory.substr(0, next);
    if (!partial.empty() && MakeDirectory(files, partial) && next == std::string::npos) {
      created.push_back(partial);
    }
    at = next;
  }
  if (MakeDirectory(files, home.DataDirectory())) created.push_back(home.DataDirectory());
  if (files.WriteNewFile(home.RegistryPath(), std::string(embedded::kDefaultRegistry))) {
    created.push_back(home.RegistryPath());
  }
  std::string manual = ManualTemplatePath(home.DataDirectory() + "/");
  if (files.WriteNewFile(manual, std::string(embedded::kManualTemplate))) {
    created.push_back(manual);
  }
  return created;
}

void RequireHome(FileSystem& files, const Home& home) {
  if (files.KindOf(home.StorePath()) != FileKind::kFile) {
    throw Failure("no corvalith home at " + home.directory + " (run `corvalith init --home " +
                      home.directory + "` first)",
                  E_FAIL);
  }
}

}  // namespace corvalith::host
