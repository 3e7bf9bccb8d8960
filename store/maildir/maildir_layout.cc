#include "store/maildir/maildir_layout.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "store/mailbox_url.h"
#include "store/maildir/maildir_files.h"
#include "store/message_import.h"
#include "store/store_errors.h"

namespace corvalith::store::maildir {
namespace {

constexpr char kNewDirectory[] = "new";
constexpr char kCurDirectory[] = "cur";
constexpr char kTmpDirectory[] = "tmp";
// Dovecot marks a Maildir++ subfolder with this empty file (deliver and quota read it).
constexpr char kFolderMarkerName[] = "maildirfolder";

// A domain or user name becomes a directory name as it is.
bool IsDirectoryName(const std::string& name) {
  if (name.empty() || name.size() > kMaxFileNameBytes || name[0] == '.') return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f || c == '/') return false;
  }
  return true;
}

// mkdir where a directory that is already there is fine.
void EnsureDirectory(const std::string& path) {
  const int err = MakeDirectory(path);
  if (err != 0 && err != EEXIST) ThrowIoFailure("mkdir", path, err);
}

std::string Join(const FolderPath& path) {
  std::string text;
  for (const std::string& level : path) text += (text.empty() ? "" : "/") + level;
  return text;
}

}  // namespace

std::string Place::Url() const {
  std::string url = MailboxRootUrl(domain, user);
  for (const std::string& level : folder) url += "/" + level;
  if (!item.empty()) url += "/" + item;
  return url;
}

std::string Place::Key() const {
  std::string key = domain + '\0' + user + '\0';
  for (const std::string& level : folder) key += level + '\0';
  return key + '\x01' + item;
}

std::string Place::FolderText() const { return Join(folder); }

FolderPath FolderPathOfText(std::string_view text) {
  FolderPath path;
  if (text.empty()) return path;
  for (size_t start = 0;;) {
    const size_t slash = text.find('/', start);
    path.emplace_back(text.substr(start, slash - start));
    if (slash == std::string_view::npos) return path;
    start = slash + 1;
  }
}

std::optional<Place> PlaceOfUrl(const std::string& url) {
  std::optional<MailboxUrl> parts = ParseMailboxUrl(url);
  if (!parts || !IsDirectoryName(parts->domain) || !IsDirectoryName(parts->user)) {
    return std::nullopt;
  }
  for (const std::string& level : parts->below) {
    if (level.empty()) return std::nullopt;
  }
  return Place{parts->domain, parts->user, parts->below, ""};
}

std::optional<Place> ItemPlace(const Place& place) {
  if (place.folder.size() < 2) return std::nullopt;
  Place item = place;
  item.item = item.folder.back();
  item.folder.pop_back();
  if (!IsItemName(item.item)) return std::nullopt;
  return item;
}

std::string Layout::MailboxDirectory(const Place& place) const {
  return root_ + "/" + place.domain + "/" + place.user;
}

std::string Layout::MaildirDirectory(const Place& place) const {
  return MailboxDirectory(place) + "/" + kMaildirName;
}

std::string Layout::SetAsideDirectory(const Place& place) const {
  return root_ + "/" + place.domain + "/" + kRemovedMailboxPrefix + place.user;
}

std::string Layout::PropertiesPath(const Place& place) const {
  return MailboxDirectory(place) + "/" + kPropertiesFileName;
}

std::optional<std::string> Layout::FolderDirectoryOf(const Place& place) const {
  if (place.folder.empty()) return MaildirDirectory(place);
  std::optional<std::string> directory = FolderDirectory(place.folder);
  if (!directory) return std::nullopt;
  return directory->empty() ? MaildirDirectory(place) : MaildirDirectory(place) + "/" + *directory;
}

bool Layout::FolderExists(const Place& place) const {
  std::optional<std::string> directory = FolderDirectoryOf(place);
  if (!directory) return false;
  return IsDirectory(place.folder.empty() ? *directory : *directory + "/" + kCurDirectory);
}

void Layout::CreateFolder(const Place& place) const {
  if (place.folder.empty()) {
    EnsureDirectory(root_);
    EnsureDirectory(root_ + "/" + place.domain);
    EnsureDirectory(MailboxDirectory(place));
    const std::string maildir = MaildirDirectory(place);
    const int err = MakeDirectory(maildir);
    if (err == EEXIST) throw StoreFailure(StoreError::kAlreadyExists, place.Url());
    if (err != 0) ThrowIoFailure("mkdir", maildir, err);
    return;
  }
  std::optional<std::string> directory = FolderDirectoryOf(place);
  if (!directory) {
    throw StoreFailure(StoreError::kBadArgument, "a Maildir cannot hold the folder " + place.Url());
  }
  if (FolderExists(place)) throw StoreFailure(StoreError::kAlreadyExists, place.Url());
  const bool subfolder = *directory != MaildirDirectory(place);
  if (subfolder) EnsureDirectory(*directory);
  EnsureDirectory(*directory + "/" + kTmpDirectory);
  EnsureDirectory(*directory + "/" + kNewDirectory);
  if (subfolder) {
    const std::string marker = *directory + "/" + kFolderMarkerName;
    const int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) ThrowIoFailure("create", marker, errno);
    close(fd);
  }
  // cur/ last: it is what makes the folder exist, for Dovecot as for this store.
  const std::string cur = *directory + "/" + kCurDirectory;
  const int err = MakeDirectory(cur);
  if (err == EEXIST) throw StoreFailure(StoreError::kAlreadyExists, place.Url());
  if (err != 0) ThrowIoFailure("mkdir", cur, err);
}

std::vector<Place> Layout::ChildFolders(const Place& folder) const {
  std::vector<Place> children;
  if (folder.folder.empty()) {
    Place inbox{folder.domain, folder.user, {kInboxFolder}, ""};
    if (FolderExists(inbox)) children.push_back(inbox);
  }
  for (const DirectoryEntry& entry :
       ListDirectory(MaildirDirectory(folder), kMaxDirectoryEntries)) {
    if (entry.kind != DirectoryEntry::Kind::kDirectory) continue;
    std::optional<FolderPath> path = FolderOfDirectory(entry.name);
    if (!path || path->size() != folder.folder.size() + 1 ||
        !std::equal(folder.folder.begin(), folder.folder.end(), path->begin())) {
      continue;
    }
    Place child{folder.domain, folder.user, *path, ""};
    if (FolderExists(child)) children.push_back(child);
  }
  std::sort(children.begin(), children.end(),
            [](const Place& a, const Place& b) { return a.Url() < b.Url(); });
  return children;
}

std::optional<MessageFile> ScanForItem(const std::string& folder_directory,
                                       const std::string& item) {
  for (const char* directory : {kNewDirectory, kCurDirectory}) {
    std::optional<std::string> found;
    ForEachDirectoryEntry(folder_directory + "/" + directory, [&](const DirectoryEntry& entry) {
      if (entry.kind != DirectoryEntry::Kind::kFile || !entry.name.starts_with(item)) return;
      std::optional<MessageFileName> parsed = ParseMessageFileName(entry.name);
      // Two files of one item (an outside program's copy): the same one is taken every time.
      if (parsed && parsed->item == item && (!found || entry.name < *found)) found = entry.name;
    });
    if (found) return MessageFile{directory, *found};
  }
  return std::nullopt;
}

void ForEachMessage(const std::string& folder_directory,
                    const std::function<void(const MessageFile&)>& visit) {
  for (const char* directory : {kNewDirectory, kCurDirectory}) {
    ForEachDirectoryEntry(folder_directory + "/" + directory, [&](const DirectoryEntry& entry) {
      if (entry.kind == DirectoryEntry::Kind::kFile && ParseMessageFileName(entry.name)) {
        visit(MessageFile{directory, entry.name});
      }
    });
  }
}

}  // namespace corvalith::store::maildir
