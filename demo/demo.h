// `corvalith demo`: a guided tour in a fresh home — two mailboxes in two domains, a user who
// trains the filter by moving mail, and what the filter learned from it.
#ifndef CORVALITH_DEMO_DEMO_H_
#define CORVALITH_DEMO_DEMO_H_

#include <ostream>
#include <string>
#include <vector>

namespace corvalith::host {

// One bundled sample message.
struct DemoMessage {
  const char* name;
  bool spam;      // the truth, as the user sees it
  bool internal;  // sent by a colleague through the store itself
  const char* raw;
};

// The bundled samples: the first user's training mail, the mail the tour shows her, her
// mail after the corrections, and the second user's mail.
const std::vector<DemoMessage>& DemoTrainingMessages();
const std::vector<DemoMessage>& DemoShowMessages();
const std::vector<DemoMessage>& DemoFollowUpMessages();
const std::vector<DemoMessage>& DemoSecondMailboxMessages();

// Runs the tour in `directory` (created; must not hold a home already), or in a new
// temporary directory when it is empty. Answers the exit status.
int RunDemo(const std::string& directory, std::ostream& out, std::ostream& err);

}  // namespace corvalith::host

#endif  // CORVALITH_DEMO_DEMO_H_
