// `corvalith score`: what the engine thinks of messages for a mailbox, and with --explain why,
// for an administrator asking why a mail was taken for spam. Nothing is delivered, trained or
// created.
#include "cli/command.h"
#include "config/constructor_string.h"
#include "logging/control_characters.h"
#include "mailhost/explanation_text.h"
#include "mailhost/filter_health.h"
#include "mailhost/mail_host.h"
#include "mailhost/message_score.h"
#include "mailhost/message_source.h"

namespace corvalith::host {

namespace {

// As many features each way as a person reads at a glance.
constexpr size_t kExplainedFeatures = 10;

Json ContributionsJson(const std::vector<FeatureContribution>& contributions) {
  Json list = Json::array();
  for (const FeatureContribution& c : contributions) {
    list.push_back(
        Json{{"feature", c.name}, {"weight", c.total()}, {"user", c.user}, {"site", c.site}});
  }
  return list;
}

void AddExplanation(const Explanation& e, Json* answer, std::string* text) {
  (*answer)["user_score"] = e.user_score;
  (*answer)["site_score"] = e.site_score;
  (*answer)["counting_score"] = e.counting_score;
  (*answer)["threshold"] = e.threshold;
  (*answer)["site_model"] = e.site_model;
  if (!e.site_failure.empty()) (*answer)["site_failure"] = e.site_failure;
  (*answer)["towards_spam"] = ContributionsJson(e.towards_spam);
  (*answer)["towards_ham"] = ContributionsJson(e.towards_ham);
  *text += ExplanationText(e);
}

}  // namespace

int RunScore(Context& c) {
  if (c.line.positional.size() < 2) throw UsageError{"usage: " + std::string(c.command.usage)};
  MailboxAddress mailbox = ParseMailboxAddress(c.line.positional[0]);
  {
    MailHost host(c.home, c.construct_string);
    mailbox = host.RequireMailbox(mailbox);
  }
  // Bad arguments fail the command before anything is scored.
  std::vector<SourceMessage> messages;
  for (size_t i = 1; i < c.line.positional.size(); ++i) {
    std::vector<SourceMessage> more = ReadMessages(c.files, c.line.positional[i], c.in);
    for (SourceMessage& m : more) messages.push_back(std::move(m));
  }
  const std::string data = DataDirectoryFromConstructString(c.construct_string);
  const bool explain = c.line.Has("--explain");
  // A score is what the filter would decide only while the filter can work: say when it cannot.
  const FilterHealth health = CheckFilterHealth(data, mailbox);
  for (const std::string& line : health.Lines()) c.output.Text(line);

  int failures = 0;
  for (const SourceMessage& message : messages) {
    try {
      double score = ScoreMessage(data, mailbox, message.raw);
      Json answer{{"ok", true}, {"source", message.origin}, {"score", score}};
      health.AddTo(&answer);
      std::string text =
          FormatNumber(score, "%.4f") + "  " + EscapeControlCharacters(message.origin);
      if (explain) {
        AddExplanation(ExplainMessage(data, mailbox, message.raw, kExplainedFeatures), &answer,
                       &text);
      }
      c.output.Emit(answer, text);
    } catch (const Failure& failure) {
      ++failures;
      c.output.Emit(
          Json{{"ok", false}, {"source", message.origin}, {"error", failure.description()}}, "");
      c.err << "corvalith: " << message.origin << ": " << failure.description() << "\n";
    }
  }
  return failures == 0 ? kExitOk : kExitFailed;
}

}  // namespace corvalith::host
