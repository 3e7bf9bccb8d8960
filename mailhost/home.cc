#include "mailhost/home.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "logging/control_characters.h"
#include "mailhost/default_registry.h"
#include "mailhost/manual_template.h"
#include "platform/failure.h"
#include "provisioning/data_layout.h"
#include "store/maildir/maildir_store.h"
#include "store/sqlite/sqlite_store.h"

namespace corvalith::host {

namespace {

// One level; false when the directory exists already.
bool MakeDirectory(FileSystem& files, const std::string& path) {
  if (files.CreateDirectory(path)) return true;
  int err = files.LastError();
  if (err == EEXIST && files.KindOf(path) == FileKind::kDirectory) return false;
  throw Failure::FromErrno("cannot create directory " + path, err);
}

// The directory and its missing parents, as `mkdir -p` makes them; answers whether the last
// level was created.
bool MakeDirectories(FileSystem& files, const std::string& path) {
  bool created = false;
  for (size_t at = 0; at != std::string::npos;) {
    size_t next = path.find('/', at + 1);
    std::string partial = path.substr(0, next);
    if (!partial.empty()) created = MakeDirectory(files, partial);
    at = next;
  }
  return created;
}

constexpr char kMaildirChoice[] = "maildir ";
constexpr size_t kMaxStoreChoiceBytes = 4096;

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
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
  // Parents of the home are created too; an administrator names a new place.
  if (MakeDirectories(files, home.directory)) created.push_back(home.directory);
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
  if (files.KindOf(home.StorePath()) != FileKind::kFile &&
      files.KindOf(home.StoreChoicePath()) != FileKind::kFile) {
    throw Failure("no corvalith home at " + home.directory + " (run `corvalith init --home " +
                      home.directory + "` first)",
                  E_FAIL);
  }
}

std::optional<std::string> MaildirRoot(FileSystem& files, const Home& home) {
  const std::string path = home.StoreChoicePath();
  if (files.KindOf(path) == FileKind::kMissing) return std::nullopt;
  std::string text = files.ReadFile(path, kMaxStoreChoiceBytes);
  if (text.ends_with('\n')) text.pop_back();
  if (!text.starts_with(kMaildirChoice) || HasControlCharacter(text) ||
      text.find('/') != std::strlen(kMaildirChoice)) {
    throw Failure(path + " is not a store choice (expected one line \"maildir /ROOT\")", E_FAIL);
  }
  return text.substr(std::strlen(kMaildirChoice));
}

std::vector<std::string> ChooseMaildirStore(FileSystem& files, const Home& home,
                                            const std::string& root) {
  if (root.empty() || root[0] != '/' || HasControlCharacter(root)) {
    throw Failure("the Maildir root '" + EscapeControlCharacters(root) +
                      "' must be an absolute path without control characters",
                  E_INVALIDARG);
  }
  const std::string chosen = WithoutTrailingSlashes(root);
  if (std::optional<std::string> existing = MaildirRoot(files, home)) {
    if (*existing != chosen) {
      throw Failure("the home " + home.directory + " keeps its mail under " + *existing +
                        " already; it cannot move to " + chosen,
                    E_INVALIDARG);
    }
  } else if (files.KindOf(home.StorePath()) == FileKind::kFile &&
             !store::SqliteStore(home.StorePath(), files).Mailboxes().empty()) {
    throw Failure("the home " + home.directory + " keeps mailboxes in " + home.StorePath() +
                      "; a Maildir store would hide them (use a new home)",
                  E_INVALIDARG);
  }
  std::vector<std::string> created;
  if (MakeDirectories(files, chosen)) created.push_back(chosen);
  if (files.WriteNewFile(home.StoreChoicePath(), kMaildirChoice + chosen + "\n")) {
    created.push_back(home.StoreChoicePath());
  }
  return created;
}

std::unique_ptr<store::Store> OpenHomeStore(FileSystem& files, const Home& home) {
  if (std::optional<std::string> root = MaildirRoot(files, home)) {
    return std::make_unique<store::MaildirStore>(*root, files);
  }
  return std::make_unique<store::SqliteStore>(home.StorePath(), files);
}

}  // namespace corvalith::host
