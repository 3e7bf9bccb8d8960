#include "store/store.h"

#include "store/store_errors.h"

namespace corvalith::store {

std::optional<std::string> Store::FindItemInMailbox(const std::string& mailbox_root,
                                                    const std::string& item_name) const {
  for (const FolderInfo& folder : Folders(mailbox_root)) {
    std::string url = folder.url + "/" + item_name;
    if (FindItem(url)) return url;
  }
  return std::nullopt;
}

std::string Store::SetMailboxAside(const std::string& mailbox_root) {
  throw StoreFailure(StoreError::kRefused, "this store keeps no removed mailbox: " + mailbox_root);
}

std::vector<std::string> Store::MailboxesSetAside() const { return {}; }

void Store::RestoreMailbox(const std::string& mailbox_root) {
  throw StoreFailure(StoreError::kNotFound, "no removed mailbox kept for " + mailbox_root);
}

bool Store::DeleteMailbox(const std::string& mailbox_root) {
  throw StoreFailure(StoreError::kRefused, "this store cannot delete a mailbox: " + mailbox_root);
}

}  // namespace corvalith::store
