// A Maildir folder that already holds many messages, made in seconds: the files are written
// straight into the folder as `corvalith lmtp` would have left them after delivering them
// (names from Postfix queue ids, the verdict's keywords) and Dovecot after the user read them
// (cur/ with the flag S; every tenth still unread in new/), with the store's index rows in the
// mailbox's property table. This is all Dovecot and the store look at; the mail delivered
// afterwards goes through the filter as usual.
#ifndef CORVALITH_BENCH_MAILDIR_FILLER_H_
#define CORVALITH_BENCH_MAILDIR_FILLER_H_

#include <cstddef>
#include <string>

namespace corvalith::bench {

struct FilledFolder {
  std::string directory;        // the folder's directory: the Maildir, or …/Maildir/.Junk E-mail
  std::string folder_text;      // its path as the property table keeps it: "Inbox", "Junk E-mail"
  std::string verdict_keyword;  // "Corvalith-Ham" or "Corvalith-Spam"
  std::string client_keyword;   // "$NotJunk" or "$Junk"
};

// Adds `count` messages to the folder of the mailbox whose property table is at
// `properties_path`; `name_prefix` keeps the names of two fills apart. The keywords get
// letters in the folder's dovecot-keywords when they have none yet.
void FillFolder(const std::string& properties_path, const FilledFolder& folder, size_t count,
                const std::string& name_prefix);

}  // namespace corvalith::bench

#endif  // CORVALITH_BENCH_MAILDIR_FILLER_H_
