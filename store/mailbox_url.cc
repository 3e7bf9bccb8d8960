#include "store/mailbox_url.h"

#include <glib.h>

#include <memory>

#include "platform/text.h"

namespace corvalith::store {

std::string MailboxRootUrl(const std::string& domain, const std::string& user) {
  return kStoreUrlPrefix + domain + "/" + kMailboxLevel + "/" + user;
}

std::optional<MailboxUrl> ParseMailboxUrl(const std::string& url) {
  const std::string prefix = kStoreUrlPrefix;
  if (!url.starts_with(prefix)) return std::nullopt;
  std::vector<std::string> parts = SplitText(url.substr(prefix.size()), '/');
  if (parts.size() < 3 || parts[0].empty() || parts[1] != kMailboxLevel || parts[2].empty()) {
    return std::nullopt;
  }
  return MailboxUrl{parts[0], parts[2], std::vector<std::string>(parts.begin() + 3, parts.end())};
}

bool IsMailboxRoot(const std::string& url) {
  std::optional<MailboxUrl> parts = ParseMailboxUrl(url);
  return parts && parts->below.empty();
}

std::optional<std::string> CaseFoldedName(const std::string& name) {
  // GLib's folding assumes valid UTF-8, and stops at a NUL.
  if (!g_utf8_validate(name.data(), static_cast<gssize>(name.size()), nullptr)) {
    return std::nullopt;
  }
  std::unique_ptr<gchar, decltype(&g_free)> folded(
      g_utf8_casefold(name.data(), static_cast<gssize>(name.size())), g_free);
  return std::string(folded.get());
}

}  // namespace corvalith::store
