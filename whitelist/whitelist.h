// The whitelist files: one per user (<data>/<domain>/<user>.dat.wlt) and one per mail domain
// (<data>/<domain>/global.wlt). One entry per line, CR LF line ends: a full sender address, or
// "@" + domain to trust every sender of that domain. Matching is exact and case-sensitive
// after trimming blanks from the line. Files are opened per call and never locked; the lists
// are short and read on every new mail, so no cache could stay correct for long anyway.
#ifndef CORVALITH_WHITELIST_WHITELIST_H_
#define CORVALITH_WHITELIST_WHITELIST_H_

#include <cstddef>
#include <string>

#include "logging/logger.h"
#include "platform/file_system.h"
#include "store/record.h"

namespace corvalith {

inline constexpr char kWhiteListSuffix[] = ".wlt";
inline constexpr char kDomainWhiteListName[] = "global";
// Lists are files anyone with access to the data directory can write, and they are read on
// every new mail: a longer list is refused as a whole, a longer line is no entry. An address
// is at most 254 bytes, a domain 255.
inline constexpr size_t kMaxWhiteListBytes = 1 << 20;
inline constexpr size_t kMaxWhiteListLineBytes = 512;

// The part of the address from its last "@" on, or the whole address without "@".
std::string DomainKey(const std::string& sender_address);

// True when a line of list_base + ".wlt" equals the address or its domain key. A list that
// cannot be opened answers false with an "InWhiteList() failed: " line naming the item. An
// address with a control character (logging/control_characters.h) matches nothing.
bool InWhiteList(FileSystem& files, Logger& logger, store::Record& item,
                 const std::string& list_base, const std::string& sender_address);

// Appends the address as a line of its own to list_base + ".wlt", creating the file; false
// with an "AddToWhiteList() failed: " line when the file cannot be written or the address
// has a control character.
bool AddToWhiteList(FileSystem& files, Logger& logger, store::Record& item,
                    const std::string& list_base, const std::string& sender_address);

}  // namespace corvalith

#endif  // CORVALITH_WHITELIST_WHITELIST_H_
