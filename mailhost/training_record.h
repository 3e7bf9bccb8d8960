// What `corvalith train` has taught each user's model, so that a second run over the same
// folders teaches nothing twice. The engine knows a mail again only among a user's latest
// 4096; a folder kept for years holds far more, and each mail trained again would count twice.
//
// One SQLite file in the home (HOME/trained.db, mode 0600, rollback journal): per user (the
// mailbox's domain and name, as it was added), a digest of each mail's header and body as the
// engine got them, with the class it was taught. At most kRememberedMailsPerUser mails per
// user are kept, the most recently taught; a crash loses at most the last kRememberedPerWrite,
// all of them among the engine's own latest, so that teaching them again changes nothing.
#ifndef CORVALITH_MAILHOST_TRAINING_RECORD_H_
#define CORVALITH_MAILHOST_TRAINING_RECORD_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "mailhost/mail_host.h"

struct sqlite3;

namespace corvalith::host {

// 128 bits of the SHA-256 of the header's length, the header and the body.
using MailDigest = std::array<unsigned char, 16>;
MailDigest DigestOf(const std::string& header, const std::string& body);

class TrainingRecord {
 public:
  static constexpr int64_t kRememberedMailsPerUser = 1'000'000;
  // Far below the engine's 4096: what a crash loses is what the engine still knows.
  static constexpr size_t kRememberedPerWrite = 256;

  enum class Mode {
    kReadOnly,  // never writes, nor creates the file: what Remember adds is kept in memory
    kWrite,
  };

  // Opens the record at `path` for the mailbox's user. Throws Failure when it cannot be opened
  // or is not such a record.
  TrainingRecord(const std::string& path, const MailboxAddress& mailbox, Mode mode);
  // Writes what is remembered and not yet written, as Flush, but never throws.
  ~TrainingRecord();
  TrainingRecord(const TrainingRecord&) = delete;
  TrainingRecord& operator=(const TrainingRecord&) = delete;

  // The class the mail was taught as (true: spam); nullopt when it was not.
  std::optional<bool> Class(const MailDigest& digest);
  // The mail has been taught as this class. Written every kRememberedPerWrite mails.
  void Remember(const MailDigest& digest, bool spam);
  // Forgets every mail of the user: the user's model has started afresh.
  void ForgetAll();
  // Writes what is remembered and drops the oldest mails beyond the user's bound. Throws
  // Failure.
  void Flush();

 private:
  void Write();
  void Run(const char* sql);

  std::string path_;
  std::string user_;
  Mode mode_;
  sqlite3* db_ = nullptr;   // null while a read-only record has no file
  int64_t user_id_ = 0;     // 0 while the user has no row
  bool forgotten_ = false;  // ForgetAll on a read-only record: what the file says is ignored
  std::map<MailDigest, bool> unwritten_;
};

}  // namespace corvalith::host

#endif  // CORVALITH_MAILHOST_TRAINING_RECORD_H_
