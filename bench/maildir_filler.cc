#include "bench/maildir_filler.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/posix_io.h"
#include "store/maildir/maildir_control.h"
#include "store/maildir/maildir_index.h"
#include "store/maildir/maildir_names.h"
#include "store/maildir/maildir_properties.h"

namespace corvalith::bench {
namespace {

using store::maildir::MessageFile;
using store::maildir::PropertyChange;
using store::maildir::PropertyOwner;

void WriteNew(const std::string& path, const std::string& bytes) {
  if (int err = posix::CreateFileWith(path, bytes)) {
    throw std::runtime_error("create " + path + ": " + std::strerror(err));
  }
}

std::string Message(size_t i) {
  std::string body;
  for (int line = 0; line < 12; ++line) {
    body += "Line " + std::to_string(line) + " of an older message, kept for the record.\n";
  }
  return "From: <s" + std::to_string(i % 500) + "@sender.example>\nTo: <user0@example.com>\n" +
         "Subject: older message " + std::to_string(i) + "\n\n" + body;
}

}  // namespace

void FillFolder(const std::string& properties_path, const FilledFolder& folder, size_t count,
                const std::string& name_prefix) {
  std::string flags = "S";
  {
    store::maildir::UidListLock lock(folder.directory, std::chrono::seconds(30));
    const store::maildir::KeywordTable table = store::maildir::AddKeywords(
        folder.directory, {folder.verdict_keyword, folder.client_keyword});
    for (const std::string& name : {folder.verdict_keyword, folder.client_keyword}) {
      flags += table.LetterOf(name).value();
    }
  }
  flags = store::maildir::SortedFlags(flags);
  std::vector<PropertyChange> rows;
  rows.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    // An item name as corvalith lmtp gives it: the queue id, then a digest.
    char item[80];
    std::snprintf(item, sizeof item, "%s%08zX-%016" PRIx64 "%016" PRIx64 ".EML",
                  name_prefix.c_str(), i, static_cast<uint64_t>(i) * 0x9E3779B97F4A7C15u,
                  ~static_cast<uint64_t>(i) * 0xC2B2AE3D27D4EB4Fu);
    const std::string raw = Message(i);
    const std::string base = std::string(item) + ",S=" + std::to_string(raw.size()) +
                             ",C=1796000000.M" + std::to_string(i) + "P1Q1";
    const MessageFile file =
        i % 10 == 0 ? MessageFile{"new", base} : MessageFile{"cur", base + ":2," + flags};
    WriteNew(file.Path(folder.directory), raw);
    rows.push_back(PropertyChange::File(PropertyOwner{folder.folder_text, item},
                                        store::maildir::FileRowText(file)));
  }
  store::maildir::PropertyTable(properties_path).Apply(rows);
}

}  // namespace corvalith::bench
