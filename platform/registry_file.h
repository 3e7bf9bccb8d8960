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
// case-insensitively. A line that does not parse is kept but ignored, never a failure.
//
// Not thread-safe; each user loads its own copy.
#ifndef CORVALITH_PLATFORM_REGISTRY_FILE_H_
#define CORVALITH_PLATFORM_REGISTRY_FILE_H_

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

class RegistryFile {
 public:
  using Value = std::pair<uint32_t, std::vector<uint8_t>>;

  // A missing (or empty) file gives an empty document with the version 5 header. Throws
  // Failure when the file cannot be read or does not start with a version line.
  static RegistryFile Load(const std::string& path);
  // The same from text already in memory; `origin` names it in failures.
  static RegistryFile Parse(std::string text, const std::string& origin = "registry file");

  // The value's type and bytes; nullopt when the key or the value is missing. `name` "" is
  // the default value.
  std::optional<Value> Find(const std::string& key, const std::string& name) const;
  bool HasKey(const std::string& key) const;
  // Every value of the key, by lower-case name; nullopt when the key is missing.
  std::optional<std::map<std::string, Value>> Values(const std::string& key) const;

  // Writes a REG_SZ value (name "" = the default value), replacing the value in the key's
  // last section or adding a section at the end when the key has none.
  void SetString(const std::string& key, const std::string& name, const std::string& value);
  // Removes every section of the key and of its subkeys.
  void RemoveKeyTree(const std::string& key);

  // The document's text, as Save writes it.
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
  bool EndsWithLineEnd() const;
  void EnsureTrailingLineEnd();

  std::string eol_ = "\r\n";
  std::string preamble_;
  std::vector<Section> sections_;
  std::map<std::string, KeyState> state_;  // by lower-case key: the replayed import
};

}  // namespace corvalith

#endif  // CORVALITH_PLATFORM_REGISTRY_FILE_H_
