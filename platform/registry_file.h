// A registry file in the `.reg` export format: the settings source the POSIX registry reads and
// the file the component's self-registration writes. The same file must import into a real
// Windows registry unchanged, and an administrator edits it by hand, so an edit rewrites only
// the lines it changes: every other section keeps its bytes, comments and line ends.
//
// The document is the file's text cut into a preamble (the version line and whatever precedes
// the first section) and sections (a `[KEY]` or `[-KEY]` line with every line up to the next
// section). Reading replays the sections in file order, as an import would: a section creates
// its key and the key's parents, `[-KEY]` deletes the key with its subkeys, `"Name"=-` deletes a
// value, and a later value replaces an earlier one. Key and value names compare ASCII
// case-insensitively. A line that does not parse is kept but ignored, never a failure; the
// first such line is remembered, so that the administrator can be told.
//
// The file is UTF-8 (with or without a byte-order mark; a REGEDIT4 file's ANSI text is kept
// byte for byte) or UTF-16LE with a byte-order mark, as regedit exports it. Inside, the text is
// UTF-8; a UTF-16 file is written back in UTF-16, so that its untouched lines keep their bytes.
//
// Not thread-safe; each user loads its own copy.
#ifndef CORVALITH_PLATFORM_REGISTRY_FILE_H_
#define CORVALITH_PLATFORM_REGISTRY_FILE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvalith {

inline constexpr char kRegistryHeader[] = "Windows Registry Editor Version 5.00";
inline constexpr char kRegistryHeader4[] = "REGEDIT4";
inline constexpr char kDefaultRegistryPath[] = "/etc/corvalith/registry.reg";
// Settings and a class registration take a few kilobytes; a larger file is refused rather than
// read into memory.
inline constexpr size_t kMaxRegistryFileSize = 1 << 20;

// $CORVALITH_REGISTRY when set and not empty, else /etc/corvalith/registry.reg.
std::string RegistryFilePath();

// One value line of a `.reg` file, as parsed.
struct RegistryValueLine {
  std::string name;           // "" for the default value (@)
  bool remove = false;        // "Name"=-
  uint32_t type = 0;          // REG_SZ, REG_DWORD, or the N of hex(N) (hex: is REG_BINARY)
  std::vector<uint8_t> data;  // as RegQueryValueEx returns it (REG_SZ with its zero)
};

// Parses one logical value line (continuations already joined, line end removed). nullopt for
// anything else: a comment, a blank line, a section line, a malformed value.
std::optional<RegistryValueLine> ParseRegistryValueLine(const std::string& line);

// What keeps the registry file at `path` from being read in full, for the administrator:
// "PATH:LINE: what is wrong", or "PATH: what is wrong" when no one line is to blame. nullopt when
// the file is read in full, and when it is missing (a missing file is an empty registry).
std::optional<std::string> RegistryFileProblem(const std::string& path);

class RegistryFile {
 public:
  using Value = std::pair<uint32_t, std::vector<uint8_t>>;

  // A missing (or empty) file gives an empty document with the version 5 header. Throws
  // Failure when the file cannot be read, is not a regular file, is larger than
  // kMaxRegistryFileSize, is not valid UTF-16 after a UTF-16 byte-order mark (an unpaired
  // surrogate, an odd byte), or does not start with a version line; the description is
  // "PATH:LINE: what is wrong" where one line is to blame.
  static RegistryFile Load(const std::string& path);
  // The same from the bytes of a file already in memory; `origin` names it in failures.
  static RegistryFile Parse(std::string bytes, const std::string& origin = "registry file");

  // "ORIGIN:LINE: ..." for the first line that an import ignores: neither blank, a comment, a
  // section header nor a value line. nullopt when every line is read.
  std::optional<std::string> IgnoredLine() const;

  // The value's type and bytes; nullopt when the key or the value is missing. `name` "" is
  // the default value.
  std::optional<Value> Find(const std::string& key, const std::string& name) const;
  bool HasKey(const std::string& key) const;
  // Every value of the key, by lower-case name; nullopt when the key is missing.
  std::optional<std::map<std::string, Value>> Values(const std::string& key) const;

  // Writes a REG_SZ value (name "" = the default value), replacing the value in the key's
  // last section or adding a section at the end when the key has none. Throws Failure for a
  // line break, and for text that is not UTF-8 when the file is UTF-16.
  void SetString(const std::string& key, const std::string& name, const std::string& value);
  // Removes every section of the key and of its subkeys.
  void RemoveKeyTree(const std::string& key);

  // The document's bytes, as Save writes them: in the file's encoding.
  std::string Text() const;
  // Writes a temporary file beside `path` and renames it over `path`, so that a reader never
  // sees half a file. Throws Failure.
  void Save(const std::string& path) const;

 private:
  struct Line {
    std::string raw;                         // with its line end (and continuation lines)
    std::optional<RegistryValueLine> value;  // parsed value, when the line is one
  };
  struct Section {
    std::string header_raw;  // the [..] line with its line end
    std::string key;         // the key name as written
    bool remove = false;     // [-KEY]
    std::vector<Line> lines;
  };
  struct KeyState {
    std::map<std::string, Value> values;  // by lower-case name
  };

  RegistryFile() = default;
  void Rebuild();
  std::string Utf8Text() const;
  bool EndsWithLineEnd() const;
  void EnsureTrailingLineEnd();

  std::string origin_;
  bool utf16_ = false;
  size_t first_ignored_line_ = 0;  // 1-based; 0: none
  std::string eol_ = "\r\n";
  std::string preamble_;
  std::vector<Section> sections_;
  // By lower-case key: the replayed import. Holds the keys that sections created and the
  // parents that outlived a deleted subkey; a key's other parents exist through it, so that
  // a deep key costs its own length, not the sum of its parents' lengths.
  std::map<std::string, KeyState> state_;
};

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_REGISTRY_FILE_H_
