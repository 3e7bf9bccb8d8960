// Work done as a user who owns none of a test's files, for tests of what such a user may not
// do: root, who may do anything, becomes nobody in a child process; anyone else is such a user
// already, and the child runs as them.
#ifndef CORVALITH_PLATFORM_TESTING_AS_ANOTHER_USER_H_
#define CORVALITH_PLATFORM_TESTING_AS_ANOTHER_USER_H_

#include <grp.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace corvalith::testing {

inline constexpr uid_t kNobody = 65534;

struct OtherUserOutcome {
  bool became_other_user = false;  // false: root could not become nobody
  bool finished = false;           // the work ran to its end and its text was passed on whole
  std::string text;                // what the work returned
};

// Runs `work` in a child process as such a user; the child never returns into the test.
inline OtherUserOutcome RunAsAnotherUser(const std::function<std::string()>& work) {
  OtherUserOutcome outcome;
  int out[2];
  if (pipe(out) != 0) return outcome;
  const pid_t child = fork();
  if (child < 0) return outcome;
  if (child == 0) {
    close(out[0]);
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) {
      _exit(2);
    }
    const std::string text = work();
    _exit(write(out[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1);
  }
  close(out[1]);
  char bytes[4096];
  for (ssize_t n; (n = read(out[0], bytes, sizeof bytes)) > 0;) outcome.text.append(bytes, n);
  close(out[0]);
  int status = 0;
  if (waitpid(child, &status, 0) != child) return outcome;
  outcome.became_other_user = !(WIFEXITED(status) && WEXITSTATUS(status) == 2);
  outcome.finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return outcome;
}

}  // namespace corvalith::testing

#endif  // CORVALITH_PLATFORM_TESTING_AS_ANOTHER_USER_H_
