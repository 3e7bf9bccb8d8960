// How the store names the mailboxes it holds. Every mailbox URL starts with the store's prefix,
// the mail domain, the mailbox level and the user; below the mailbox root come its folders and,
// last, an item:
//
//   file://./backofficestorage/<domain>/MBX/<user>[/<folder>...[/<item>]]
//
// URLs are plain concatenations: nothing is escaped, decoded or changed in case. A mailbox keeps
// the spelling it was created with; names that differ only in case are the same mailbox to a
// mail server, and CaseFoldedName gives them one form to compare by.
#ifndef CORVALITH_STORE_MAILBOX_URL_H_
#define CORVALITH_STORE_MAILBOX_URL_H_

#include <optional>
#include <string>
#include <vector>

namespace corvalith::store {

inline constexpr char kStoreUrlPrefix[] = "file://./backofficestorage/";
inline constexpr char kMailboxLevel[] = "MBX";

std::string MailboxRootUrl(const std::string& domain, const std::string& user);

struct MailboxUrl {
  std::string domain;
  std::string user;
  // The segments below the mailbox root, as they stand (an empty one included): none for the
  // root itself.
  std::vector<std::string> below;
};

// The parts of a URL inside a mailbox: nullopt unless it starts with the prefix, a non-empty
// domain, the mailbox level and a non-empty user.
std::optional<MailboxUrl> ParseMailboxUrl(const std::string& url);

// "<prefix><domain>/MBX/<user>": the top of a mailbox, which the store creates without a parent
// folder (the domain level belongs to the directory, not to the store).
bool IsMailboxRoot(const std::string& url);

// The form of a domain or user name that every spelling of it in other case shares: Unicode
// full case folding (A/a, É/é, Σ/σ/ς, Ж/ж, ß/SS/ss), as mail servers compare addresses.
// nullopt for a name that is not valid UTF-8 or holds a NUL.
std::optional<std::string> CaseFoldedName(const std::string& name);

}  // namespace corvalith::store

#endif  // CORVALITH_STORE_MAILBOX_URL_H_
