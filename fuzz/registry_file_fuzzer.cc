// A registry file as an administrator (or anyone who can write it) may leave it: a refusal
// names its reason without the file's control characters, an unedited document keeps its
// bytes (UTF-8 or UTF-16), and an edit of the settings key reads back through the next
// reader while every other value of the key stays as it was.
#include <map>
#include <optional>
#include <string>

#include "fuzz_check.h"
#include "logging/control_characters.h"
#include "platform/failure.h"
#include "platform/registry.h"
#include "platform/registry_file.h"
#include "platform/text.h"

namespace {

constexpr char kSettingsKey[] = "HKEY_LOCAL_MACHINE\\Software\\Corvalith";
constexpr char kEditedName[] = "Edited";
// Both escapes of the format, so that the written line must quote them.
constexpr char kEditedValue[] = "C:\\dir \"quoted\"";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvalith;
  const std::string text = fuzz::Bytes(data, size);
  std::optional<RegistryFile> file;
  try {
    file = RegistryFile::Parse(text);
  } catch (const Failure& failure) {
    // Not a registry file; the reason goes into a log record or onto a terminal.
    FUZZ_CHECK(!HasControlCharacter(failure.description()));
    return 0;
  }
  FUZZ_CHECK(text.empty() || file->Text() == text);
  file->IgnoredLine();

  auto before = file->Values(kSettingsKey);
  file->SetString(kSettingsKey, kEditedName, kEditedValue);
  RegistryFile reread = RegistryFile::Parse(file->Text());
  auto after = reread.Values(kSettingsKey);
  FUZZ_CHECK(after.has_value());
  std::string expected = kEditedValue;
  RegistryFile::Value edited{REG_SZ, std::vector<uint8_t>(expected.begin(), expected.end())};
  edited.second.push_back(0);
  FUZZ_CHECK(reread.Find(kSettingsKey, kEditedName) == edited);
  std::map<std::string, RegistryFile::Value> expected_values =
      before.value_or(std::map<std::string, RegistryFile::Value>());
  expected_values[LowerCase(kEditedName)] = edited;
  FUZZ_CHECK(*after == expected_values);

  reread.RemoveKeyTree(kSettingsKey);
  FUZZ_CHECK(!RegistryFile::Parse(reread.Text()).HasKey(kSettingsKey));
  return 0;
}
