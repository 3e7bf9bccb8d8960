// A whitelist file as anyone who can write into the data directory may leave it, and a sender
// address as a stranger writes it: the lookup answers exactly whether a trimmed line equals
// the address or its domain key, and an address the list took is found afterwards.
#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <string>

#include "fuzz_check.h"
#include "logging/control_characters.h"
#include "logging/testing/recording_logger.h"
#include "platform/testing/memory_environment.h"
#include "platform/text.h"
#include "whitelist/whitelist.h"

namespace corvalith {
namespace {

constexpr char kItem[] = "file://./backofficestorage/d/MBX/u/Inbox/M.EML";
constexpr char kListPath[] = "/data/d/u.dat.wlt";

struct Fixture {
  testing::MemoryFileSystem files;

  Fixture() { files.AddDirectory("/data/d"); }
};

// The answer worked out from the text directly: an address with a control character is
// never listed, nor is anything in a list over the size bound; lines end at LF, a CR before
// it belongs to the line end, a final LF opens no further line, an overlong line is no
// entry, and blanks around an entry do not count.
bool Listed(const std::string& list, const std::string& address) {
  if (HasControlCharacter(address) || list.size() > kMaxWhiteListBytes) return false;
  const std::string domain_key = DomainKey(address);
  size_t at = 0;
  while (at < list.size()) {
    size_t end = list.find('\n', at);
    size_t next = end == std::string::npos ? list.size() : end + 1;
    if (end == std::string::npos) end = list.size();
    if (end > at && end < list.size() && list[end - 1] == '\r') --end;
    std::string entry = list.substr(at, end - at);
    at = next;
    if (entry.size() > kMaxWhiteListLineBytes) continue;
    size_t first = entry.find_first_not_of(' ');
    entry = first == std::string::npos
                ? ""
                : entry.substr(first, entry.find_last_not_of(' ') - first + 1);
    if (entry == address || entry == domain_key) return true;
  }
  return false;
}

}  // namespace
}  // namespace corvalith

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvalith;
  static Fixture* const fixture = new Fixture;
  FuzzedDataProvider input(data, size);
  const std::string address = input.ConsumeRandomLengthString(512);
  const std::string list = input.ConsumeRemainingBytesAsString();
  const std::string path = kListPath;
  fixture->files.WriteFile(path, list);
  testing::RecordingLogger logger;

  FUZZ_CHECK(InWhiteList(fixture->files, logger, kItem, path, address) ==
             Listed(list, address));

  if (AddToWhiteList(fixture->files, logger, kItem, path, address)) {
    const std::string after = *fixture->files.Contents(path);
    FUZZ_CHECK(after.compare(0, list.size(), list) == 0);
    // An entry that a line can hold is found again.
    bool one_line = address.find_first_of("\r\n") == std::string::npos &&
                    address.find_first_not_of(' ') != std::string::npos && address.front() != ' ' &&
                    address.back() != ' ';
    if (one_line) {
      FUZZ_CHECK(InWhiteList(fixture->files, logger, kItem, path, address));
    }
  }
  return 0;
}
