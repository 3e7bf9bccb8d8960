// What the engine thinks of a message for a mailbox, without the message ever being delivered:
// `corvalith score` and the batch "score" operation. The message is split as the store splits
// a delivered one, so that the engine sees the header and body the filter would hand it, and
// the engine is created as the filter creates it. Nothing is registered, no file is created.
// `corvalith train` splits the messages it teaches and creates its engine the same way.
#ifndef CORVALITH_MAILHOST_MESSAGE_SCORE_H_
#define CORVALITH_MAILHOST_MESSAGE_SCORE_H_

#include <string>

#include "classifier/explain.h"
#include "engine/classifier_engine.h"
#include "mailhost/mail_host.h"

namespace corvalith::host {

// The header and body the filter hands the engine for an external delivery: the transport
// header block, and the HTML body unless it is empty, else the plain text.
struct EngineInput {
  std::string header;
  std::string body;
};
EngineInput AsDelivered(const std::string& raw);

// A classification engine, created as the filter creates it. Throws Failure.
ComPtr<IClassifierEngine> NewClassifierEngine();

// The engine's spam probability in [0, 1] (its Score) for the mailbox's user. Throws Failure
// when the engine fails, e.g. on a damaged user database.
double ScoreMessage(const std::string& data_directory, const MailboxAddress& mailbox,
                    const std::string& raw);

// The features that pushed the score most towards spam and towards ham, at most `count` each,
// with the engine's settings as the filter's engine reads them. Throws Failure like
// ScoreMessage.
Explanation ExplainMessage(const std::string& data_directory, const MailboxAddress& mailbox,
                           const std::string& raw, size_t count);
// The same for a mail already split as the engine gets it (a stored item's header and body).
Explanation ExplainInput(const std::string& data_directory, const MailboxAddress& mailbox,
                         const EngineInput& input, size_t count);

}  // namespace corvalith::host

#endif  // CORVALITH_MAILHOST_MESSAGE_SCORE_H_
