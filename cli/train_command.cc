// `corvalith train`: teaches a user's model (and with it the site model) from mail the user
// has already sorted, through the engine's Learn on the key the filter uses for the mailbox.
// What was taught is kept in the home's training record, so that running it again over the
// same folders teaches nothing twice. Only ever reads the mail.
#include <memory>
#include <vector>

#include "cli/command.h"
#include "config/constructor_string.h"
#include "logging/control_characters.h"
#include "mailhost/filter_health.h"
#include "mailhost/mail_host.h"
#include "mailhost/message_score.h"
#include "mailhost/training_record.h"
#include "mailhost/training_sources.h"
#include "provisioning/data_layout.h"
#include "sink/server.h"

namespace corvalith::host {

namespace {

struct ClassCounts {
  size_t learned = 0;
  size_t relearned = 0;  // taught as the other class before
  size_t already = 0;    // taught as this class before
  size_t skipped = 0;

  Json AsJson() const {
    return Json{{"learned", learned},
                {"relearned", relearned},
                {"already_trained", already},
                {"skipped", skipped}};
  }
  std::string Text(const char* other) const {
    return std::to_string(learned) + " learned, " + std::to_string(relearned) + " relearned from " +
           other + ", " + std::to_string(already) + " already trained, " + std::to_string(skipped) +
           " skipped";
  }
};

using Counter = size_t ClassCounts::*;

struct Folder {
  bool spam;
  std::unique_ptr<TrainingSource> source;
};

}  // namespace

int RunTrain(Context& c) {
  ExpectPositional(c.line, c.command, 1, 1);
  if (!c.line.Has("--spam") && !c.line.Has("--ham")) {
    throw UsageError{"train needs --spam FOLDER... or --ham FOLDER...; usage: " +
                     std::string(c.command.usage)};
  }
  const bool dry_run = c.line.Has("--dry-run");
  const MailboxAddress address = ParseMailboxAddress(c.line.positional[0]);
  MailHost host(c.home, c.construct_string);
  const MailboxAddress mailbox = host.RequireMailbox(address);

  // Every folder is found and listed before the first mail is taught.
  std::vector<Folder> folders;
  size_t total = 0;
  for (const bool spam : {true, false}) {
    for (const std::string& name : c.line.Values(spam ? "--spam" : "--ham")) {
      try {
        folders.push_back(Folder{spam, OpenTrainingSource(host, c.files, mailbox, name)});
      } catch (const NoTrainingSource& nothing) {
        throw UsageError{nothing.description()};
      }
      total += folders.back().source->size();
    }
  }

  const std::string data = DataDirectoryFromConstructString(c.construct_string);
  const std::string key = UserDataPath(data, mailbox.domain, mailbox.user);
  ComPtr<IClassifierEngine> engine = NewClassifierEngine();
  int32_t ham_mails = 0, spam_mails = 0;
  ThrowIfFailed(engine->GetStatistics(key, &ham_mails, &spam_mails));
  TrainingRecord record(c.home.TrainingRecordPath(), mailbox,
                        dry_run ? TrainingRecord::Mode::kReadOnly : TrainingRecord::Mode::kWrite);
  // A model that holds nothing has been made afresh (its file deleted): what the record says
  // was taught to the one before.
  if (ham_mails == 0 && spam_mails == 0) record.ForgetAll();
  if (!dry_run) PrepareDomainDirectory(data, mailbox);

  ClassCounts counts[2];  // [spam]
  // One mail: teaches it unless the record says it was taught as this class already.
  auto teach = [&](const TrainingMail& mail, bool spam) -> Counter {
    if (!mail.input) {
      c.err << "corvalith: " << EscapeControlCharacters(mail.origin)
            << ": skipped: " << EscapeControlCharacters(mail.skipped) << "\n";
      return &ClassCounts::skipped;
    }
    const MailDigest digest = DigestOf(mail.input->header, mail.input->body);
    const std::optional<bool> taught = record.Class(digest);
    if (taught == spam) return &ClassCounts::already;
    // The engine teaches a mail it holds as the other class as this one instead.
    if (!dry_run) ThrowIfFailed(engine->Learn(key, mail.input->header, mail.input->body, spam));
    record.Remember(digest, spam);
    return taught ? &ClassCounts::relearned : &ClassCounts::learned;
  };
  size_t done = 0;
  try {
    Progress progress(c.err, total, WantProgress(total));
    for (const Folder& folder : folders) {
      for (size_t i = 0; i < folder.source->size(); ++i) {
        const TrainingMail mail = folder.source->Read(i);
        if (!mail.input) progress.Clear();
        ++(counts[folder.spam].*teach(mail, folder.spam));
        ++done;
        progress.Step();
      }
    }
    record.Flush();
  } catch (const Failure& failure) {
    throw Failure("training stopped after " + std::to_string(done) + " of " +
                      std::to_string(total) + " mails: " + failure.description(),
                  failure.number());
  }

  Json answer{{"ok", true},
              {"mailbox", mailbox.Text()},
              {"dry_run", dry_run},
              {"spam", counts[true].AsJson()},
              {"ham", counts[false].AsJson()}};
  std::string text = mailbox.Text() + ": " + std::to_string(total) + " mails" +
                     (dry_run ? " (dry run: nothing trained)" : "") +
                     "\n  spam: " + counts[true].Text("ham") +
                     "\n  ham:  " + counts[false].Text("spam");
  const FilterHealth health = CheckFilterHealth(data, mailbox);
  for (const std::string& line : health.Lines()) text += "\n  " + line;
  health.AddTo(&answer);
  c.output.Emit(answer, text);
  return kExitOk;
}

}  // namespace corvalith::host
