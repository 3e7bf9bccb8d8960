#include "platform/registry_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "platform/failure.h"
#include "platform/posix_io.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/unicode.h"

namespace corvalith {
namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";
constexpr char kUtf16LeBom[] = "\xFF\xFE";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Without blanks and CRs at either end: a file edited on Windows may hold CR LF line ends.
std::string TrimLine(const std::string& text) { return std::string(TrimAny(text, " \t\r")); }

// The key as it is compared: lower case, without trailing separators.
std::string NormalizeKey(const std::string& key) {
  std::string k = LowerCase(TrimLine(key));
  while (!k.empty() && k.back() == '\\') k.pop_back();
  return k;
}

// The line end a raw line finishes with ("" for a last line without one).
std::string LineEndOf(const std::string& raw) {
  if (raw.size() >= 2 && raw.compare(raw.size() - 2, 2, "\r\n") == 0) return "\r\n";
  if (!raw.empty() && raw.back() == '\n') return "\n";
  return "";
}

std::string WithoutLineEnd(const std::string& raw) {
  return raw.substr(0, raw.size() - LineEndOf(raw).size());
}

// Parses a quoted text starting at `*pos` (on the opening quote), with the `\\` and `\"`
// escapes; any other backslash stays as it is, as regedit writes paths in REGEDIT4 files.
std::optional<std::string> ParseQuoted(const std::string& line, size_t* pos) {
  if (*pos >= line.size() || line[*pos] != '"') return std::nullopt;
  std::string out;
  for (size_t i = *pos + 1; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') {
      *pos = i + 1;
      return out;
    }
    if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '\\' || line[i + 1] == '"')) {
      out.push_back(line[++i]);
    } else {
      out.push_back(c);
    }
  }
  return std::nullopt;
}

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<uint32_t> ParseHexNumber(const std::string& text, size_t max_digits) {
  if (text.empty() || text.size() > max_digits) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    int d = HexDigit(c);
    if (d < 0) return std::nullopt;
    value = value << 4 | static_cast<uint32_t>(d);
  }
  return value;
}

// "41,00,42" (blanks allowed around each byte; a trailing comma tolerated).
std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text) {
  std::vector<uint8_t> bytes;
  std::vector<std::string> pieces = SplitText(text, ',');
  for (size_t i = 0; i < pieces.size(); ++i) {
    std::string piece = TrimLine(pieces[i]);
    if (piece.empty() && i + 1 == pieces.size() && i > 0) break;
    std::optional<uint32_t> byte = ParseHexNumber(piece, 2);
    if (!byte) return std::nullopt;
    bytes.push_back(static_cast<uint8_t>(*byte));
  }
  return bytes;
}

// Where the value part of a value line starts (after the name and '='), or npos.
size_t ValueStart(const std::string& line, std::string* name) {
  size_t pos = 0;
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  if (pos < line.size() && line[pos] == '@') {
    name->clear();
    ++pos;
  } else {
    std::optional<std::string> quoted = ParseQuoted(line, &pos);
    if (!quoted) return std::string::npos;
    *name = std::move(*quoted);
  }
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  if (pos >= line.size() || line[pos] != '=') return std::string::npos;
  ++pos;
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  return pos;
}

bool IsHexValueLine(const std::string& line) {
  std::string name;
  size_t pos = ValueStart(line, &name);
  return pos != std::string::npos &&
         StartsWithIgnoringCase(std::string_view(line).substr(pos), "hex");
}

bool IsBlankOrComment(const std::string& line) {
  std::string trimmed = TrimLine(line);
  return trimmed.empty() || trimmed[0] == ';';
}

bool IsSectionLine(const std::string& line) {
  size_t pos = 0;
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  return pos < line.size() && line[pos] == '[';
}

// Splits text into physical lines, each keeping its line end.
std::vector<std::string> PhysicalLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end + 1 - start));
    start = end + 1;
  }
  return lines;
}

void SetValueState(std::map<std::string, RegistryFile::Value>* values,
                   const RegistryValueLine& line) {
  std::string name = LowerCase(line.name);
  if (line.remove) {
    values->erase(name);
  } else {
    (*values)[name] = {line.type, line.data};
  }
}

std::string ValueLineText(const std::string& name, const std::string& value) {
  return (name.empty() ? std::string("@") : Quote(name)) + "=" + Quote(value);
}

void RejectLineBreaks(const std::string& text) {
  // A line break cannot be written into a .reg line; it would cut the file.
  if (text.find_first_of("\r\n") != std::string::npos) throw Failure::InvalidProcedureCall();
}

std::string AtLine(const std::string& origin, size_t line, const std::string& problem) {
  return origin + ":" + std::to_string(line) + ": " + problem;
}

Failure TooLarge(const std::string& origin) {
  return Failure(origin + ": larger than " + std::to_string(kMaxRegistryFileSize) + " bytes",
                 EFBIG);
}

// The file's bytes; nullopt when it does not exist. Only a regular file of at most
// kMaxRegistryFileSize bytes is read: a device or a pipe put in the file's place must not hang
// the reader, nor a huge file fill its memory.
std::optional<std::string> ReadBoundedFile(const std::string& path) {
  try {
    return posix::ReadRegularFile(path, kMaxRegistryFileSize);
  } catch (const Failure& failure) {
    if (failure.number() == ENOENT) return std::nullopt;
    if (failure.number() == EFBIG) throw TooLarge(path);
    throw;
  }
}

}  // namespace

std::string RegistryFilePath() {
  const char* path = std::getenv("CORVALITH_REGISTRY");
  if (path != nullptr && path[0] != '\0') return path;
  return kDefaultRegistryPath;
}

std::optional<RegistryValueLine> ParseRegistryValueLine(const std::string& line) {
  RegistryValueLine result;
  size_t pos = ValueStart(line, &result.name);
  if (pos == std::string::npos) return std::nullopt;
  std::string rest = TrimLine(line.substr(pos));
  if (rest == "-") {
    result.remove = true;
    return result;
  }
  if (!rest.empty() && rest[0] == '"') {
    size_t end = 0;
    std::optional<std::string> text = ParseQuoted(rest, &end);
    if (!text || end != rest.size()) return std::nullopt;
    result.type = REG_SZ;
    result.data.assign(text->begin(), text->end());
    result.data.push_back(0);
    return result;
  }
  if (StartsWithIgnoringCase(rest, "dword:")) {
    std::optional<uint32_t> dword = ParseHexNumber(TrimLine(rest.substr(6)), 8);
    if (!dword) return std::nullopt;
    result.type = REG_DWORD;
    for (int i = 0; i < 4; ++i) result.data.push_back(static_cast<uint8_t>(*dword >> (8 * i)));
    return result;
  }
  size_t bytes_start;
  if (StartsWithIgnoringCase(rest, "hex:")) {
    result.type = REG_BINARY;
    bytes_start = 4;
  } else if (StartsWithIgnoringCase(rest, "hex(")) {
    size_t close = rest.find(')');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
      return std::nullopt;
    }
    std::optional<uint32_t> type = ParseHexNumber(rest.substr(4, close - 4), 8);
    if (!type) return std::nullopt;
    result.type = *type;
    bytes_start = close + 2;
  } else {
    return std::nullopt;
  }
  std::string bytes_text = TrimLine(rest.substr(bytes_start));
  if (!bytes_text.empty()) {
    std::optional<std::vector<uint8_t>> bytes = ParseHexBytes(bytes_text);
    if (!bytes) return std::nullopt;
    result.data = std::move(*bytes);
  }
  return result;
}

std::optional<std::string> RegistryFileProblem(const std::string& path) {
  try {
    return RegistryFile::Load(path).IgnoredLine();
  } catch (const Failure& failure) {
    return failure.description();
  }
}

RegistryFile RegistryFile::Load(const std::string& path) {
  return Parse(ReadBoundedFile(path).value_or(""), path);
}

RegistryFile RegistryFile::Parse(std::string bytes, const std::string& origin) {
  if (bytes.size() > kMaxRegistryFileSize) throw TooLarge(origin);
  RegistryFile file;
  file.origin_ = origin;
  if (bytes.empty()) {
    file.preamble_ = std::string(kRegistryHeader) + file.eol_;
    return file;
  }
  std::string text;
  if (bytes.starts_with(kUtf16LeBom)) {
    // Decoded whole, byte-order mark included: it comes back as the UTF-8 mark, which the
    // version line check skips and Text() turns back into the UTF-16 one.
    file.utf16_ = true;
    if (!Utf16LeToUtf8(bytes, &text)) {
      size_t line = 1 + static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
      throw Failure(AtLine(origin, line, "not valid UTF-16 (an unpaired surrogate or odd byte)"),
                    EINVAL);
    }
  } else {
    text = std::move(bytes);
  }
  std::vector<std::string> lines = PhysicalLines(text);
  std::string first = WithoutLineEnd(lines[0]);
  if (first.compare(0, 3, kBom) == 0) first.erase(0, 3);
  first = TrimLine(first);
  if (first != kRegistryHeader && first != kRegistryHeader4) {
    throw Failure(AtLine(origin, 1, "not a registry file (no version line)"), EINVAL);
  }
  auto ignored = [&](size_t index) {
    if (file.first_ignored_line_ == 0) file.first_ignored_line_ = index + 1;
  };
  std::string first_eol = LineEndOf(lines[0]);
  if (!first_eol.empty()) file.eol_ = first_eol;
  file.preamble_ = lines[0];

  Section* current = nullptr;
  for (size_t i = 1; i < lines.size(); ++i) {
    std::string content = WithoutLineEnd(lines[i]);
    if (IsSectionLine(content)) {
      Section section;
      section.header_raw = lines[i];
      std::string trimmed = TrimLine(content);
      if (trimmed.size() >= 2 && trimmed.back() == ']') {
        std::string key = trimmed.substr(1, trimmed.size() - 2);
        if (!key.empty() && key[0] == '-') {
          section.remove = true;
          key.erase(0, 1);
        }
        // A malformed header keeps an empty key: its values are ignored rather than
        // credited to the section before it.
        if (key.find_first_of("[]") == std::string::npos) section.key = key;
      }
      if (NormalizeKey(section.key).empty()) ignored(i);
      file.sections_.push_back(std::move(section));
      current = &file.sections_.back();
      continue;
    }
    Line line;
    line.raw = lines[i];
    const size_t first_index = i;
    std::string logical = content;
    if (IsHexValueLine(content)) {
      // Continuations: a trailing backslash joins the next line, whose indentation goes.
      // Appended in place, so that a value of many lines costs no more than their length.
      auto continued = [&] {
        while (!logical.empty() && (IsBlank(logical.back()) || logical.back() == '\r')) {
          logical.pop_back();
        }
        return !logical.empty() && logical.back() == '\\';
      };
      while (continued() && i + 1 < lines.size()) {
        std::string next = WithoutLineEnd(lines[i + 1]);
        if (IsSectionLine(next) || TrimLine(next).empty()) break;
        logical.pop_back();
        logical += TrimLine(next);
        line.raw += lines[++i];
      }
      // A continuation with nothing to continue ends the value.
      if (continued()) logical.pop_back();
    }
    line.value = ParseRegistryValueLine(logical);
    // A value before any section is ignored too: it belongs to no key.
    bool read = current != nullptr && line.value.has_value();
    if (!read && !IsBlankOrComment(content)) ignored(first_index);
    if (current == nullptr) {
      file.preamble_ += line.raw;  // values before any section belong to no key
    } else {
      current->lines.push_back(std::move(line));
    }
  }
  file.Rebuild();
  return file;
}

void RegistryFile::Rebuild() {
  state_.clear();
  for (const Section& section : sections_) {
    std::string key = NormalizeKey(section.key);
    if (key.empty()) continue;
    if (section.remove) {
      if (!HasKey(key)) continue;
      // The subkeys are exactly the keys from "key\" up to "key]": ']' follows '\'.
      state_.erase(key);
      state_.erase(state_.lower_bound(key + "\\"), state_.lower_bound(key + "]"));
      size_t parent_end = key.rfind('\\');
      if (parent_end != std::string::npos) state_[key.substr(0, parent_end)];  // it stays
      continue;
    }
    KeyState& state = state_[key];
    for (const Line& line : section.lines) {
      if (line.value) SetValueState(&state.values, *line.value);
    }
  }
}

std::optional<std::string> RegistryFile::IgnoredLine() const {
  if (first_ignored_line_ == 0) return std::nullopt;
  return AtLine(origin_, first_ignored_line_, "line not understood, ignored");
}

std::optional<RegistryFile::Value> RegistryFile::Find(const std::string& key,
                                                      const std::string& name) const {
  auto it = state_.find(NormalizeKey(key));
  if (it == state_.end()) return std::nullopt;
  auto value = it->second.values.find(LowerCase(name));
  if (value == it->second.values.end()) return std::nullopt;
  return value->second;
}

bool RegistryFile::HasKey(const std::string& key) const {
  std::string wanted = NormalizeKey(key);
  if (state_.count(wanted) != 0) return true;
  std::string prefix = wanted + "\\";
  auto it = state_.lower_bound(prefix);
  return it != state_.end() && it->first.starts_with(prefix);
}

std::optional<std::map<std::string, RegistryFile::Value>> RegistryFile::Values(
    const std::string& key) const {
  auto it = state_.find(NormalizeKey(key));
  if (it != state_.end()) return it->second.values;
  if (HasKey(key)) return std::map<std::string, Value>();
  return std::nullopt;
}

bool RegistryFile::EndsWithLineEnd() const {
  std::string text = Utf8Text();
  return text.empty() || text.back() == '\n';
}

void RegistryFile::EnsureTrailingLineEnd() {
  if (EndsWithLineEnd()) return;
  if (sections_.empty()) {
    preamble_ += eol_;
  } else if (sections_.back().lines.empty()) {
    sections_.back().header_raw += eol_;
  } else {
    sections_.back().lines.back().raw += eol_;
  }
}

void RegistryFile::SetString(const std::string& key, const std::string& name,
                             const std::string& value) {
  RejectLineBreaks(key);
  RejectLineBreaks(name);
  RejectLineBreaks(value);
  if (utf16_ && !(IsValidUtf8(key) && IsValidUtf8(name) && IsValidUtf8(value))) {
    throw Failure::InvalidProcedureCall();
  }
  std::string wanted = NormalizeKey(key);
  if (wanted.empty() || key.find_first_of("[]") != std::string::npos) {
    throw Failure::InvalidProcedureCall();
  }
  RegistryValueLine parsed;
  parsed.name = name;
  parsed.type = REG_SZ;
  parsed.data.assign(value.begin(), value.end());
  parsed.data.push_back(0);
  const std::string text = ValueLineText(name, value);

  // The key's last section, unless a later deletion of it (or of a parent) cuts it off.
  Section* target = nullptr;
  for (auto it = sections_.rbegin(); it != sections_.rend(); ++it) {
    std::string section_key = NormalizeKey(it->key);
    if (section_key.empty()) continue;
    if (it->remove) {
      if (section_key == wanted ||
          wanted.compare(0, section_key.size() + 1, section_key + "\\") == 0) {
        break;
      }
    } else if (section_key == wanted) {
      target = &*it;
      break;
    }
  }

  if (target != nullptr) {
    std::string lower_name = LowerCase(name);
    for (auto it = target->lines.rbegin(); it != target->lines.rend(); ++it) {
      if (it->value && LowerCase(it->value->name) == lower_name) {
        std::string eol = LineEndOf(it->raw);
        it->raw = text + eol;
        it->value = parsed;
        Rebuild();
        return;
      }
    }
    // A new value goes after the section's last non-blank line, before the blank line that
    // separates it from the next section.
    size_t insert_at = target->lines.size();
    while (insert_at > 0 && TrimLine(WithoutLineEnd(target->lines[insert_at - 1].raw)).empty()) {
      --insert_at;
    }
    std::string& before = insert_at == 0 ? target->header_raw : target->lines[insert_at - 1].raw;
    if (LineEndOf(before).empty()) before += eol_;
    Line line;
    line.raw = text + eol_;
    // After a dangling continuation the new line would be read as more hex bytes; a blank
    // line ends the continuation.
    std::string previous = TrimLine(WithoutLineEnd(before));
    if (!previous.empty() && previous.back() == '\\') line.raw = eol_ + line.raw;
    line.value = parsed;
    target->lines.insert(target->lines.begin() + static_cast<ptrdiff_t>(insert_at),
                         std::move(line));
    Rebuild();
    return;
  }

  EnsureTrailingLineEnd();
  std::string all = Utf8Text();
  bool ends_with_blank_line =
      all.size() >= 2 && (all.compare(all.size() - 2, 2, "\n\n") == 0 ||
                          (all.size() >= 3 && all.compare(all.size() - 3, 3, "\n\r\n") == 0));
  Line separator{eol_, std::nullopt};
  if (!ends_with_blank_line) {
    if (sections_.empty()) {
      preamble_ += eol_;
    } else {
      sections_.back().lines.push_back(separator);
    }
  }
  Section section;
  section.header_raw = "[" + key + "]" + eol_;
  section.key = key;
  section.lines.push_back(Line{text + eol_, parsed});
  sections_.push_back(std::move(section));
  Rebuild();
}

void RegistryFile::RemoveKeyTree(const std::string& key) {
  std::string wanted = NormalizeKey(key);
  if (wanted.empty()) return;
  std::string prefix = wanted + "\\";
  std::erase_if(sections_, [&](const Section& section) {
    std::string section_key = NormalizeKey(section.key);
    return section_key == wanted || section_key.compare(0, prefix.size(), prefix) == 0;
  });
  Rebuild();
}

std::string RegistryFile::Utf8Text() const {
  std::string text = preamble_;
  for (const Section& section : sections_) {
    text += section.header_raw;
    for (const Line& line : section.lines) text += line.raw;
  }
  return text;
}

std::string RegistryFile::Text() const {
  // Lossless: the text came from valid UTF-16, and SetString admits only valid UTF-8.
  return utf16_ ? Utf8ToUtf16Le(Utf8Text()) : Utf8Text();
}

void RegistryFile::Save(const std::string& path) const {
  static std::atomic<unsigned> counter{0};
  std::string temp =
      path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) throw Failure::FromErrno(path, errno);
  struct stat existing;
  if (::stat(path.c_str(), &existing) == 0) ::fchmod(fd, existing.st_mode & 07777);
  std::string text = Text();
  int err = posix::WriteAll(fd, text.data(), text.size());
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temp.c_str());
    throw Failure::FromErrno(path, err);
  }
}

}  // namespace corvalith
