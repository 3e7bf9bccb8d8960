// How the filter's marks on an item map onto Dovecot keywords in its file name: the mail marker
// as Corvalith-Spam / Corvalith-Ham with $Junk / $NotJunk beside it for mail clients, the hidden
// flag as Corvalith-Hidden (the names in maildir_store.h), and the letters a folder's
// dovecot-keywords table (maildir_control.h) gives them. Keyword names compare as Dovecot
// compares them: without regard to ASCII case.
#ifndef CORVALITH_STORE_MAILDIR_MAILDIR_KEYWORDS_H_
#define CORVALITH_STORE_MAILDIR_MAILDIR_KEYWORDS_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/variant.h"
#include "store/maildir/maildir_control.h"

namespace corvalith::store::maildir {

bool HasKeyword(const std::vector<std::string>& names, std::string_view name);

// The keywords a change of the marker or the hidden flag adds and takes off.
struct KeywordChange {
  std::vector<std::string> add;
  std::vector<std::string> remove;

  void ApplyTo(std::vector<std::string>* names) const;
};

// The change that writes the marker (0, 1 or 2) and the hidden flag, each when given. $Junk and
// $NotJunk, which mail clients show, change only with another verdict, never back to none.
KeywordChange ChangeFor(std::optional<int32_t> marker, std::optional<bool> hidden);

// The marker the keywords hold: 2 for spam, 1 for ham, else 0.
int32_t MarkerOfKeywords(const std::vector<std::string>& names);

// A value written to the marker or the hidden flag, as the keywords keep it; kBadArgument for
// one they cannot keep (a marker other than 0, 1 or 2, a hidden flag that is no Boolean).
int32_t MarkerOf(const Variant& value);
bool HiddenOf(const Variant& value);

// The keyword names of a file's flags in its folder's table; letters the table does not name
// are answered apart.
std::vector<std::string> KeywordNames(const KeywordTable& table, std::string_view flags,
                                      std::string* unnamed_letters);

// The flags that are no keywords: the upper-case letters.
std::string StandardFlags(std::string_view flags);

// The table of a folder that knows every name it has letters left for, adding the missing
// ones under the folder's lock.
KeywordTable EnsureKeywords(const std::string& folder_directory,
                            const std::vector<std::string>& names,
                            std::chrono::milliseconds lock_timeout);

// The keywords of a file as it goes into a folder: the letters of the names the folder's
// table knows; the verdict whose keywords got no letter, as the property rows that keep it
// instead (an empty value where the keywords hold it, which removes an older row).
struct PlacedKeywords {
  std::string letters;
  Variant marker;
  Variant hidden;
};

// nullopt when a name the table was not made to know (not in `ensured`) lacks a letter: it
// came with a rename meanwhile. kStorageFault for a name of someone else's that cannot get a
// letter: leaving it out would take a mail client's label off the message.
std::optional<PlacedKeywords> PlaceKeywords(const KeywordTable& table,
                                            const std::vector<std::string>& names,
                                            const std::vector<std::string>& ensured,
                                            const std::string& folder_directory);

}  // namespace corvalith::store::maildir

#endif  // CORVALITH_STORE_MAILDIR_MAILDIR_KEYWORDS_H_
