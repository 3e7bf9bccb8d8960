#include "mailhost/mail_host.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <set>

#include "engine/classifier_engine.h"
#include "logging/control_characters.h"
#include "logging/logger.h"
#include "mailbox_ops/filter_operations.h"
#include "mailbox_ops/item_url.h"
#include "mailhost/verdict_recorder.h"
#include "platform/mail_header.h"
#include "platform/text.h"
#include "platform/unicode.h"
#include "provisioning/data_layout.h"
#include "provisioning/user_init.h"
#include "sink/server.h"
#include "store/mailbox_url.h"
#include "store/message_import.h"
#include "store/store_errors.h"
#include "whitelist/whitelist.h"

namespace corvalith::host {

namespace {

std::string TrimSlashes(const std::string& text) {
  size_t begin = text.find_first_not_of('/');
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of('/');
  return text.substr(begin, end - begin + 1);
}

// Names and URLs from the command line become store URLs, paths in the data directory and
// lines of the log and of this command's output: a control character in one would split or
// forge a line, so it is refused before anything is looked up.
void RefuseControlCharacters(const std::string& what, const std::string& text) {
  if (HasControlCharacter(text)) {
    throw Failure::Permanent(
        what + " '" + EscapeControlCharacters(text) + "': it holds a control character",
        E_INVALIDARG);
  }
}

// The item URL names nothing: the caller's mistake, or a user's move or expunge since.
Failure NoItemAt(const std::string& url) {
  return Failure::Permanent("no item at " + url, E_INVALIDARG);
}

// A property as text for display: absent properties are left out by the caller.
std::string DisplayValue(const Variant& value) {
  switch (value.type()) {
    case Variant::Type::kEmpty:
      return "(empty)";
    case Variant::Type::kNull:
      return "(null)";
    case Variant::Type::kBool:
      return value.DiffersFromEmpty() ? "true" : "false";
    default:
      return value.ToString();
  }
}

class Transaction {
 public:
  explicit Transaction(store::Connection& connection) : connection_(connection) {
    connection_.BeginTrans();
  }
  ~Transaction() {
    if (open_) {
      try {
        connection_.RollbackTrans();
      } catch (const Failure&) {
        // The store undoes an unfinished transaction itself when the rollback cannot.
      }
    }
  }
  void Commit() {
    connection_.CommitTrans();
    open_ = false;
  }

 private:
  store::Connection& connection_;
  bool open_ = true;
};

// The entries of a whitelist as the filter reads them, without the blank ones; a list the
// filter cannot read has none.
std::vector<std::string> ListedEntries(const std::string& path) {
  std::vector<std::string> entries;
  try {
    entries = ReadWhiteList(ServerEnvironment().file_system(), path);
  } catch (const Failure&) {
    return {};  // what it shows is what the filter trusts: nobody on a list it cannot read
  }
  std::erase(entries, std::string());
  return entries;
}

// A mail server may keep a message with other line ends than it hands over: the message with
// every CRLF as LF is what both sides agree on.
std::string WithLfLineEnds(std::string_view raw) {
  std::string text;
  text.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
    text += raw[i];
  }
  return text;
}

// The Message-ID field's value with its folding and outer blanks removed; "" without one.
std::string MessageIdOf(std::string_view raw) {
  // Longer than any Message-ID a mail program writes; a stranger's may be longer still.
  constexpr size_t kMaxMessageIdBytes = 4096;
  MailHeaderReader fields(store::HeaderBlock(raw));
  while (std::optional<MailHeaderField> field = fields.Next()) {
    if (!EqualsIgnoringCase(field->name, "message-id")) continue;
    std::string value = field->Unfolded(kMaxMessageIdBytes);
    std::erase_if(value, [](char c) { return c == ' ' || c == '\t'; });
    return value;
  }
  return "";
}

// A text property of an item; "" when it has none.
std::string TextProperty(store::Fields& fields, const char* name) {
  Variant value = fields.Item(name).Value();
  return value.IsNull() ? std::string() : value.ToString();
}

// The address as all its spellings in other case share it; nullopt when it is not UTF-8.
std::optional<MailboxAddress> CaseFolded(const MailboxAddress& address) {
  std::optional<std::string> user = store::CaseFoldedName(address.user);
  std::optional<std::string> domain = store::CaseFoldedName(address.domain);
  if (!user || !domain) return std::nullopt;
  return MailboxAddress{*user, *domain};
}

// Where a correctly filed message wears the SPAM marker.
bool IsJunkFolder(const std::string& folder_url) {
  const std::string_view name = std::string_view(folder_url).substr(folder_url.rfind('/') + 1);
  return EqualsIgnoringCase(name, store::kJunkMailFolder) ||
         EqualsIgnoringCase(name, kSpamFolderName);
}

// The mailbox's whitelist and its domain's, as the filter names them.
struct WhiteListPaths {
  std::string user;
  std::string domain;
};
WhiteListPaths WhiteListsOf(const std::string& data_directory, const MailboxAddress& mailbox) {
  return {UserWhiteListPath(UserDataPath(data_directory, mailbox.domain, mailbox.user)),
          DomainWhiteListPath(DomainDirectory(data_directory, mailbox.domain))};
}

// The mailboxes whose root URLs the store answered.
std::vector<MailboxAddress> AddressesOf(const std::vector<std::string>& roots) {
  std::vector<MailboxAddress> mailboxes;
  for (const std::string& root : roots) {
    std::optional<store::MailboxUrl> parts = store::ParseMailboxUrl(root);
    mailboxes.push_back(MailboxAddress{parts->user, parts->domain});
  }
  return mailboxes;
}

}  // namespace

UserStatistics ReadUserStatistics(const std::string& data_directory,
                                  const MailboxAddress& mailbox) {
  UserStatistics stats;
  stats.database = UserDataPath(data_directory, mailbox.domain, mailbox.user);
  ComPtr<IClassifierEngine> engine;
  ThrowIfFailed(ServerEnvironment().objects().CreateInstance(
      CLSID_ClassifierEngine, IID_IClassifierEngine, engine.put_void()));
  ThrowIfFailed(engine->GetStatistics(stats.database, &stats.ham, &stats.spam));
  const WhiteListPaths lists = WhiteListsOf(data_directory, mailbox);
  stats.user_list = lists.user;
  stats.domain_list = lists.domain;
  stats.user_entries = ListedEntries(stats.user_list);
  stats.domain_entries = ListedEntries(stats.domain_list);
  return stats;
}

namespace {

// Preparing a domain writes no line of the filter's log: there is no mail to log it for.
class NoLog final : public Logger {
 public:
  void Log(const std::string&) override {}
  void Log_Err(const std::string&, int32_t, const std::string&) override {}
  int32_t debug_level() const override { return 0; }
};

}  // namespace

void PrepareDomainDirectory(const std::string& data_directory, const MailboxAddress& mailbox) {
  Environment& environment = ServerEnvironment();
  NoLog log;
  std::string summary;
  const UserPaths paths{DomainDirectory(data_directory, mailbox.domain),
                        UserDataPath(data_directory, mailbox.domain, mailbox.user)};
  PrepareDomainAndUser(environment.file_system(), environment.event_log(), log, mailbox.domain,
                       paths, /*provider_mode=*/0, /*new_mail_event=*/false, &summary);
}

void CreateMissingWhiteLists(FileSystem& files, const std::string& data_directory,
                             const MailboxAddress& mailbox) {
  PrepareDomainDirectory(data_directory, mailbox);
  const WhiteListPaths lists = WhiteListsOf(data_directory, mailbox);
  // WriteNewFile leaves whatever exists at the path as it was: an administrator's list stays.
  files.WriteNewFile(lists.domain, "");
  files.WriteNewFile(lists.user, "");
}

std::vector<std::string> UserFilterFiles(const std::string& data_directory,
                                         const MailboxAddress& mailbox) {
  const std::string model = UserDataPath(data_directory, mailbox.domain, mailbox.user);
  return {model, CreationMarkerPath(model), UserWhiteListPath(model)};
}

std::string MailboxAddress::RootUrl() const { return store::MailboxRootUrl(domain, user); }

MailboxAddress ParseMailboxAddress(const std::string& text) {
  RefuseControlCharacters("bad mailbox address", text);
  // Not repeated: bytes that are no text would end up in a JSON answer.
  if (!IsValidUtf8(text)) {
    throw Failure::Permanent("bad mailbox address: it is not UTF-8", E_INVALIDARG);
  }
  size_t at = text.rfind('@');
  if (at == std::string::npos || at == 0 || at + 1 == text.size()) {
    throw Failure::Permanent("bad mailbox address '" + text + "' (expected USER@DOMAIN)",
                             E_INVALIDARG);
  }
  MailboxAddress mailbox{text.substr(0, at), text.substr(at + 1)};
  try {
    CheckPathComponent("user", mailbox.user);
    CheckPathComponent("domain", mailbox.domain);
  } catch (const Failure& failure) {
    throw Failure::Permanent("bad mailbox address '" + text + "': " + failure.description(),
                             E_INVALIDARG);
  }
  return mailbox;
}

std::string ItemLocation::FolderUrl() const { return mailbox.RootUrl() + "/" + folder_path; }

ItemLocation ParseItemUrl(const std::string& url) {
  RefuseControlCharacters("bad URL", url);
  auto bad = [&](const std::string& why) {
    return Failure::Permanent("bad URL '" + url + "': " + why, E_INVALIDARG);
  };
  const std::string prefix = store::kStoreUrlPrefix;
  if (!url.starts_with(prefix)) throw bad("it does not start with " + prefix);
  std::optional<store::MailboxUrl> parts = store::ParseMailboxUrl(url);
  // folder... / item below the mailbox root
  if (!parts || parts->below.size() < 2) {
    throw bad("expected " + prefix + "DOMAIN/" + store::kMailboxLevel + "/USER/FOLDER/ITEM");
  }
  ItemLocation location;
  location.mailbox = ParseMailboxAddress(parts->user + "@" + parts->domain);
  location.item_name = parts->below.back();
  for (size_t i = 0; i < parts->below.size(); ++i) {
    if (parts->below[i].empty()) throw bad("empty path segment");
    if (i + 1 == parts->below.size()) break;
    if (!location.folder_path.empty()) location.folder_path += "/";
    location.folder_path += parts->below[i];
  }
  return location;
}

MailHost::MailHost(const Home& home, std::string construct_string)
    : construct_string_(std::move(construct_string)),
      store_(OpenHomeStore(ServerEnvironment().file_system(), home)),
      connection_(store_->Connect()),
      history_(std::make_unique<VerdictRecorder>(home.HistoryPath())) {}

MailHost::MailHost(const Home& home, std::shared_ptr<FilterInstance> filter)
    : store_(OpenHomeStore(ServerEnvironment().file_system(), home)),
      connection_(store_->Connect()),
      filter_(std::move(filter)),
      history_(std::make_unique<VerdictRecorder>(home.HistoryPath())) {}

MailHost::~MailHost() {
  // The filter goes before the store it was told about (when this host holds it last).
  filter_.reset();
  connection_.reset();
}

store::Connection& MailHost::FreshConnection() {
  // A store connection remembers the items it has seen (the Maildir store with their content);
  // a host that lives for thousands of saves (corvalith lmtp) would carry all of them into
  // every transaction. Opening one is not free either (SQLite prepares its statements again),
  // so a connection serves a few saves.
  constexpr int kSavesPerConnection = 16;
  if (++saves_on_connection_ > kSavesPerConnection) {
    connection_ = store_->Connect();
    saves_on_connection_ = 1;
  }
  return *connection_;
}

FilterInstance& MailHost::Filter() {
  if (!filter_) filter_ = std::make_shared<FilterInstance>(construct_string_);
  return *filter_;
}

std::shared_ptr<FilterInstance> MailHost::SharedFilter() {
  Filter();
  return filter_;
}

bool MailHost::AddMailbox(const MailboxAddress& mailbox) {
  std::optional<MailboxAddress> existing = FindMailbox(mailbox);
  if (existing && *existing != mailbox) {
    throw Failure::Permanent("the mailbox " + existing->Text() + " exists already; " +
                                 mailbox.Text() +
                                 " differs from it only in case, and mail to either would go to it",
                             E_INVALIDARG);
  }
  store::CreateMailbox(*connection_, mailbox.domain, mailbox.user);
  return !existing;
}

std::optional<MailboxAddress> MailHost::FindMailbox(const MailboxAddress& address) {
  // Nearly every address is written as its mailbox was added, and mailboxes are mostly added in
  // lower case: one look, or two, and no listing. The store throws where it cannot tell.
  if (store_->Exists(address.RootUrl())) return address;
  std::optional<MailboxAddress> folded = CaseFolded(address);
  if (!folded) return std::nullopt;
  if (*folded != address && store_->Exists(folded->RootUrl())) return folded;
  std::optional<MailboxAddress> found;
  for (const MailboxAddress& mailbox : Mailboxes()) {
    if (CaseFolded(mailbox) != folded) continue;
    if (found) {
      // Temporary: the mail waits while the administrator removes one.
      throw Failure("the mailboxes " + found->Text() + " and " + mailbox.Text() +
                        " differ only in case: mail to " + address.Text() +
                        " could be for either (remove one)",
                    E_FAIL);
    }
    found = mailbox;
  }
  return found;
}

MailboxAddress MailHost::RequireMailbox(const MailboxAddress& address) {
  std::optional<MailboxAddress> mailbox = FindMailbox(address);
  if (!mailbox) {
    throw UnknownMailbox("unknown mailbox " + address.Text() +
                         " (add it with `corvalith mailbox add " + address.Text() + "`)");
  }
  return *mailbox;
}

std::string MailHost::ResolveFolder(const MailboxAddress& address, const std::string& folder) {
  RefuseControlCharacters("bad folder name", folder);
  const MailboxAddress mailbox = RequireMailbox(address);
  std::string path = TrimSlashes(folder);
  if (path.empty()) throw Failure::Permanent("empty folder name", E_INVALIDARG);
  // Every delivery names its folder: the exact name answers from the URL index, while the
  // listing behind a case-insensitive match counts the items of every folder.
  std::string exact = mailbox.RootUrl() + "/" + path;
  if (store_->Exists(exact) && !store_->FindItem(exact)) return exact;
  std::vector<FolderSummary> folders = Folders(mailbox);
  for (const FolderSummary& f : folders) {
    if (f.path == path) return f.url;
  }
  for (const FolderSummary& f : folders) {
    if (EqualsIgnoringCase(f.path, path)) return f.url;
  }
  throw UnknownMailbox("unknown folder '" + folder + "' in mailbox " + mailbox.Text());
}

std::string MailHost::NextItemUrl(const std::string& folder_url) {
  // Seconds, process and a counter: unique across concurrent hosts on one store. A process id
  // reused within the same second is caught by the store, which refuses a taken name. The
  // counter is the process's, as hosts in one process deliver at the same time.
  static std::atomic<uint32_t> sequence{0};
  char name[64];
  std::snprintf(name, sizeof name, "%08lX-%05X-%06X.EML",
                static_cast<unsigned long>(std::time(nullptr)) & 0xFFFFFFFFul,
                static_cast<unsigned>(getpid()) & 0xFFFFFu, (sequence.fetch_add(1) + 1) & 0xFFFFFFu);
  return folder_url + "/" + name;
}

ItemState MailHost::StateOf(store::Record& record) {
  ItemState state;
  state.url = record.Source();
  store::Fields& fields = record.GetFields();
  try {
    state.marker = DecodeMailMarker(fields.Item(store::kMailMarkerProperty));
  } catch (const Failure&) {
    // A marker the filter cannot read counts as none, to the filter as here.
  }
  Variant hidden = fields.Item(store::kHiddenProperty).Value();
  state.hidden = hidden.type() == Variant::Type::kBool && hidden.DiffersFromEmpty();
  return state;
}

ItemState MailHost::Deliver(const MailboxAddress& mailbox, const std::string& folder,
                            const std::string& raw, bool internal, const std::string& item_name) {
  std::string folder_url = ResolveFolder(mailbox, folder);
  FilterInstance& filter = Filter();
  const store::Origin origin = internal ? store::Origin::kInternal : store::Origin::kExternal;
  Transaction transaction(FreshConnection());
  std::string url;
  for (int tries = 0;; ++tries) {
    url = item_name.empty() ? NextItemUrl(folder_url) : folder_url + "/" + item_name;
    try {
      store::ImportMessage(*connection_, url, raw, origin, store::Existing::kRefuse);
      break;
    } catch (const Failure& failure) {
      if (!store::IsStoreError(failure, store::StoreError::kAlreadyExists)) throw;
      if (!item_name.empty()) {
        // Temporary: an earlier try of the same delivery stored it meanwhile, and the next try
        // finds it.
        throw Failure("the folder already holds an item named " + item_name, E_INVALIDARG);
      }
      if (tries == 100) throw;
    }
  }
  SaveEventInfo info(*connection_, url);
  SaveFacts facts;
  {
    SaveOutcomeReceiver receiver(&facts.outcome);
    filter.Save(info, url, kDeliveryFlags);
  }
  // The filter may have moved the item: the record follows it.
  ItemState state = StateOf(info.EventRecord());
  if (history_->enabled()) {
    facts.state = state;
    DescribeItem(info.EventRecord(), raw, &facts);
  }
  transaction.Commit();
  history_->Record(facts);
  return state;
}

std::optional<ItemState> MailHost::FindItemNamed(const MailboxAddress& mailbox,
                                                 const std::string& item_name) {
  std::optional<std::string> url = store_->FindItemInMailbox(mailbox.RootUrl(), item_name);
  if (!url) return std::nullopt;
  return State(*url);
}

ItemState MailHost::Move(const std::string& url, const std::string& folder) {
  ItemLocation location = ParseItemUrl(url);
  const MailboxAddress mailbox = RequireMailbox(location.mailbox);
  if (!store_->Exists(url)) throw NoItemAt(url);
  std::string folder_url = ResolveFolder(mailbox, folder);
  if (folder_url == location.FolderUrl()) {
    throw Failure::Permanent("the item is already in " + folder_url, E_INVALIDARG);
  }
  std::string destination = folder_url + "/" + location.item_name;
  if (store_->Exists(destination)) {
    throw Failure::Permanent("the folder already holds an item named " + location.item_name,
                             E_INVALIDARG);
  }
  Filter();  // started before the transaction opens, as for a delivery
  Transaction transaction(FreshConnection());
  std::unique_ptr<store::Record> record = OpenForWriting(url);
  std::string moved = record->MoveRecord(url, destination, "", "", store::adMoveUnspecified, false);
  SaveFacts facts;
  ItemState state = RunMoveSave(*record, moved, &facts);
  transaction.Commit();
  history_->Record(facts);
  return state;
}

ItemState MailHost::MovedByUser(const std::string& url) {
  (void)RequireMailbox(ParseItemUrl(url).mailbox);
  if (!store_->FindItem(url)) throw NoItemAt(url);
  Filter();  // started before the transaction opens, as for a delivery
  Transaction transaction(FreshConnection());
  std::unique_ptr<store::Record> record = OpenForWriting(url);
  SaveFacts facts;
  ItemState state = RunMoveSave(*record, url, &facts);
  transaction.Commit();
  history_->Record(facts);
  return state;
}

std::unique_ptr<store::Record> MailHost::OpenForWriting(const std::string& url) {
  return connection_->OpenRecord(url, store::adModeReadWrite, store::adFailIfNotExists,
                                 store::adOpenRecordUnspecified, "", "");
}

ItemState MailHost::RunMoveSave(store::Record& record, const std::string& url, SaveFacts* facts) {
  facts->delivery = false;
  if (history_->enabled()) {
    try {
      facts->earlier_marker = StateOf(record).marker;
    } catch (const Failure&) {
      // The history says "none"; the save is what counts.
    }
  }
  SaveEventInfo info(*connection_, record);
  {
    SaveOutcomeReceiver receiver(&facts->outcome);
    Filter().Save(info, url, kUserMoveFlags);
  }
  ItemState state = StateOf(record);
  if (history_->enabled()) {
    facts->state = state;
    DescribeItem(record, {}, facts);
  }
  return state;
}

void MailHost::DescribeItem(store::Record& record, std::string_view raw, SaveFacts* facts) {
  try {
    store::Fields& fields = record.GetFields();
    facts->sender = TextProperty(fields, store::kFromProperty);
    facts->subject = TextProperty(fields, store::kSubjectProperty);
    // A moved item's own header block (external mail has one) holds its Message-ID.
    const std::string header =
        raw.empty() ? TextProperty(fields, store::kHeaderBlockProperty) : std::string();
    facts->message_id = MessageIdOf(raw.empty() ? std::string_view(header) : raw);
  } catch (const Failure&) {
    // What cannot be read stays empty in the history: it never fails the save.
  }
}

std::optional<std::string> MailHost::FindMessage(const std::string& folder_url,
                                                 const std::string& raw) {
  const std::string wanted = WithLfLineEnds(raw);
  const auto lines = static_cast<int64_t>(std::count(wanted.begin(), wanted.end(), '\n'));
  const std::string id = MessageIdOf(wanted);
  std::vector<std::string> matches;
  const auto size = static_cast<int64_t>(wanted.size());
  for (const store::Store::ItemInfo& item : store_->Items(folder_url)) {
    // An item holding the message has its bytes, with some of its line ends as CRLF: the sizes
    // rule out most items before any content is read.
    if (item.size < size || item.size > size + lines) continue;
    std::string content = store_->Content(item.url);
    if (MessageIdOf(content) == id && WithLfLineEnds(content) == wanted) {
      matches.push_back(item.url);
    }
  }
  const bool junk = IsJunkFolder(folder_url);
  for (const std::string& url : matches) {
    if ((State(url).marker == kMarkerSpam) != junk) return url;
  }
  if (matches.empty()) return std::nullopt;
  return matches.front();
}

ItemState MailHost::State(const std::string& url) {
  ParseItemUrl(url);
  if (!store_->Exists(url)) throw NoItemAt(url);
  std::unique_ptr<store::Record> record = connection_->OpenRecord(
      url, store::adModeRead, store::adFailIfNotExists, store::adOpenRecordUnspecified, "", "");
  return StateOf(*record);
}

std::vector<std::pair<std::string, std::string>> MailHost::Properties(const std::string& url) {
  ItemLocation location = ParseItemUrl(url);
  if (!store_->Exists(url)) throw NoItemAt(url);
  std::vector<std::pair<std::string, std::string>> shown;
  shown.emplace_back(store::kDavParentName, location.FolderUrl());
  const std::string kTextProperties[] = {
      store::kSubjectProperty, store::kFromProperty,        store::kMailMarkerProperty,
      store::kHiddenProperty,  store::kAddressTypeProperty,
  };
  for (const std::string& name : kTextProperties) {
    std::optional<Variant> value = store_->Property(url, name);
    if (value) shown.emplace_back(name, DisplayValue(*value));
  }
  // Bodies are long: their sizes say enough next to the header.
  for (const char* name :
       {store::kHeaderBlockProperty, store::kPlainBodyProperty, store::kHtmlBodyProperty}) {
    std::optional<Variant> value = store_->Property(url, name);
    if (value && !value->IsNull()) {
      shown.emplace_back(name, "(" + std::to_string(value->ToString().size()) + " bytes)");
    }
  }
  shown.emplace_back("content", "(" + std::to_string(store_->Content(url).size()) + " bytes)");
  return shown;
}

std::string MailHost::HeaderBlock(const std::string& url) {
  return std::string(store::HeaderBlock(store_->Content(url)));
}

}  // namespace corvalith::host

namespace corvalith::host {

std::vector<MailboxAddress> MailHost::Mailboxes() { return AddressesOf(store_->Mailboxes()); }

std::optional<MailboxAddress> MailHost::FindRemovedMailbox(const MailboxAddress& address) {
  const std::vector<MailboxAddress> removed = AddressesOf(store_->MailboxesSetAside());
  if (std::ranges::find(removed, address) != removed.end()) return address;
  const std::optional<MailboxAddress> folded = CaseFolded(address);
  std::optional<MailboxAddress> found;
  for (const MailboxAddress& mailbox : removed) {
    if (!folded || CaseFolded(mailbox) != folded) continue;
    if (found) {
      throw Failure::Permanent("the removed mailboxes " + found->Text() + " and " + mailbox.Text() +
                                   " differ only in case: name one as it is",
                               E_INVALIDARG);
    }
    found = mailbox;
  }
  return found;
}

std::vector<FolderSummary> MailHost::Folders(const MailboxAddress& mailbox) {
  std::string root = mailbox.RootUrl();
  std::vector<FolderSummary> folders;
  for (const store::Store::FolderInfo& info : store_->Folders(root)) {
    if (info.url.size() <= root.size() + 1) continue;  // the root itself
    folders.push_back(FolderSummary{info.url.substr(root.size() + 1), info.url, info.items});
  }
  return folders;
}

std::vector<ItemSummary> MailHost::Items(const MailboxAddress& address, const std::string& folder) {
  const MailboxAddress mailbox = RequireMailbox(address);
  std::string folder_url = ResolveFolder(mailbox, folder);
  std::set<std::string> folder_urls;
  for (const FolderSummary& f : Folders(mailbox)) folder_urls.insert(f.url);
  std::vector<ItemSummary> items;
  for (const std::string& url : store_->Children(folder_url)) {
    if (folder_urls.count(url)) continue;
    std::unique_ptr<store::Record> record = connection_->OpenRecord(
        url, store::adModeRead, store::adFailIfNotExists, store::adOpenRecordUnspecified, "", "");
    store::Fields& fields = record->GetFields();
    ItemState state = StateOf(*record);
    items.push_back(ItemSummary{url, TextProperty(fields, store::kSubjectProperty),
                                TextProperty(fields, store::kFromProperty), state.marker,
                                state.hidden});
  }
  return items;
}

}  // namespace corvalith::host
