// The system's user accounts, as the host names and becomes them.
#ifndef CORVALITH_MAILHOST_ACCOUNT_H_
#define CORVALITH_MAILHOST_ACCOUNT_H_

#include <sys/types.h>

#include <optional>
#include <string>

namespace corvalith::host {

struct Account {
  std::string name;
  gid_t group;  // primary
};

// nullopt when `uid` has no account.
std::optional<Account> AccountOf(uid_t uid);

// The account's name, for a person; "uid N" when there is none.
std::string UserName(uid_t uid);

}  // namespace corvalith::host

#endif  // CORVALITH_MAILHOST_ACCOUNT_H_
