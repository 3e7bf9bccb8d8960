// Who a command runs as. A home belongs to one user, and everything in it, the mail store
// included, is private to that user (files 0600, directories 0700): in the mail-server mode the
// mail user that Dovecot's mail_uid names, whose processes (Dovecot, `corvalith lmtp`, the
// imapsieve program) read and write it all. A command that root runs on such a home (an
// administrator's `sudo corvalith deliver …` or `mailbox add`) would leave files that only root
// can open, and the mail user's processes would fail on them. So root first becomes the home's
// owner, as `runuser -u OWNER` does: the owner's uid, primary group and supplementary groups.
#ifndef CORVALITH_CLI_RUN_AS_OWNER_H_
#define CORVALITH_CLI_RUN_AS_OWNER_H_

#include <sys/types.h>

#include <optional>
#include <string>

namespace corvalith::host {

// The user a process running as `effective_uid` becomes to work in a home owned by
// `home_owner` (nullopt: there is no home yet, and root creates it as its own): the owner
// when root works on another user's home; nullopt to stay as it is.
std::optional<uid_t> UserToBecome(uid_t effective_uid, std::optional<uid_t> home_owner);

// Becomes the user UserToBecome names for this process and the home directory (a symbolic
// link followed); does nothing when it names none. Runs before anything in the home is opened
// and while the process has one thread. Throws Failure when the owner has no account or the
// switch fails; the command must end then.
void RunAsHomeOwner(const std::string& directory);

}  // namespace corvalith::host

#endif  // CORVALITH_CLI_RUN_AS_OWNER_H_
