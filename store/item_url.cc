#include "store/item_url.h"

#include <vector>

#include "platform/failure.h"
#include "platform/text.h"

namespace corvalith {

void SplitItemUrl(const std::string& url, std::string* domain, std::string* user,
                  std::string* item_name) {
  std::vector<std::string> pieces = SplitText(url, '/');
  if (pieces.size() < 5) throw Failure::SubscriptOutOfRange();
  *domain = pieces[4];
  if (pieces.size() < 7) throw Failure::SubscriptOutOfRange();
  *user = pieces[6];
  *item_name = pieces.back();
}

std::string MailboxRootUrl(const std::string& domain, const std::string& user) {
  return kStoreUrlPrefix + domain + "/" + kMailboxLevel + "/" + user;
}

std::string SpamFolderUrl(const std::string& domain, const std::string& user) {
  return MailboxRootUrl(domain, user) + "/" + kSpamFolderName;
}

std::string JunkMailFolderUrl(const std::string& domain, const std::string& user,
                              const std::string& name) {
  return MailboxRootUrl(domain, user) + "/" + name;
}

std::string MoveDestinationUrl(const std::string& folder_url, const std::string& item_name) {
  return folder_url + "/" + item_name;
}

std::string ClashFreeMoveDestinationUrl(const std::string& folder_url, const std::string& item_name,
                                        int32_t ticks) {
  if (item_name.size() < 4) throw Failure::InvalidProcedureCall();
  return folder_url + "/" + item_name.substr(0, item_name.size() - 4) + std::to_string(ticks) +
         ".eml";
}

std::string ManualItemUrl(const std::string& folder_url) {
  return folder_url + "/" + kManualItemName;
}

}  // namespace corvalith
