#include "whitelist/whitelist.h"

#include <memory>

#include "logging/control_characters.h"
#include "platform/failure.h"
#include "platform/text.h"
#include "platform/text_reader.h"

namespace corvalith {

namespace {

std::string ReadList(FileSystem& files, const std::string& path) {
  return files.ReadFile(path, kMaxWhiteListBytes);
}

}  // namespace

std::string DomainKey(const std::string& sender_address) {
  size_t at = sender_address.rfind('@');
  return at == std::string::npos ? sender_address : sender_address.substr(at);
}

bool InWhiteList(FileSystem& files, Logger& logger, store::Record& item,
                 const std::string& list_base, const std::string& sender_address) {
  // Its domain key could be anything the sender chose; such an address is no address.
  if (HasControlCharacter(sender_address)) return false;
  std::string domain_key = DomainKey(sender_address);
  std::unique_ptr<TextReader> reader;
  try {
    reader = NewStringTextReader(ReadList(files, list_base + kWhiteListSuffix));
  } catch (const Failure& failure) {
    logger.Log_Err("InWhiteList() failed: " + failure.description(), failure.number(),
                   item.Source());
    return false;
  }
  for (;;) {
    std::string line;
    try {
      line = reader->ReadLine();
    } catch (const Failure&) {
      return false;  // end of the list
    }
    if (line.size() > kMaxWhiteListLineBytes) continue;
    line = TrimBlanks(line);
    if (line == sender_address || line == domain_key) return true;
  }
}

bool AddToWhiteList(FileSystem& files, Logger& logger, store::Record& item,
                    const std::string& list_base, const std::string& sender_address) {
  std::string path = list_base + kWhiteListSuffix;
  try {
    // One entry must make one line: an address with a CR LF would add a second entry of the
    // sender's choosing.
    if (HasControlCharacter(sender_address)) {
      throw Failure("Control character in the sender address", kErrInvalidProcedureCall);
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
      std::string existing = ReadList(files, path);
      if (!existing.empty() && existing.back() != '\n') entry = "\r\n" + entry;
      size = existing.size();
    }
    // The filter never writes a list that it would refuse to read.
    if (size + entry.size() > kMaxWhiteListBytes) throw Failure::FileTooLarge(path, kMaxWhiteListBytes);
    files.AppendText(path, entry);
  } catch (const Failure& failure) {
    logger.Log_Err("AddToWhiteList() failed: " + failure.description(), failure.number(),
                   item.Source());
    return false;
  }
  return true;
}

}  // namespace corvalith
