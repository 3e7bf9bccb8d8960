#include "mailhost/message_score.h"

#include "platform/com.h"
#include "provisioning/data_layout.h"
#include "sink/server.h"
#include "store/message_import.h"

namespace corvalith::host {

EngineInput AsDelivered(const std::string& raw) {
  store::DerivedMessage derived = store::DeriveMessage(raw, store::Origin::kExternal);
  EngineInput input;
  input.header = derived.header_block.value_or("");
  input.body = derived.html_body && !derived.html_body->empty() ? *derived.html_body
                                                                : derived.plain_body.value_or("");
  return input;
}

ComPtr<IClassifierEngine> NewClassifierEngine() {
  ComPtr<IClassifierEngine> engine;
  ThrowIfFailed(ServerEnvironment().objects().CreateInstance(
      CLSID_ClassifierEngine, IID_IClassifierEngine, engine.put_void()));
  return engine;
}

double ScoreMessage(const std::string& data_directory, const MailboxAddress& mailbox,
                    const std::string& raw) {
  EngineInput input = AsDelivered(raw);
  ComPtr<IClassifierEngine> engine = NewClassifierEngine();
  double probability = 0;
  ThrowIfFailed(engine->Score(UserDataPath(data_directory, mailbox.domain, mailbox.user),
                              input.header, input.body, &probability));
  return probability;
}

Explanation ExplainMessage(const std::string& data_directory, const MailboxAddress& mailbox,
                           const std::string& raw, size_t count) {
  return ExplainInput(data_directory, mailbox, AsDelivered(raw), count);
}

Explanation ExplainInput(const std::string& data_directory, const MailboxAddress& mailbox,
                         const EngineInput& input, size_t count) {
  EngineOptions options;
  options.site_scope = ReadSiteScope(ServerEnvironment().registry());
  return ExplainMail(UserDataPath(data_directory, mailbox.domain, mailbox.user), input.header,
                     input.body, count, options);
}

}  // namespace corvalith::host
