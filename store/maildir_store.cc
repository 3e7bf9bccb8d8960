#include "store/maildir_store.h"

#include <algorithm>
#include <set>

#include "store/maildir_control.h"
#include "store/maildir_layout.h"
#include "store/maildir_session.h"
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
  if (!folder->folder.empty()) {
    const std::string directory = *layout.FolderDirectoryOf(*folder);
    // Under the lock: a listing must not miss a message that Dovecot renames meanwhile.
    maildir::UidListLock lock(directory, options_.lock_timeout);
    std::set<std::string> items;
    for (const maildir::MessageFile& file : maildir::ScanMessages(directory)) {
      items.insert(std::string(maildir::ParseMessageFileName(file.name)->item));
    }
    for (const std::string& item : items) {
      Place place = *folder;
      place.item = item;
      children.push_back(place.Url());
    }
  }
  std::sort(children.begin(), children.end());
  return children;
}

std::string MaildirStore::MaildirPath(const std::string& domain, const std::string& user) const {
  return Layout(root_).MaildirDirectory(Place{domain, user, {}, ""});
}

}  // namespace corvalith::store
