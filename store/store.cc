#include "store/store.h"

namespace corvalith::store {

std::optional<std::string> Store::FindItemInMailbox(const std::string& mailbox_root,
                                                    const std::string& item_name) const {
  for (const FolderInfo& folder : Folders(mailbox_root)) {
    std::string url = folder.url + "/" + item_name;
    if (FindItem(url)) return url;
  }
  return std::nullopt;
}

}  // namespace corvalith::store
