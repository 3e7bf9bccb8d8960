// An item URL as the store hands it to the filter: splitting never fails but with
// "Subscript out of range", a domain and user that pass the path check can name nothing but
// their own place in the data directory, and the URLs built from the parts keep them whole.
#include <glib.h>

#include <string>

#include "fuzz_check.h"
#include "mailbox_ops/item_url.h"
#include "platform/failure.h"
#include "provisioning/data_layout.h"
#include "store/mailbox_url.h"

namespace {

constexpr char kDataDirectory[] = "/data/";
constexpr char kSpamUrl[] = "file://./backofficestorage/example.com/MBX/alice/Spambox";

bool IsUtf8(const std::string& text) {
  return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvalith;
  const std::string url = fuzz::Bytes(data, size);
  std::string domain, user, item_name;
  try {
    SplitItemUrl(url, &domain, &user, &item_name);
  } catch (const Failure& failure) {
    FUZZ_CHECK(failure.number() == kErrSubscriptOutOfRange);
    return 0;
  }
  // Folder URLs from the store compare as the same folder with themselves, either way round.
  FUZZ_CHECK(SameFolderUrl(url, url));
  FUZZ_CHECK(SameFolderUrl(url, kSpamUrl) == SameFolderUrl(kSpamUrl, url));
  for (const std::string* piece : {&domain, &user, &item_name}) {
    FUZZ_CHECK(piece->find('/') == std::string::npos);
  }
  try {
    CheckPathComponent("domain", domain);
    CheckPathComponent("user", user);
  } catch (const Failure&) {
    return 0;
  }
  const std::string user_data = UserDataPath(kDataDirectory, domain, user);
  FUZZ_CHECK(user_data == kDataDirectory + domain + "/" + user + kUserDataSuffix);
  FUZZ_CHECK(domain != "." && domain != ".." && user != "." && user != "..");
  FUZZ_CHECK(domain.find_first_of(std::string("\\\0", 2)) == std::string::npos);
  FUZZ_CHECK(user.find_first_of(std::string("\\\0", 2)) == std::string::npos);

  // The URLs the filter builds from the parts.
  const std::string spam_folder = SpamFolderUrl(domain, user);
  FUZZ_CHECK(spam_folder.starts_with(store::MailboxRootUrl(domain, user) + "/"));
  // The clash-free name cuts whole characters: valid UTF-8 stays valid.
  std::string destination;
  try {
    destination = ClashFreeMoveDestinationUrl(spam_folder, item_name, -1);
  } catch (const Failure& failure) {
    FUZZ_CHECK(item_name.size() < 16 && failure.number() == kErrInvalidProcedureCall);
    return 0;
  }
  FUZZ_CHECK(destination.starts_with(spam_folder + "/") && destination.ends_with("-1.eml"));
  const std::string kept =
      destination.substr(spam_folder.size() + 1, destination.size() - spam_folder.size() - 7);
  FUZZ_CHECK(item_name.starts_with(kept) && item_name.size() - kept.size() >= 4);
  if (IsUtf8(item_name)) FUZZ_CHECK(IsUtf8(kept));
  return 0;
}
