// The whitelist files: one per user and one per mail domain (their paths are the data layout's,
// provisioning/data_layout.h). One entry per line, CR LF line ends: a full sender address, or
// "@" + domain to trust every sender of that domain. Matching is exact and case-sensitive
// after trimming blanks from the line. Files are opened per call and never locked; the lists
// are short and read on every new mail, so no cache could stay correct for long anyway.
#ifndef CORVALITH_WHITELIST_WHITELIST_H_
#define CORVALITH_WHITELIST_WHITELIST_H_

#include <cstddef>
#include <string>
#include <vector>

#include "logging/logger.h"
#include "platform/file_system.h"

namespace corvalith {

// Lists are files anyone with access to the data directory can write, and they are read on
// every new mail: a longer list is refused as a whole, a longer line is no entry. An address
// is at most 254 bytes, a domain 255.
inline constexpr size_t kMaxWhiteListBytes = 1 << 20;
inline constexpr size_t kMaxWhiteListLineBytes = 512;

// The part of the address from its last "@" on, or the whole address without "@".
std::string DomainKey(const std::string& sender_address);

// The entries of the list at `path` as the filter reads them: every line without its blanks, a
// blank line included; a line longer than kMaxWhiteListLineBytes is no entry. Throws Failure
// when the list cannot be read (a missing list, one larger than kMaxWhiteListBytes).
std::vector<std::string> ReadWhiteList(FileSystem& files, const std::string& path);

// True when an entry of the list at `path` equals the address or its domain key. A list that
// cannot be read answers false with an "InWhiteList() failed: " line naming `source` (the
// item's URL). An address with a control character (logging/control_characters.h) matches
// nothing.
bool InWhiteList(FileSystem& files, Logger& logger, const std::string& source,
                 const std::string& path, const std::string& sender_address);

// Appends the address as a line of its own to the list at `path`, creating the file; false
// with an "AddToWhiteList() failed: " line naming `source` when the file cannot be written or
// the address has a control character or is not one full address (a local part and a domain
// around its only "@", each more than quotes, backslashes and blanks): the filter appends
// senders, and an entry "@domain", which trusts a whole domain, is only ever written by people.
bool AddToWhiteList(FileSystem& files, Logger& logger, const std::string& source,
                    const std::string& path, const std::string& sender_address);

}  // namespace corvalith

#endif  // CORVALITH_WHITELIST_WHITELIST_H_
