#include "store/maildir/maildir_store.h"

#include <algorithm>
#include <set>

#include "store/mailbox_url.h"
#include "store/maildir/maildir_control.h"
#include "store/maildir/maildir_files.h"
#include "store/maildir/maildir_index.h"
#include "store/maildir/maildir_layout.h"
#include "store/maildir/maildir_properties.h"
#include "store/maildir/maildir_session.h"
#include "store/store_errors.h"
#include "store/store_session.h"

namespace corvalith::store {

using maildir::Layout;
using maildir::NewMaildirSession;
using maildir::Place;

MaildirStore::MaildirStore(std::string root, FileSystem& files, MaildirOptions options)
    : root_(std::move(root)), files_(files), options_(options) {}

std::unique_ptr<Connection> MaildirStore::Connect() {
  return NewSessionConnection(NewMaildirSession(Layout(root_), files_, options_));
}

void MaildirStore::CreateFolder(const std::string& url) {
  std::unique_ptr<Session> session = NewMaildirSession(Layout(root_), files_, options_);
  std::vector<std::string> missing =
      MissingFolders(url, [&](const std::string& folder) -> std::optional<NodeKind> {
        std::optional<Node> node = session->Find(folder);
        if (!node) return std::nullopt;
        return node->kind;
      });
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) session->CreateFolder(*it);
}

void MaildirStore::PutItem(const std::string& url, const std::map<std::string, Variant>& properties,
                           const std::string& content) {
  const std::string item = CanonicalUrl(url);
  if (!Exists(item)) CreateFolder(ParentUrl(item));
  std::unique_ptr<Session> session = NewMaildirSession(Layout(root_), files_, options_);
  // One transaction, so that the item appears once, whole.
  session->Begin();
  try {
    std::optional<Node> node = session->Find(item);
    if (!node) node = session->CreateItem(item, /*overwrite=*/false);
    if (!content.empty() && node->kind == NodeKind::kItem) session->WriteContent(node->id, content);
    session->WriteProperties(node->id, PropertyValues(properties.begin(), properties.end()));
    session->Commit();
  } catch (...) {
    session->Rollback();
    throw;
  }
}

bool MaildirStore::Exists(const std::string& url) const {
  return NewMaildirSession(Layout(root_), files_, options_)->Find(CanonicalUrl(url)).has_value();
}

std::optional<Variant> MaildirStore::Property(const std::string& url,
                                              const std::string& name) const {
  std::unique_ptr<Session> session = NewMaildirSession(Layout(root_), files_, options_);
  std::optional<Node> node = session->Find(CanonicalUrl(url));
  if (!node) return std::nullopt;
  return session->ReadProperty(node->id, name);
}

std::string MaildirStore::Content(const std::string& url) const {
  std::unique_ptr<Session> session = NewMaildirSession(Layout(root_), files_, options_);
  std::optional<Node> node = session->Find(CanonicalUrl(url));
  return node ? session->ReadContent(node->id) : std::string();
}

std::vector<std::string> MaildirStore::Children(const std::string& folder_url) const {
  const Layout layout(root_);
  std::optional<Place> folder = maildir::PlaceOfUrl(CanonicalUrl(folder_url));
  std::vector<std::string> children;
  if (!folder || !layout.FolderExists(*folder)) return children;
  for (const Place& child : layout.ChildFolders(*folder)) children.push_back(child.Url());
  for (const auto& [item, file] : ItemFiles(layout, *folder)) {
    Place place = *folder;
    place.item = item;
    children.push_back(place.Url());
  }
  std::sort(children.begin(), children.end());
  return children;
}

std::map<std::string, maildir::MessageFile> MaildirStore::ItemFiles(const Layout& layout,
                                                                    const Place& folder) const {
  std::map<std::string, maildir::MessageFile> items;
  // The mailbox root holds no messages: the files of its Maildir are Inbox's.
  if (folder.folder.empty()) return items;
  const std::string directory = *layout.FolderDirectoryOf(folder);
  // Under the lock: a listing must not miss a message that Dovecot renames meanwhile.
  maildir::UidListLock lock(directory, options_.lock_timeout);
  maildir::ForEachMessage(directory, [&](const maildir::MessageFile& file) {
    items.emplace(std::string(maildir::ParseMessageFileName(file.name)->item), file);
  });
  return items;
}

std::vector<Store::FolderInfo> MaildirStore::Folders(const std::string& mailbox_root) const {
  const Layout layout(root_);
  std::optional<Place> root = maildir::PlaceOfUrl(CanonicalUrl(mailbox_root));
  std::vector<FolderInfo> folders;
  if (!root || !root->folder.empty() || !layout.FolderExists(*root)) return folders;
  std::vector<Place> pending{*root};
  while (!pending.empty()) {
    Place folder = std::move(pending.back());
    pending.pop_back();
    folders.push_back(
        FolderInfo{folder.Url(), static_cast<int64_t>(ItemFiles(layout, folder).size())});
    for (Place& child : layout.ChildFolders(folder)) pending.push_back(std::move(child));
  }
  std::sort(folders.begin(), folders.end(),
            [](const FolderInfo& a, const FolderInfo& b) { return a.url < b.url; });
  return folders;
}

std::vector<std::string> MaildirStore::Mailboxes() const {
  const Layout layout(root_);
  std::vector<std::string> roots;
  for (const maildir::DirectoryEntry& domain :
       maildir::ListDirectory(root_, maildir::kMaxDirectoryEntries)) {
    if (domain.kind != maildir::DirectoryEntry::Kind::kDirectory) continue;
    for (const maildir::DirectoryEntry& user :
         maildir::ListDirectory(root_ + "/" + domain.name, maildir::kMaxDirectoryEntries)) {
      // Only names the store could have made: anything else in the tree is someone else's.
      std::optional<Place> place = maildir::PlaceOfUrl(MailboxRootUrl(domain.name, user.name));
      if (user.kind == maildir::DirectoryEntry::Kind::kDirectory && place &&
          layout.FolderExists(*place)) {
        roots.push_back(place->Url());
      }
    }
  }
  std::sort(roots.begin(), roots.end());
  return roots;
}

std::optional<Store::ItemInfo> MaildirStore::FindItem(const std::string& url) const {
  const Layout layout(root_);
  const std::string canonical = CanonicalUrl(url);
  std::optional<Place> place = maildir::PlaceOfUrl(canonical);
  if (!place || layout.FolderExists(*place)) return std::nullopt;
  std::optional<Place> item = maildir::ItemPlace(*place);
  if (!item || !layout.FolderExists(item->Folder())) return std::nullopt;
  const std::string directory = *layout.FolderDirectoryOf(item->Folder());
  maildir::PropertyTable table(layout.PropertiesPath(*item));
  // The size from the file itself: a listing must not read every message. A file Dovecot
  // renames between the lookup and the look at its size is looked up again; any other failure
  // to look at it is the store's.
  for (int attempt = 0; attempt < maildir::kMaxAttempts; ++attempt) {
    std::optional<maildir::MessageFile> file =
        maildir::LocateItem(layout, table, *item, maildir::Expect::kPresent, options_.lock_timeout);
    if (!file) return std::nullopt;
    if (std::optional<size_t> size = maildir::FileSizeIfPresent(file->Path(directory))) {
      return ItemInfo{canonical, ParentUrl(canonical), static_cast<int64_t>(*size)};
    }
  }
  throw StoreFailure(StoreError::kBusy, "the message kept changing: " + canonical);
}

std::vector<Store::ItemInfo> MaildirStore::Items(const std::string& folder_url) const {
  const Layout layout(root_);
  const std::string folder_text = CanonicalUrl(folder_url);
  std::optional<Place> folder = maildir::PlaceOfUrl(folder_text);
  std::vector<ItemInfo> items;
  if (!folder || !layout.FolderExists(*folder)) return items;
  const std::string directory = *layout.FolderDirectoryOf(*folder);
  for (const auto& [name, file] : ItemFiles(layout, *folder)) {
    Place place = *folder;
    place.item = name;
    std::optional<ItemInfo> item;
    if (std::optional<size_t> size = maildir::FileSizeIfPresent(file.Path(directory))) {
      item = ItemInfo{place.Url(), folder_text, static_cast<int64_t>(*size)};
    } else {
      // Renamed since the scan (Dovecot changes flags without the lock): look for it again.
      item = FindItem(place.Url());
    }
    if (item) items.push_back(std::move(*item));
  }
  std::sort(items.begin(), items.end(),
            [](const ItemInfo& a, const ItemInfo& b) { return a.url < b.url; });
  return items;
}

std::optional<std::string> MaildirStore::FindItemInMailbox(const std::string& mailbox_root,
                                                           const std::string& item_name) const {
  const Layout layout(root_);
  std::optional<Place> root = maildir::PlaceOfUrl(CanonicalUrl(mailbox_root));
  if (!root || !root->folder.empty() || !layout.FolderExists(*root)) return std::nullopt;
  maildir::PropertyTable table(layout.PropertiesPath(*root));
  std::optional<Place> item = maildir::LocateInMailbox(layout, table, *root, item_name);
  if (!item) return std::nullopt;
  return item->Url();
}

std::string MaildirStore::MaildirPath(const std::string& domain, const std::string& user) const {
  return Layout(root_).MaildirDirectory(Place{domain, user, {}, ""});
}

namespace {

// The mailbox a root URL names; kBadArgument for anything else.
Place MailboxPlace(const std::string& mailbox_root) {
  std::optional<Place> place = maildir::PlaceOfUrl(CanonicalUrl(mailbox_root));
  if (!place || !place->folder.empty()) {
    throw StoreFailure(StoreError::kBadArgument, "not a mailbox root: " + mailbox_root);
  }
  return *place;
}

// Renames a mailbox's directory, failing rather than replacing anything at `to`.
void MoveMailboxDirectory(const std::string& from, const std::string& to) {
  switch (maildir::RenameNoReplace(from, to)) {
    case maildir::RenameResult::kDone:
      maildir::SyncDirectory(to.substr(0, to.rfind('/')));
      return;
    case maildir::RenameResult::kTargetExists:
      throw StoreFailure(StoreError::kAlreadyExists, to);
    case maildir::RenameResult::kSourceMissing:
      throw StoreFailure(StoreError::kNotFound, from);
  }
}

}  // namespace

std::string MaildirStore::SetMailboxAside(const std::string& mailbox_root) {
  const Layout layout(root_);
  const Place place = MailboxPlace(mailbox_root);
  if (!layout.FolderExists(place)) throw StoreFailure(StoreError::kNotFound, mailbox_root);
  const std::string aside = layout.SetAsideDirectory(place);
  MoveMailboxDirectory(layout.MailboxDirectory(place), aside);
  return aside;
}

std::vector<std::string> MaildirStore::MailboxesSetAside() const {
  const std::string prefix = maildir::kRemovedMailboxPrefix;
  std::vector<std::string> roots;
  for (const maildir::DirectoryEntry& domain :
       maildir::ListDirectory(root_, maildir::kMaxDirectoryEntries)) {
    if (domain.kind != maildir::DirectoryEntry::Kind::kDirectory) continue;
    for (const maildir::DirectoryEntry& entry :
         maildir::ListDirectory(root_ + "/" + domain.name, maildir::kMaxDirectoryEntries)) {
      if (entry.kind != maildir::DirectoryEntry::Kind::kDirectory) continue;
      if (!entry.name.starts_with(prefix)) continue;
      std::optional<Place> place =
          maildir::PlaceOfUrl(MailboxRootUrl(domain.name, entry.name.substr(prefix.size())));
      if (place) roots.push_back(place->Url());
    }
  }
  std::sort(roots.begin(), roots.end());
  return roots;
}

void MaildirStore::RestoreMailbox(const std::string& mailbox_root) {
  const Layout layout(root_);
  const Place place = MailboxPlace(mailbox_root);
  MoveMailboxDirectory(layout.SetAsideDirectory(place), layout.MailboxDirectory(place));
}

bool MaildirStore::DeleteMailbox(const std::string& mailbox_root) {
  const Layout layout(root_);
  const Place place = MailboxPlace(mailbox_root);
  const std::string aside = layout.SetAsideDirectory(place);
  bool found = maildir::RemoveTree(aside);
  // Set aside first, so that nobody finds a mailbox half deleted when the deletion fails.
  if (layout.FolderExists(place)) {
    MoveMailboxDirectory(layout.MailboxDirectory(place), aside);
    found = maildir::RemoveTree(aside) || found;
  }
  return found;
}

}  // namespace corvalith::store
