// The mails one FOLDER of `corvalith train` names, each split into the header and body the
// engine is to learn. FOLDER is, in this order:
//   - a folder of the mailbox in the home's store (any store; names as MailHost::ResolveFolder
//     matches them), unless it begins with "/" or ".": each item is handed over as the filter
//     hands it over when its user moves it, from the properties the store keeps;
//   - a Maildir directory (one with cur/ or new/): the files of both, as delivered mail;
//   - an mbox file (mailhost/mbox_reader.h): its messages, as delivered mail.
// Every mail is bounded as the mail server bounds what it takes in; one that cannot be read,
// is larger or is no mail (empty, no header field on its first line) is skipped with the
// reason. Only ever reads.
#ifndef CORVALITH_MAILHOST_TRAINING_SOURCES_H_
#define CORVALITH_MAILHOST_TRAINING_SOURCES_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "mailhost/mail_host.h"
#include "mailhost/message_score.h"
#include "platform/failure.h"
#include "platform/file_system.h"

namespace corvalith::host {

// No mail larger than the LMTP server takes in is mail of this server.
inline constexpr size_t kMaxTrainedMailBytes = kMaxMailBytes;

struct TrainingMail {
  std::string origin;                // the item's URL, the file, or "FILE#N" in an mbox
  std::optional<EngineInput> input;  // nullopt when the mail is skipped
  std::string skipped;               // why, then
};

class TrainingSource {
 public:
  virtual ~TrainingSource() = default;
  virtual size_t size() const = 0;
  // The i-th mail, i < size(). Never throws.
  virtual TrainingMail Read(size_t i) = 0;
};

// FOLDER names nothing to learn from: no such folder, file or directory, a directory that is
// no Maildir, a file that is no mbox. Permanent: the command line that named it is wrong.
class NoTrainingSource : public Failure {
 public:
  explicit NoTrainingSource(std::string description)
      : Failure(std::move(description), E_INVALIDARG, FailureKind::kPermanent) {}
};

// The mails FOLDER names for the mailbox, listed (not yet read). Throws NoTrainingSource when
// it names nothing. Throws Failure when the store fails or the directory or file cannot be
// read.
std::unique_ptr<TrainingSource> OpenTrainingSource(MailHost& host, FileSystem& files,
                                                   const MailboxAddress& mailbox,
                                                   const std::string& folder);

}  // namespace corvalith::host

#endif  // CORVALITH_MAILHOST_TRAINING_SOURCES_H_
