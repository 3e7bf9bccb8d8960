#include "whitelist/whitelist.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "logging/control_characters.h"
#include "platform/failure.h"
#include "platform/text.h"
#include "platform/text_reader.h"

namespace corvalith {

namespace {

// True when the part holds more than quotes, backslashes and blanks: '""' and '" "' are
// quoted empty or blank local parts, nobody's address.
bool HasSubstance(std::string_view part) { return part.find_first_not_of(" \"\\") != part.npos; }

// An entry the filter writes is one sender: a local part, one "@", a domain, each of
// substance, as the list's reader will see the line (without its blanks). Anything else might
// read back as "@domain", which trusts every sender there: "<@gmail.com>", "< @gmail.com>",
// a source route "<@gmail.com:eve@evil.example>", or an address out of a display name.
bool IsFullAddress(const std::string& address) {
  const std::string entry(TrimSpaces(address));
  const size_t at = entry.find('@');
  if (at == std::string::npos || entry.find('@', at + 1) != std::string::npos) return false;
  const std::string_view view(entry);
  return HasSubstance(view.substr(0, at)) && HasSubstance(view.substr(at + 1));
}

}  // namespace

std::string DomainKey(const std::string& sender_address) {
  size_t at = sender_address.rfind('@');
  return at == std::string::npos ? sender_address : sender_address.substr(at);
}

std::vector<std::string> ReadWhiteList(FileSystem& files, const std::string& path) {
  TextReader reader(files.ReadFile(path, kMaxWhiteListBytes));
  std::vector<std::string> entries;
  while (std::optional<std::string> line = reader.ReadLine()) {
    if (line->size() <= kMaxWhiteListLineBytes) entries.emplace_back(TrimSpaces(*line));
  }
  return entries;
}

bool InWhiteList(FileSystem& files, Logger& logger, const std::string& source,
                 const std::string& path, const std::string& sender_address) {
  // Its domain key could be anything the sender chose; such an address is no address.
  if (HasControlCharacter(sender_address)) return false;
  std::vector<std::string> entries;
  try {
    entries = ReadWhiteList(files, path);
  } catch (const Failure& failure) {
    logger.Log_Err("InWhiteList() failed: " + failure.description(), failure.number(), source);
    return false;
  }
  const std::string domain_key = DomainKey(sender_address);
  return std::any_of(entries.begin(), entries.end(), [&](const std::string& entry) {
    return entry == sender_address || entry == domain_key;
  });
}

bool AddToWhiteList(FileSystem& files, Logger& logger, const std::string& source,
                    const std::string& path, const std::string& sender_address) {
  try {
    // One entry must make one line: an address with a CR LF would add a second entry of the
    // sender's choosing.
    if (HasControlCharacter(sender_address)) {
      throw Failure("Control character in the sender address", kErrInvalidProcedureCall);
    }
    if (!IsFullAddress(sender_address)) {
      throw Failure("Not a full sender address", kErrInvalidProcedureCall);
    }
    if (sender_address.size() > kMaxWhiteListLineBytes) {
      throw Failure(
          "Sender address longer than " + std::to_string(kMaxWhiteListLineBytes) + " bytes",
          kErrInvalidProcedureCall);
    }
    // A list edited by hand may end without a line end; the new entry must not run into
    // the last one.
    std::string entry = sender_address + "\r\n";
    size_t size = 0;
    if (files.Exists(path)) {
      std::string existing = files.ReadFile(path, kMaxWhiteListBytes);
      if (!existing.empty() && existing.back() != '\n') entry = "\r\n" + entry;
      size = existing.size();
    }
    // The filter never writes a list that it would refuse to read.
    if (size + entry.size() > kMaxWhiteListBytes)
      throw Failure::FileTooLarge(path, kMaxWhiteListBytes);
    files.AppendText(path, entry);
  } catch (const Failure& failure) {
    logger.Log_Err("AddToWhiteList() failed: " + failure.description(), failure.number(), source);
    return false;
  }
  return true;
}

}  // namespace corvalith
