#include "store/maildir/maildir_index.h"

#include <algorithm>
#include <vector>

#include "platform/failure.h"
#include "store/maildir/maildir_control.h"
#include "store/maildir/maildir_files.h"

namespace corvalith::store::maildir {
namespace {

// The file a row names, when it is a message file of the item.
std::optional<MessageFile> FileOfRow(const std::string& text, const std::string& item) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos) return std::nullopt;
  MessageFile file{text.substr(0, slash), text.substr(slash + 1)};
  if (file.directory != "new" && file.directory != "cur") return std::nullopt;
  std::optional<MessageFileName> parsed = ParseMessageFileName(file.name);
  if (!parsed || parsed->item != item) return std::nullopt;
  return file;
}

// The file the row names, when it is there.
std::optional<MessageFile> VerifiedRow(const std::string& text, const std::string& item,
                                       const std::string& folder_directory) {
  std::optional<MessageFile> file = FileOfRow(text, item);
  if (!file || !IsRegularFile(file->Path(folder_directory))) return std::nullopt;
  return file;
}

// The item's file read from its folder: first without the lock when it is expected there.
std::optional<MessageFile> ScanFolder(const Layout& layout, const Place& item,
                                      const std::string& directory, Expect expect,
                                      std::chrono::milliseconds lock_timeout) {
  if (expect == Expect::kPresent) {
    if (std::optional<MessageFile> file = ScanForItem(directory, item.item)) return file;
  }
  if (!layout.FolderExists(item.Folder())) return std::nullopt;
  UidListLock lock(directory, lock_timeout);
  return ScanForItem(directory, item.item);
}

// Points the item's row at the file a read of its folder found, so that the next lookup (a
// user's move reads the item several times) is one stat again. Only for a name the index
// knows: a lookup never creates the table. The row is a hint: a table that cannot take it now
// costs the next lookup another read of the folder, nothing more.
void RememberFile(PropertyTable& table, const Place& item, const MessageFile& file) {
  try {
    table.Apply({PropertyChange::File(OwnerOf(item), FileRowText(file))});
  } catch (const Failure&) {
    // Only a hint is lost: the lookup found the file all the same.
  }
}

}  // namespace

PropertyOwner OwnerOf(const Place& place) { return PropertyOwner{place.FolderText(), place.item}; }

std::string FileRowText(const MessageFile& file) { return file.directory + "/" + file.name; }

std::optional<MessageFile> LocateItem(const Layout& layout, PropertyTable& table, const Place& item,
                                      Expect expect, std::chrono::milliseconds lock_timeout) {
  const std::optional<std::string> directory = layout.FolderDirectoryOf(item.Folder());
  if (!directory) return std::nullopt;
  const std::optional<std::string> row = table.File(OwnerOf(item));
  if (row) {
    if (std::optional<MessageFile> file = VerifiedRow(*row, item.item, *directory)) return file;
  }
  const bool known = row || !table.FilesNamed(item.item).empty();
  if (!known && expect == Expect::kMissing) return std::nullopt;
  std::optional<MessageFile> file = ScanFolder(layout, item, *directory, expect, lock_timeout);
  if (file && known) RememberFile(table, item, *file);
  return file;
}

std::optional<Place> LocateInMailbox(const Layout& layout, PropertyTable& table, const Place& root,
                                     const std::string& item_name) {
  const std::vector<FileRow> rows = table.FilesNamed(item_name);
  if (rows.empty()) return std::nullopt;
  auto in_folder = [&](const FolderPath& folder) {
    return Place{root.domain, root.user, folder, item_name};
  };
  std::vector<FolderPath> stale;
  for (const FileRow& row : rows) {
    const Place item = in_folder(FolderPathOfText(row.folder));
    if (item.folder.empty() || !layout.FolderExists(item.Folder())) continue;
    if (VerifiedRow(row.file, item_name, *layout.FolderDirectoryOf(item.Folder()))) return item;
    stale.push_back(item.folder);
  }
  // Renamed by Dovecot for a flag change (still in its folder), or moved or expunged.
  for (const FolderPath& folder : stale) {
    const Place item = in_folder(folder);
    if (ScanForItem(*layout.FolderDirectoryOf(item.Folder()), item_name)) return item;
  }
  std::vector<Place> pending = layout.ChildFolders(root);
  while (!pending.empty()) {
    Place folder = std::move(pending.back());
    pending.pop_back();
    const bool looked = std::find(stale.begin(), stale.end(), folder.folder) != stale.end();
    if (!looked && ScanForItem(*layout.FolderDirectoryOf(folder), item_name)) {
      return in_folder(folder.folder);
    }
    for (Place& child : layout.ChildFolders(folder)) pending.push_back(std::move(child));
  }
  return std::nullopt;
}

}  // namespace corvalith::store::maildir
