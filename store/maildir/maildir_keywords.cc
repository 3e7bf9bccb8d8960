#include "store/maildir/maildir_keywords.h"

#include <algorithm>

#include "platform/text.h"
#include "store/maildir/maildir_store.h"
#include "store/store_errors.h"

namespace corvalith::store::maildir {
namespace {

// The letters of the names in the table; nullopt when one has none.
std::optional<std::string> LettersOf(const KeywordTable& table,
                                     const std::vector<std::string>& names) {
  std::string letters;
  for (const std::string& name : names) {
    std::optional<char> letter = table.LetterOf(name);
    if (!letter) return std::nullopt;
    letters += *letter;
  }
  return letters;
}

}  // namespace

bool HasKeyword(const std::vector<std::string>& names, std::string_view name) {
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& held) { return EqualsIgnoringCase(held, name); });
}

void KeywordChange::ApplyTo(std::vector<std::string>* names) const {
  std::erase_if(*names, [&](const std::string& name) { return HasKeyword(remove, name); });
  for (const std::string& name : add) {
    if (!HasKeyword(*names, name)) names->push_back(name);
  }
}

KeywordChange ChangeFor(std::optional<int32_t> marker, std::optional<bool> hidden) {
  KeywordChange change;
  if (marker) {
    change.remove = {kSpamKeyword, kHamKeyword};
    if (*marker == 1) {
      change.remove = {kSpamKeyword, kJunkKeyword};
      change.add = {kHamKeyword, kNotJunkKeyword};
    } else if (*marker == 2) {
      change.remove = {kHamKeyword, kNotJunkKeyword};
      change.add = {kSpamKeyword, kJunkKeyword};
    }
  }
  if (hidden) (*hidden ? change.add : change.remove).push_back(kHiddenKeyword);
  return change;
}

int32_t MarkerOfKeywords(const std::vector<std::string>& names) {
  if (HasKeyword(names, kSpamKeyword)) return 2;
  if (HasKeyword(names, kHamKeyword)) return 1;
  return 0;
}

int32_t MarkerOf(const Variant& value) {
  if (value.IsEmpty()) return 0;
  const int32_t marker = value.ToInt32();
  if (marker < 0 || marker > 2) {
    throw StoreFailure(StoreError::kBadArgument,
                       "the mail marker is kept as keywords and takes 0, 1 or 2");
  }
  return marker;
}

bool HiddenOf(const Variant& value) {
  if (value.IsEmpty()) return false;
  if (value.type() != Variant::Type::kBool) {
    throw StoreFailure(StoreError::kBadArgument,
                       "the hidden flag is kept as a keyword and takes "
                       "a Boolean");
  }
  return value.DiffersFromEmpty();
}

std::vector<std::string> KeywordNames(const KeywordTable& table, std::string_view flags,
                                      std::string* unnamed_letters) {
  std::vector<std::string> names;
  for (char letter : flags) {
    if (letter < 'a' || letter > 'z') continue;
    if (std::optional<std::string> name = table.NameOf(letter)) {
      names.push_back(*name);
    } else {
      *unnamed_letters += letter;
    }
  }
  return names;
}

std::string StandardFlags(std::string_view flags) {
  std::string standard;
  for (char letter : flags) {
    if (letter >= 'A' && letter <= 'Z') standard += letter;
  }
  return standard;
}

KeywordTable EnsureKeywords(const std::string& folder_directory,
                            const std::vector<std::string>& names,
                            std::chrono::milliseconds lock_timeout) {
  KeywordTable table = ReadKeywordTable(folder_directory);
  if (LettersOf(table, names) || table.Full()) return table;
  UidListLock lock(folder_directory, lock_timeout);
  return AddKeywords(folder_directory, names);
}

std::optional<PlacedKeywords> PlaceKeywords(const KeywordTable& table,
                                            const std::vector<std::string>& names,
                                            const std::vector<std::string>& ensured,
                                            const std::string& folder_directory) {
  PlacedKeywords placed;
  bool marker_left_out = false;
  bool hidden_left_out = false;
  for (const std::string& name : names) {
    if (std::optional<char> letter = table.LetterOf(name)) {
      placed.letters += *letter;
    } else if (!HasKeyword(ensured, name)) {
      return std::nullopt;
    } else if (HasKeyword({kSpamKeyword, kHamKeyword}, name)) {
      marker_left_out = true;
    } else if (EqualsIgnoringCase(name, kHiddenKeyword)) {
      hidden_left_out = true;
    } else if (!HasKeyword({kJunkKeyword, kNotJunkKeyword}, name)) {
      throw StoreFailure(StoreError::kStorageFault,
                         "no keyword letter left in " + folder_directory + " for " + name);
    }
  }
  if (marker_left_out) placed.marker = Variant::Int32(MarkerOfKeywords(names));
  if (hidden_left_out) placed.hidden = Variant::Bool(true);
  return placed;
}

}  // namespace corvalith::store::maildir
