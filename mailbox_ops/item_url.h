// The item URLs the filter takes apart and every mailbox URL it builds, on top of the store's
// naming (store/mailbox_url.h). URLs are plain concatenations: nothing is escaped, decoded,
// trimmed or changed in case, so that a URL built here names exactly the folder the store named.
//
//   item URL  file://./backofficestorage/<domain>/MBX/<user>/<folder path>/<item name>
#ifndef CORVALITH_MAILBOX_OPS_ITEM_URL_H_
#define CORVALITH_MAILBOX_OPS_ITEM_URL_H_

#include <cstdint>
#include <string>

namespace corvalith {

inline constexpr char kSpamFolderName[] = "Spambox";
inline constexpr char kManualItemName[] = "Corvalith_Manual.eml";

// Takes domain (piece 4), user (piece 6) and item name (the last piece) of the item URL split
// at every "/". Throws "Subscript out of range" for a URL of fewer than seven pieces; with
// five or six pieces `domain` has been written when it throws.
void SplitItemUrl(const std::string& url, std::string* domain, std::string* user,
                  std::string* item_name);

std::string SpamFolderUrl(const std::string& domain, const std::string& user);
// The candidate URL of one junk-mail folder name (already trimmed by the caller).
std::string JunkMailFolderUrl(const std::string& domain, const std::string& user,
                              const std::string& name);
std::string MoveDestinationUrl(const std::string& folder_url, const std::string& item_name);
// The destination after a name clash: the item name without its last four characters (taken
// to be the extension), the signed tick count and ".eml". A character is a UTF-8 sequence,
// never a part of one. Throws "Invalid procedure call" for an item name shorter than four
// characters.
std::string ClashFreeMoveDestinationUrl(const std::string& folder_url, const std::string& item_name,
                                        int32_t ticks);
std::string ManualItemUrl(const std::string& folder_url);

// Whether a folder URL the store reports (a parent URL, "DAV:parentname", the Deleted Items
// URL) names the same folder as another, without regard to case: Unicode case folding, so
// that localised folder names match whatever the case of their letters. Text that is not
// valid UTF-8 compares case-insensitively in ASCII only.
bool SameFolderUrl(const std::string& a, const std::string& b);

}  // namespace corvalith

#endif  // CORVALITH_MAILBOX_OPS_ITEM_URL_H_
