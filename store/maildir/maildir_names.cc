#include "store/maildir/maildir_names.h"

#include <algorithm>
#include <cstdint>

#include "platform/unicode.h"
#include "store/message_import.h"

namespace corvalith::store::maildir {
namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";
constexpr char kInboxDirectoryLevel[] = "INBOX";

int Base64Value(char c) {
  const char* at = std::find(kBase64, kBase64 + 64, c);
  return at == kBase64 + 64 ? -1 : static_cast<int>(at - kBase64);
}

bool IsPrintableAscii(unsigned char c) { return c >= 0x20 && c <= 0x7e; }
bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

bool IsInboxSpelling(std::string_view name) {
  if (name.size() != 5) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != kInboxDirectoryLevel[i]) return false;
  }
  return true;
}

// One level of a folder path as this layout can hold it.
bool IsFolderLevel(std::string_view level) {
  if (level.empty() || level.size() > kMaxFileNameBytes) return false;
  for (unsigned char c : level) {
    if (IsControl(c) || c == '.' || c == '/') return false;
  }
  return IsValidUtf8(level);
}

// "&" + the UTF-16BE code units of the run in modified base64 + "-".
void AppendEncodedRun(std::string_view utf8_run, std::string* out) {
  const std::string little_endian = Utf8ToUtf16Le(utf8_run);
  *out += '&';
  uint32_t bits = 0;
  int bit_count = 0;
  auto push = [&](unsigned char byte) {
    bits = (bits << 8) | byte;
    bit_count += 8;
    while (bit_count >= 6) {
      bit_count -= 6;
      *out += kBase64[(bits >> bit_count) & 63];
    }
    bits &= (1u << bit_count) - 1;
  };
  for (size_t i = 0; i + 1 < little_endian.size(); i += 2) {
    push(static_cast<unsigned char>(little_endian[i + 1]));
    push(static_cast<unsigned char>(little_endian[i]));
  }
  if (bit_count > 0) *out += kBase64[(bits << (6 - bit_count)) & 63];
  *out += '-';
}

// The UTF-8 text of the base64 between "&" and "-"; false for anything but whole UTF-16 code
// units that form valid text.
bool AppendDecodedRun(std::string_view base64, std::string* out) {
  std::string little_endian;
  uint32_t bits = 0;
  int bit_count = 0;
  char high = 0;
  bool have_high = false;
  for (char c : base64) {
    int value = Base64Value(c);
    if (value < 0) return false;
    bits = (bits << 6) | static_cast<uint32_t>(value);
    bit_count += 6;
    if (bit_count >= 8) {
      bit_count -= 8;
      char byte = static_cast<char>((bits >> bit_count) & 0xff);
      bits &= (1u << bit_count) - 1;
      if (have_high) {
        little_endian += byte;
        little_endian += high;
      } else {
        high = byte;
      }
      have_high = !have_high;
    }
  }
  return !have_high && !little_endian.empty() && Utf16LeToUtf8(little_endian, out);
}

}  // namespace

std::optional<std::string> EncodeMailboxName(std::string_view utf8) {
  if (!IsValidUtf8(utf8)) return std::nullopt;
  std::string out;
  size_t i = 0;
  while (i < utf8.size()) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (IsPrintableAscii(c)) {
      out += c == '&' ? "&-" : std::string(1, static_cast<char>(c));
      ++i;
      continue;
    }
    const size_t start = i;
    while (i < utf8.size() && !IsPrintableAscii(static_cast<unsigned char>(utf8[i]))) {
      i += std::max<size_t>(1, Utf8SequenceLength(utf8, i));
    }
    AppendEncodedRun(utf8.substr(start, i - start), &out);
  }
  return out;
}

std::optional<std::string> DecodeMailboxName(std::string_view encoded) {
  std::string out;
  size_t i = 0;
  while (i < encoded.size()) {
    const unsigned char c = static_cast<unsigned char>(encoded[i]);
    if (!IsPrintableAscii(c)) return std::nullopt;
    if (c != '&') {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    const size_t end = encoded.find('-', i + 1);
    if (end == std::string_view::npos) return std::nullopt;
    if (end == i + 1) {
      out += '&';
    } else if (!AppendDecodedRun(encoded.substr(i + 1, end - i - 1), &out)) {
      return std::nullopt;
    }
    i = end + 1;
  }
  // Only the canonical spelling names the folder: an encoded run of plain ASCII, a split run
  // or stray padding bits would give two directories one name.
  std::optional<std::string> again = EncodeMailboxName(out);
  if (!again || *again != encoded) return std::nullopt;
  return out;
}

std::optional<std::string> FolderDirectory(const FolderPath& path) {
  if (path.empty()) return std::nullopt;
  for (const std::string& level : path) {
    if (!IsFolderLevel(level)) return std::nullopt;
  }
  if (IsInboxSpelling(path[0]) && path[0] != kInboxFolder) return std::nullopt;
  if (path.size() == 1 && path[0] == kInboxFolder) return "";
  std::string directory;
  for (size_t i = 0; i < path.size(); ++i) {
    directory += '.';
    directory += i == 0 && path[0] == kInboxFolder ? std::string(kInboxDirectoryLevel)
                                                 : *EncodeMailboxName(path[i]);
  }
  if (directory.size() > kMaxFileNameBytes) return std::nullopt;
  return directory;
}

std::optional<FolderPath> FolderOfDirectory(std::string_view name) {
  if (name.size() < 2 || name[0] != '.' || name.size() > kMaxFileNameBytes) return std::nullopt;
  FolderPath path;
  std::string_view rest = name.substr(1);
  for (;;) {
    const size_t dot = rest.find('.');
    std::optional<std::string> level = DecodeMailboxName(rest.substr(0, dot));
    if (!level) return std::nullopt;
    path.push_back(path.empty() && *level == kInboxDirectoryLevel ? kInboxFolder : *level);
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
  }
  // INBOX itself is the Maildir, never a directory in it.
  if (path.size() == 1 && path[0] == kInboxFolder) return std::nullopt;
  std::optional<std::string> canonical = FolderDirectory(path);
  if (!canonical || *canonical != name) return std::nullopt;
  return path;
}

std::optional<MessageFileName> ParseMessageFileName(std::string_view name) {
  if (name.empty() || name.size() > kMaxFileNameBytes || name[0] == '.') return std::nullopt;
  for (unsigned char c : name) {
    if (IsControl(c) || c == '/') return std::nullopt;
  }
  MessageFileName parsed{};
  const size_t colon = name.find(':');
  parsed.base = name.substr(0, colon);
  parsed.item = parsed.base.substr(0, parsed.base.find(','));
  if (parsed.item.empty()) return std::nullopt;
  parsed.has_info = colon != std::string_view::npos;
  if (parsed.has_info) {
    std::string_view info = name.substr(colon + 1);
    if (info.substr(0, 2) != "2,") return std::nullopt;
    info.remove_prefix(2);
    const size_t comma = info.find(',');
    parsed.flags = info.substr(0, comma);
    parsed.fields = comma == std::string_view::npos ? std::string_view() : info.substr(comma);
    for (char c : parsed.flags) {
      if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return std::nullopt;
    }
  }
  return parsed;
}

bool IsItemName(std::string_view name) {
  if (name.empty() || name.size() > kMaxFileNameBytes || name[0] == '.') return false;
  for (unsigned char c : name) {
    if (IsControl(c) || c == '/' || c == ':' || c == ',') return false;
  }
  return true;
}

std::string MessageFileNameOf(std::string_view base, std::string_view flags,
                              std::string_view fields, bool with_info) {
  std::string name(base);
  if (with_info) {
    name += ":2,";
    name += flags;
    name += fields;
  }
  return name;
}

std::string SortedFlags(std::string_view letters) {
  std::string sorted(letters);
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  return sorted;
}

}  // namespace corvalith::store::maildir
