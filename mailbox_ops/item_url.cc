#include "mailbox_ops/item_url.h"

#include <optional>
#include <vector>

#include "platform/failure.h"
#include "platform/text.h"
#include "store/mailbox_url.h"

namespace corvalith {

namespace {

// The length of the UTF-8 sequence a lead byte starts; 0 for a continuation byte or a byte
// that starts none.
size_t SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 0;
}

// Where the last `count` characters of `text` begin, or npos when it has fewer. A character
// is a lead byte with its continuation bytes; a byte that belongs to no whole sequence counts
// as a character of its own, so invalid text is still cut without reading past its start.
size_t StartOfLastCharacters(const std::string& text, int count) {
  size_t end = text.size();
  for (int i = 0; i < count; ++i) {
    if (end == 0) return std::string::npos;
    size_t start = end - 1;
    while (start > 0 && end - start < 4 && SequenceLength(text[start]) == 0) --start;
    end = SequenceLength(text[start]) == end - start ? start : end - 1;
  }
  return end;
}

}  // namespace

void SplitItemUrl(const std::string& url, std::string* domain, std::string* user,
                  std::string* item_name) {
  std::vector<std::string> pieces = SplitText(url, '/');
  if (pieces.size() < 5) throw Failure::SubscriptOutOfRange();
  *domain = pieces[4];
  if (pieces.size() < 7) throw Failure::SubscriptOutOfRange();
  *user = pieces[6];
  *item_name = pieces.back();
}

std::string SpamFolderUrl(const std::string& domain, const std::string& user) {
  return store::MailboxRootUrl(domain, user) + "/" + kSpamFolderName;
}

std::string JunkMailFolderUrl(const std::string& domain, const std::string& user,
                              const std::string& name) {
  return store::MailboxRootUrl(domain, user) + "/" + name;
}

std::string MoveDestinationUrl(const std::string& folder_url, const std::string& item_name) {
  return folder_url + "/" + item_name;
}

std::string ClashFreeMoveDestinationUrl(const std::string& folder_url, const std::string& item_name,
                                        int32_t ticks) {
  size_t extension = StartOfLastCharacters(item_name, 4);
  if (extension == std::string::npos) throw Failure::InvalidProcedureCall();
  return folder_url + "/" + item_name.substr(0, extension) + std::to_string(ticks) + ".eml";
}

std::string ManualItemUrl(const std::string& folder_url) {
  return folder_url + "/" + kManualItemName;
}

bool SameFolderUrl(const std::string& a, const std::string& b) {
  std::optional<std::string> folded_a = store::CaseFoldedName(a);
  std::optional<std::string> folded_b = store::CaseFoldedName(b);
  if (!folded_a || !folded_b) return LowerCase(a) == LowerCase(b);
  return *folded_a == *folded_b;
}

}  // namespace corvalith
