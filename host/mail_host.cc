#include "mail_host.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <set>

#include "engine/classifier_engine.h"
#include "logging/control_characters.h"
#include "platform/text.h"
#include "provisioning/data_layout.h"
#include "sink/server.h"
#include "store/item_url.h"
#include "store/mailbox.h"
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
    throw Failure(what + " '" + EscapeControlCharacters(text) + "': it holds a control character",
                  E_INVALIDARG);
  }
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

// The part of a raw message before its first empty line.
std::string RawHeaderBlock(const std::string& raw) {
  size_t end = raw.find("\r\n\r\n");
  size_t lf_end = raw.find("\n\n");
  if (lf_end != std::string::npos && (end == std::string::npos || lf_end < end)) {
    return raw.substr(0, lf_end + 1);
  }
  return end == std::string::npos ? raw : raw.substr(0, end + 2);
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

// The entries of a whitelist as the filter reads them; a missing list has none.
std::vector<std::string> ReadListFile(const std::string& path) {
  std::vector<std::string> entries;
  std::unique_ptr<TextReader> reader;
  try {
    reader = ServerEnvironment().file_system().OpenTextForReading(path, kMaxWhiteListBytes);
  } catch (const Failure&) {
    return entries;
  }
  for (;;) {
    std::string line;
    try {
      line = TrimBlanks(reader->ReadLine());
    } catch (const Failure&) {
      return entries;  // end of the list
    }
    if (!line.empty()) entries.push_back(line);
  }
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
  stats.user_list = stats.database + kWhiteListSuffix;
  stats.domain_list =
      DomainWhiteListBase(DomainDirectory(data_directory, mailbox.domain)) + kWhiteListSuffix;
  stats.user_entries = ReadListFile(stats.user_list);
  stats.domain_entries = ReadListFile(stats.domain_list);
  return stats;
}

std::string MailboxAddress::RootUrl() const { return MailboxRootUrl(domain, user); }

MailboxAddress ParseMailboxAddress(const std::string& text) {
  RefuseControlCharacters("bad mailbox address", text);
  size_t at = text.rfind('@');
  if (at == std::string::npos || at == 0 || at + 1 == text.size()) {
    throw Failure("bad mailbox address '" + text + "' (expected USER@DOMAIN)", E_INVALIDARG);
  }
  MailboxAddress mailbox{text.substr(0, at), text.substr(at + 1)};
  try {
    CheckPathComponent("user", mailbox.user);
    CheckPathComponent("domain", mailbox.domain);
  } catch (const Failure& failure) {
    throw Failure("bad mailbox address '" + text + "': " + failure.description(), E_INVALIDARG);
  }
  return mailbox;
}

ItemLocation ParseItemUrl(const std::string& url) {
  RefuseControlCharacters("bad URL", url);
  auto bad = [&](const std::string& why) {
    return Failure("bad URL '" + url + "': " + why, E_INVALIDARG);
  };
  if (!url.starts_with(kStoreUrlPrefix)) {
    throw bad("it does not start with " + std::string(kStoreUrlPrefix));
  }
  std::vector<std::string> parts = SplitText(url.substr(sizeof(kStoreUrlPrefix) - 1), '/');
  // domain / MBX / user / folder... / item
  if (parts.size() < 5 || parts[1] != kMailboxLevel) {
    throw bad("expected " + std::string(kStoreUrlPrefix) + "DOMAIN/MBX/USER/FOLDER/ITEM");
  }
  for (const std::string& part : parts) {
    if (part.empty()) throw bad("empty path segment");
  }
  ItemLocation location;
  location.mailbox = ParseMailboxAddress(parts[2] + "@" + parts[0]);
  location.item_name = parts.back();
  for (size_t i = 3; i + 1 < parts.size(); ++i) {
    if (!location.folder_path.empty()) location.folder_path += "/";
    location.folder_path += parts[i];
  }
  return location;
}

MailHost::MailHost(const Home& home, std::string construct_string)
    : construct_string_(std::move(construct_string)),
      store_(std::make_unique<store::SqliteStore>(home.StorePath(),
                                                  ServerEnvironment().file_system())),
      connection_(store_->Connect()) {}

MailHost::~MailHost() {
  // The filter goes before the store it was told about.
  filter_.reset();
  connection_.reset();
}

FilterInstance& MailHost::Filter() {
  if (!filter_) filter_ = std::make_unique<FilterInstance>(construct_string_);
  return *filter_;
}

bool MailHost::AddMailbox(const MailboxAddress& mailbox) {
  bool existed = store_->Exists(mailbox.RootUrl());
  store::CreateMailbox(*connection_, mailbox.domain, mailbox.user);
  return !existed;
}

void MailHost::RequireMailbox(const MailboxAddress& mailbox) {
  if (!store_->Exists(mailbox.RootUrl())) {
    throw Failure("unknown mailbox " + mailbox.Text() + " (add it with `corvalith mailbox add " +
                      mailbox.Text() + "`)",
                  E_INVALIDARG);
  }
}

std::string MailHost::ResolveFolder(const MailboxAddress& mailbox, const std::string& folder) {
  RefuseControlCharacters("bad folder name", folder);
  RequireMailbox(mailbox);
  std::string path = TrimSlashes(folder);
  if (path.empty()) throw Failure("empty folder name", E_INVALIDARG);
  // Every delivery names its folder: the exact name answers from the URL index, while the
  // listing behind a case-insensitive match counts the items of every folder.
  std::string exact = mailbox.RootUrl() + "/" + path;
  if (store_->Exists(exact) && !store_->FindItem(exact)) return exact;
  std::vector<FolderSummary> folders = Folders(mailbox);
  for (const FolderSummary& f : folders) {
    if (f.path == path) return f.url;
  }
  for (const FolderSummary& f : folders) {
    if (LowerCase(f.path) == LowerCase(path)) return f.url;
  }
  throw Failure("unknown folder '" + folder + "' in mailbox " + mailbox.Text(), E_INVALIDARG);
}

std::string MailHost::UniqueItemUrl(const std::string& folder_url) {
  // Seconds, process and a counter: unique across concurrent hosts on one store, and
  // the existence test covers a reused process id within the same second.
  char name[64];
  for (;;) {
    std::snprintf(name, sizeof name, "%08lX-%05X-%06X.EML",
                  static_cast<unsigned long>(std::time(nullptr)) & 0xFFFFFFFFul,
                  static_cast<unsigned>(getpid()) & 0xFFFFFu, ++sequence_ & 0xFFFFFFu);
    std::string url = folder_url + "/" + name;
    if (!store_->Exists(url)) return url;
  }
}

ItemState MailHost::StateOf(store::Record& record) {
  ItemState state;
  state.url = record.Source();
  store::Fields& fields = record.GetFields();
  Variant marker = fields.Item(store::kMailMarkerProperty).Value();
  if (!marker.IsNull() && !marker.IsEmpty()) state.marker = marker.ToInt32();
  Variant hidden = fields.Item(kHiddenProperty).Value();
  state.hidden = hidden.type() == Variant::Type::kBool && hidden.DiffersFromEmpty();
  return state;
}

ItemState MailHost::Deliver(const MailboxAddress& mailbox, const std::string& folder,
                            const std::string& raw, bool internal) {
  std::string folder_url = ResolveFolder(mailbox, folder);
  FilterInstance& filter = Filter();
  std::string url = UniqueItemUrl(folder_url);
  Transaction transaction(*connection_);
  store::ImportMessage(*connection_, url, raw,
                       internal ? store::Origin::kInternal : store::Origin::kExternal);
  SaveEventInfo info(*connection_, url);
  filter.Save(info, url, kDeliveryFlags);
  // The filter may have moved the item: the record follows it.
  ItemState state = StateOf(info.EventRecord());
  transaction.Commit();
  return state;
}

ItemState MailHost::Move(const std::string& url, const std::string& folder) {
  ItemLocation location = ParseItemUrl(url);
  RequireMailbox(location.mailbox);
  if (!store_->Exists(url)) throw Failure("no item at " + url, E_INVALIDARG);
  std::string folder_url = ResolveFolder(location.mailbox, folder);
  std::string source_folder = url.substr(0, url.rfind('/'));
  if (folder_url == source_folder) {
    throw Failure("the item is already in " + folder_url, E_INVALIDARG);
  }
  std::string destination = folder_url + "/" + location.item_name;
  if (store_->Exists(destination)) {
    throw Failure("the folder already holds an item named " + location.item_name, E_INVALIDARG);
  }
  FilterInstance& filter = Filter();
  Transaction transaction(*connection_);
  std::unique_ptr<store::Record> record =
      connection_->OpenRecord(url, store::adModeReadWrite, store::adFailIfNotExists,
                              store::adOpenRecordUnspecified, "", "");
  std::string moved = record->MoveRecord(url, destination, "", "", store::adMoveUnspecified, false);
  SaveEventInfo info(*connection_, *record);
  filter.Save(info, moved, kUserMoveFlags);
  ItemState state = StateOf(*record);
  transaction.Commit();
  return state;
}

ItemState MailHost::State(const std::string& url) {
  ParseItemUrl(url);
  if (!store_->Exists(url)) throw Failure("no item at " + url, E_INVALIDARG);
  std::unique_ptr<store::Record> record = connection_->OpenRecord(
      url, store::adModeRead, store::adFailIfNotExists, store::adOpenRecordUnspecified, "", "");
  return StateOf(*record);
}

std::vector<std::pair<std::string, std::string>> MailHost::Properties(const std::string& url) {
  ParseItemUrl(url);
  if (!store_->Exists(url)) throw Failure("no item at " + url, E_INVALIDARG);
  std::vector<std::pair<std::string, std::string>> shown;
  shown.emplace_back("DAV:parentname", url.substr(0, url.rfind('/')));
  const std::string kTextProperties[] = {
      store::kSubjectProperty, store::kFromProperty,       store::kMailMarkerProperty,
      kHiddenProperty,         store::PropTag("0C1E001E"),
  };
  for (const std::string& name : kTextProperties) {
    std::optional<Variant> value = store_->Property(url, name);
    if (value) shown.emplace_back(name, DisplayValue(*value));
  }
  // Bodies are long: their sizes say enough next to the header.
  for (const std::string& name :
       {store::PropTag("007D001E"), store::PropTag("1000001E"), store::PropTag("1013001E")}) {
    std::optional<Variant> value = store_->Property(url, name);
    if (value && !value->IsNull()) {
      shown.emplace_back(name, "(" + std::to_string(value->ToString().size()) + " bytes)");
    }
  }
  shown.emplace_back("content", "(" + std::to_string(store_->Content(url).size()) + " bytes)");
  return shown;
}

std::string MailHost::HeaderBlock(const std::string& url) {
  return RawHeaderBlock(store_->Content(url));
}

}  // namespace corvalith::host

namespace corvalith::host {

std::vector<MailboxAddress> MailHost::Mailboxes() {
  std::vector<MailboxAddress> mailboxes;
  for (const std::string& root : store_->Mailboxes()) {
    // Roots are "<prefix><domain>/MBX/<user>"; anything else is not ours to list.
    if (!root.starts_with(kStoreUrlPrefix)) continue;
    std::vector<std::string> parts = SplitText(root.substr(sizeof(kStoreUrlPrefix) - 1), '/');
    if (parts.size() != 3 || parts[1] != kMailboxLevel) continue;
    mailboxes.push_back(MailboxAddress{parts[2], parts[0]});
  }
  return mailboxes;
}

std::vector<FolderSummary> MailHost::Folders(const MailboxAddress& mailbox) {
  std::string root = mailbox.RootUrl();
  std::vector<FolderSummary> folders;
  for (const store::SqliteStore::FolderInfo& info : store_->Folders(root)) {
    if (info.url.size() <= root.size() + 1) continue;  // the root itself
    folders.push_back(FolderSummary{info.url.substr(root.size() + 1), info.url, info.items});
  }
  return folders;
}

std::vector<ItemSummary> MailHost::Items(const MailboxAddress& mailbox, const std::string& folder) {
  std::string folder_url = ResolveFolder(mailbox, folder);
  std::set<std::string> folder_urls;
  for (const FolderSummary& f : Folders(mailbox)) folder_urls.insert(f.url);
  auto text = [&](const std::string& url, const std::string& name) {
    std::optional<Variant> value = store_->Property(url, name);
    return value && !value->IsNull() ? value->ToString() : std::string();
  };
  std::vector<ItemSummary> items;
  for (const std::string& url : store_->Children(folder_url)) {
    if (folder_urls.count(url)) continue;
    ItemSummary item;
    item.url = url;
    item.subject = text(url, store::kSubjectProperty);
    item.from = text(url, store::kFromProperty);
    std::optional<Variant> marker = store_->Property(url, store::kMailMarkerProperty);
    if (marker && !marker->IsNull() && !marker->IsEmpty()) item.marker = marker->ToInt32();
    std::optional<Variant> hidden = store_->Property(url, kHiddenProperty);
    item.hidden = hidden && hidden->type() == Variant::Type::kBool && hidden->DiffersFromEmpty();
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace corvalith::host
