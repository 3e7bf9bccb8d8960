// What the classifier's tests share: an engine object made as the filter makes one per save
// event, and work run in several processes at once against the same files.
#ifndef CORVALITH_CLASSIFIER_CLASSIFIER_TEST_SUPPORT_H_
#define CORVALITH_CLASSIFIER_CLASSIFIER_TEST_SUPPORT_H_

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "classifier/classifier_engine_object.h"

namespace corvalith::testing {

inline ComPtr<ClassifierEngineObject> NewEngine(const EngineOptions& options = EngineOptions()) {
  return ComPtr<ClassifierEngineObject>::Attach(new ClassifierEngineObject(options));
}

// What a file the engine keeps may hold instead of what it wrote, and the words the failure
// must use to describe it.
struct DamagedFile {
  const char* name;
  std::string content;
  const char* description;
};

// Foreign files (a text file, an empty file, `foreign`), described with `not_ours`, and the
// engine's own file `good` truncated, grown and with a changed header, described as "damaged".
inline std::vector<DamagedFile> DamagedFiles(const std::string& good, const char* not_ours,
                                             const std::string& foreign) {
  std::string flipped = good;
  flipped[12] ^= 1;  // the table geometry in the header
  return {
      {"text file", "Some user's notes\n", not_ours},
      {"empty file", "", not_ours},
      {"foreign file", foreign, not_ours},
      {"truncated", good.substr(0, good.size() / 2), "damaged"},
      {"grown", good + "tail", "damaged"},
      {"header damaged", flipped, "damaged"},
  };
}

// Runs `work(0)` to `work(processes - 1)` each in a child process of its own, all at once,
// and expects every child to report no failures: `work` returns how many it met. The child
// ends with _exit, so that it never runs the rest of the test suite.
inline void ExpectProcessesSucceed(int processes, const std::function<int(int)>& work) {
  std::vector<pid_t> children;
  for (int c = 0; c < processes; ++c) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(work(c) == 0 ? 0 : 1);
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
}

}  // namespace corvalith::testing

#endif  // CORVALITH_CLASSIFIER_CLASSIFIER_TEST_SUPPORT_H_
