#include "cli/run_as_owner.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "mailhost/account.h"
#include "platform/failure.h"

namespace corvalith::host {

std::optional<uid_t> UserToBecome(uid_t effective_uid, std::optional<uid_t> home_owner) {
  if (effective_uid != 0 || !home_owner || *home_owner == 0) return std::nullopt;
  return home_owner;
}

void RunAsHomeOwner(const std::string& directory) {
  struct stat home;
  std::optional<uid_t> owner;
  // A home that cannot be examined is left to the command, which says what is wrong with it.
  if (stat(directory.c_str(), &home) == 0) owner = home.st_uid;
  std::optional<uid_t> user = UserToBecome(geteuid(), owner);
  if (!user) return;
  const std::string uid = std::to_string(*user);
  std::optional<Account> account = AccountOf(*user);
  if (!account) {
    throw Failure("the home " + directory + " belongs to uid " + uid +
                      ", which has no account to run as: run corvalith as that uid, or give the "
                      "home to an account (chown -R)",
                  E_FAIL);
  }
  // Groups first: once the uid is the owner's, they can no longer change.
  if (initgroups(account->name.c_str(), account->group) != 0 || setgid(account->group) != 0 ||
      setuid(*user) != 0) {
    throw Failure::FromErrno(
        "cannot run as " + account->name + " (uid " + uid + "), the owner of the home " + directory,
        errno);
  }
}

}  // namespace corvalith::host
