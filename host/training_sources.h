// The mails one FOLDER of `corvalith train` names, each split into the header and body the
// engine is to learn. FOLDER is, in this order:
//   - a folder of the mailbox in the home's store (any store; names as MailHost::ResolveFolder
//     matches them), unless it begins with "/" or ".": each item is handed over as the filter
//     hands it over when its user moves it, from the properties the store keeps;
//   - a Maildir directory (one with cur/ or new/): the files of both, as delivered mail;
//   - an mbox file (host/mbox_reader.h): its messages, as delivered mail.
// Every mail is bounded as the mail server bounds what it takes in; one that cannot be read,
// is larger or is no mail (empty, no header field on its first line) is skipped with the
// reason. Only ever reads.
#ifndef CORVALITH_HOST_TRAINING_SOURCES_H_
#define CORVALITH_HOST_TRAINING_SOURCES_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "host/lmtp_session.h"
#include "host/mail_host.h"
#include "host/message_score.h"
#include "platform/file_system.h"

namespace corvalith::host {

// No mail larger than the LMTP server takes in is mail of this server.
inline constexpr size_t kMaxTrainedMailBytes = LmtpLimits{}.max_message_bytes;

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

// The mails FOLDER names for the mailbox, listed (not yet read). Throws UsageError when it
// names nothing: no such folder, file or directory, a directory that is no Maildir, a file
// that is no mbox. Throws Failure when the store fails or the directory or file cannot be read.
std::unique_ptr<TrainingSource> OpenTrainingSource(MailHost& host, FileSystem& files,
                                                   const MailboxAddress& mailbox,
                                                   const std::string& folder);

}  // namespace corvalith::host

#endif  // CORVALITH_HOST_TRAINING_SOURCES_H_
