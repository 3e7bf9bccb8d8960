#include "mailhost/account.h"

#include <pwd.h>

#include <vector>

namespace corvalith::host {

std::optional<Account> AccountOf(uid_t uid) {
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return std::nullopt;
  }
  return Account{entry.pw_name, entry.pw_gid};
}

std::string UserName(uid_t uid) {
  std::optional<Account> account = AccountOf(uid);
  return account ? account->name : "uid " + std::to_string(uid);
}

}  // namespace corvalith::host
