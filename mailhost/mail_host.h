// The mail server the host stands in for: one persistent mailbox store, one filter instance,
// and the store's two saves the filter hears about, delivery and a user's move. Each save is
// one store transaction that the filter sees before it commits; any failure on the host's
// side rolls it back, so that a message is either delivered completely or not at all.
//
// Not thread-safe: one thread at a time may call a MailHost. Several MailHosts may work at
// once, each with its own store, sharing one filter instance as the threads of a store process
// do (mailhost/mail_host_pool.h).
#ifndef CORVALITH_MAILHOST_MAIL_HOST_H_
#define CORVALITH_MAILHOST_MAIL_HOST_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mailhost/filter_instance.h"
#include "mailhost/home.h"
#include "platform/failure.h"
#include "platform/file_system.h"
#include "store/record.h"
#include "store/store.h"

namespace corvalith::host {

// The largest mail this server takes in: what the LMTP server advertises as SIZE, and the
// largest `corvalith train` teaches.
inline constexpr size_t kMaxMailBytes = size_t{32} << 20;

// USER@DOMAIN, as the command line names a mailbox.
struct MailboxAddress {
  std::string user;
  std::string domain;

  std::string Text() const { return user + "@" + domain; }
  std::string RootUrl() const;
  bool operator==(const MailboxAddress&) const = default;
};

// A mailbox or folder that surely does not exist: what a mail server answers "no such user"
// for, rather than trying again later. Always permanent.
class UnknownMailbox : public Failure {
 public:
  explicit UnknownMailbox(std::string description)
      : Failure(std::move(description), E_INVALIDARG, FailureKind::kPermanent) {}
};

// Throws a permanent Failure(E_INVALIDARG) for anything but USER@DOMAIN in UTF-8 with names
// that can be part of a path. The address is as written: MailHost::FindMailbox finds the
// mailbox it names.
MailboxAddress ParseMailboxAddress(const std::string& text);

// The parts of an item URL in a mailbox; throws a permanent Failure("bad URL ...") for anything
// else.
struct ItemLocation {
  MailboxAddress mailbox;
  std::string folder_path;  // "Inbox", "Inbox/Sub"
  std::string item_name;

  std::string FolderUrl() const;
};
ItemLocation ParseItemUrl(const std::string& url);

// What the filter left on a saved item.
struct ItemState {
  std::string url;
  int32_t marker = 0;
  bool hidden = false;
};

struct FolderSummary {
  std::string path;  // relative to the mailbox root
  std::string url;
  int64_t items = 0;
};

struct ItemSummary {
  std::string url;
  std::string subject;
  std::string from;
  int32_t marker = 0;
  bool hidden = false;
};

// What `stats` shows: the engine's counts for the user and both whitelists.
struct UserStatistics {
  std::string database;  // the engine's key: <data>/<domain>/<user>.dat
  int32_t ham = 0;
  int32_t spam = 0;
  std::string user_list;
  std::vector<std::string> user_entries;
  std::string domain_list;
  std::vector<std::string> domain_entries;
};
// Asks a classifier engine created as the filter creates it. Throws Failure.
UserStatistics ReadUserStatistics(const std::string& data_directory, const MailboxAddress& mailbox);

// Creates the domain's directory in the data directory when missing, as the filter does with
// the domain's first mail (its event-log entry included, no log line): the engine keeps a
// user's model there, and the whitelists lie there, before any mail came. Throws Failure.
void PrepareDomainDirectory(const std::string& data_directory, const MailboxAddress& mailbox);

// Creates the mailbox's whitelist and its domain's, empty, where the filter reads them (the
// domain's directory too, by PrepareDomainDirectory), so that the filter does not report a
// missing list on every mail of a new user. A list that exists is never touched. Throws Failure.
void CreateMissingWhiteLists(FileSystem& files, const std::string& data_directory,
                             const MailboxAddress& mailbox);

// The user's own files of the filter in the data directory, whether there or not: the model
// (data/<domain>/<user>.dat), its creation marker and the user's whitelist. Never the domain's
// files or another user's: the names are built from a parsed address, which holds no "/".
std::vector<std::string> UserFilterFiles(const std::string& data_directory,
                                         const MailboxAddress& mailbox);

struct SaveFacts;
class VerdictRecorder;

class MailHost {
 public:
  // Opens the home's store (store.db is created when missing). The filter instance is created on
  // the first save, with `construct_string` as its constructor string.
  MailHost(const Home& home, std::string construct_string);
  // The same, sharing another host's filter instance (SharedFilter), which may serve several
  // hosts' saves at the same time.
  MailHost(const Home& home, std::shared_ptr<FilterInstance> filter);
  ~MailHost();

  // Creates the mailbox's folders, spelled as `mailbox` is; false when it existed already (its
  // missing standard folders are created then). Throws Failure for an address that differs
  // only in case from an existing mailbox: a mail server would take both for one.
  bool AddMailbox(const MailboxAddress& mailbox);
  std::vector<MailboxAddress> Mailboxes();
  // The mailbox an address names, spelled as it was added, whatever the case of the address's
  // letters (store::CaseFoldedName): the mailbox spelled as the address is, else the one
  // spelled as its case folding, else the one mailbox that equals it without regard to case.
  // nullopt only when surely none does. Throws Failure when the store cannot tell (it cannot
  // look into a mailbox, it is locked, it fails) and when two mailboxes differ from the
  // address only in case. A mailbox spelled as the address, or as its folding, costs a look or
  // two; any other spelling lists the store's mailboxes.
  std::optional<MailboxAddress> FindMailbox(const MailboxAddress& address);
  // The same, but throws UnknownMailbox when there surely is no such mailbox.
  [[nodiscard]] MailboxAddress RequireMailbox(const MailboxAddress& address);
  // The mailbox that a removal set aside with its mail (store::Store::SetMailboxAside) that
  // the address names, spelled as it was added: spelled as the address, else the one that
  // equals it without regard to case. nullopt when none was. Throws Failure when two differ
  // from the address only in case.
  std::optional<MailboxAddress> FindRemovedMailbox(const MailboxAddress& address);

  // Stores the message as a new item of the folder (a name or a path below the root) of the
  // mailbox the address names and runs the filter's delivery save before committing. The item
  // is named `item_name`, or a fresh name when it is empty; a name that is taken in the folder
  // is a temporary Failure (an earlier try of the same delivery, which a retry finds).
  // Failures of the caller's making (an unknown mailbox or folder, a bad folder name) are
  // permanent, any other temporary.
  ItemState Deliver(const MailboxAddress& mailbox, const std::string& folder,
                    const std::string& raw, bool internal, const std::string& item_name = "");
  // The state of the item named `item_name` in whichever folder of the mailbox (as FindMailbox
  // answers it) holds it.
  std::optional<ItemState> FindItemNamed(const MailboxAddress& mailbox,
                                         const std::string& item_name);
  // Moves the item into another folder of its mailbox and runs the filter's move save on
  // the new URL before committing.
  ItemState Move(const std::string& url, const std::string& folder);

  // Runs the filter's move save on an item that its user has moved already, outside the host
  // (an IMAP client, through the mail server): the save Move runs after its own move.
  ItemState MovedByUser(const std::string& url);
  // The URL of the item of the folder whose content is the message `raw`, line ends of either
  // kind (CRLF, LF) counting as the same; nullopt when no item is. Of several, one that the
  // filter has not yet seen in this folder (a SPAM marker outside the junk-mail folders, or
  // none inside) is preferred.
  std::optional<std::string> FindMessage(const std::string& folder_url, const std::string& raw);

  // The folders of the mailbox as FindMailbox answers it.
  std::vector<FolderSummary> Folders(const MailboxAddress& mailbox);
  // The items of a folder of the mailbox the address names.
  std::vector<ItemSummary> Items(const MailboxAddress& mailbox, const std::string& folder);
  // The item's known properties (name, value as text) and its header block.
  std::vector<std::pair<std::string, std::string>> Properties(const std::string& url);
  std::string HeaderBlock(const std::string& url);
  ItemState State(const std::string& url);

  // The folder's URL in the mailbox the address names; throws UnknownMailbox when there is
  // no such mailbox or folder. Names match exactly, or else case-insensitively, as a user
  // types them.
  std::string ResolveFolder(const MailboxAddress& mailbox, const std::string& folder);

  store::Store& store() { return *store_; }

  // Creates the filter instance now rather than at the first save, so that a server that runs
  // for long says at its start whether the filter can work. Throws Failure.
  void StartFilter() { Filter(); }
  // The filter instance, created when missing, for other hosts to share.
  std::shared_ptr<FilterInstance> SharedFilter();

 private:
  FilterInstance& Filter();
  // The host's connection for the next save, opened anew every few saves.
  store::Connection& FreshConnection();
  // A fresh item URL in the folder; the store refuses it in the rare case it is taken.
  std::string NextItemUrl(const std::string& folder_url);
  ItemState StateOf(store::Record& record);
  std::unique_ptr<store::Record> OpenForWriting(const std::string& url);
  // The move save on the record's item, now at `url`, inside the caller's transaction; what
  // the history needs of it goes into `facts`.
  ItemState RunMoveSave(store::Record& record, const std::string& url, SaveFacts* facts);
  // The item's texts for the history row of its save: From and Subject as the store derived
  // them, the Message-ID field of `raw` (the message delivered; for a move, empty: the item's
  // header block). Never throws.
  void DescribeItem(store::Record& record, std::string_view raw, SaveFacts* facts);

  std::string construct_string_;
  std::unique_ptr<store::Store> store_;
  std::unique_ptr<store::Connection> connection_;
  std::shared_ptr<FilterInstance> filter_;
  int saves_on_connection_ = 0;
  // One history connection for all of the host's saves, opened with the first.
  std::unique_ptr<VerdictRecorder> history_;
};

}  // namespace corvalith::host

#endif  // CORVALITH_MAILHOST_MAIL_HOST_H_
