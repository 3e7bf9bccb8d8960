// Setting up: the home, and the component's class registration.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

#include "cli/command.h"
#include "mailhost/mail_host.h"
#include "platform/registry_file.h"
#include "sink/interfaces.h"

namespace corvalith::host {

namespace {

constexpr char kComponentLibrary[] = "libCorvalithFilter.so.1";

// The shared library whose self-registration `register` runs: the registration names the
// library that wrote it, and that must be the .so a COM client loads, not this executable.
std::string FindComponentLibrary(FileSystem& files, const std::string& flag) {
  if (!flag.empty()) return flag;
  if (const char* env = std::getenv("CORVALITH_LIBRARY"); env != nullptr && *env != '\0') {
    return env;
  }
  try {
    // PREFIX/bin/corvalith beside PREFIX/LIBDIR/libCorvalithFilter.so.1
    std::string self = files.RealPath("/proc/self/exe");
    std::string prefix = self.substr(0, self.rfind('/'));
    prefix = prefix.substr(0, prefix.rfind('/'));
    std::string installed = prefix + "/" + CORVALITH_INSTALL_LIBDIR + "/" + kComponentLibrary;
    if (files.KindOf(installed) == FileKind::kFile) return installed;
  } catch (const Failure&) {
    // No /proc: only the build tree is left to look in.
  }
  if (files.KindOf(CORVALITH_BUILD_LIBRARY) == FileKind::kFile) return CORVALITH_BUILD_LIBRARY;
  throw Failure("cannot find libCorvalithFilter.so (install it, or name it with --library PATH)",
                E_FAIL);
}

int RunRegistration(Context& c, bool do_register) {
  ExpectPositional(c.line, c.command, 0, 0);
  std::string library = FindComponentLibrary(c.files, c.line.Option("--library"));
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) throw Failure("cannot load " + library + ": " + dlerror(), E_FAIL);
  const char* entry = do_register ? "DllRegisterServer" : "DllUnregisterServer";
  using EntryPoint = HRESULT (*)();
  auto function = reinterpret_cast<EntryPoint>(dlsym(handle, entry));
  if (function == nullptr) {
    dlclose(handle);
    throw Failure(library + " has no " + entry, E_FAIL);
  }
  HRESULT hr = function();
  dlclose(handle);
  std::string registry = RegistryFilePath();
  if (Failed(hr)) {
    char number[16];
    std::snprintf(number, sizeof number, "0x%08X", static_cast<uint32_t>(hr));
    throw Failure(std::string(entry) + " of " + library + " failed with " + number + " (registry " +
                      registry + ")",
                  hr);
  }
  std::string clsid = GuidToString(CLSID_ExchangeFilter);
  c.output.Emit(Json{{"ok", true},
                     {"library", library},
                     {"registry", registry},
                     {"clsid", clsid},
                     {"registered", do_register}},
                std::string(do_register ? "registered " : "unregistered ") + clsid + " (" +
                    library + ") in " + registry);
  return kExitOk;
}

}  // namespace

int RunInit(Context& c) {
  ExpectPositional(c.line, c.command, 0, 0);
  std::vector<std::string> created = CreateHomeFiles(c.files, c.home);
  if (c.line.Has("--maildir")) {
    std::vector<std::string> chosen =
        ChooseMaildirStore(c.files, c.home, c.line.Option("--maildir"));
    created.insert(created.end(), chosen.begin(), chosen.end());
  }
  std::optional<std::string> maildir_root = MaildirRoot(c.files, c.home);
  bool store_existed = maildir_root || c.files.Exists(c.home.StorePath());
  { MailHost host(c.home, c.construct_string); }
  if (!store_existed) created.push_back(c.home.StorePath());
  std::string store = maildir_root ? *maildir_root : c.home.StorePath();
  std::string text;
  for (const std::string& path : created) text += "created " + path + "\n";
  text += created.empty() ? "home " + c.home.directory + " is complete; nothing to create"
                          : "home " + c.home.directory + " is ready";
  text += "\nmailboxes in " + store + (maildir_root ? " (Maildir)" : "");
  c.output.Emit(
      Json{{"ok", true}, {"home", c.home.directory}, {"created", created}, {"store", store}}, text);
  return kExitOk;
}

int RunRegister(Context& c) { return RunRegistration(c, true); }
int RunUnregister(Context& c) { return RunRegistration(c, false); }

}  // namespace corvalith::host
