#include "platform/registry_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "platform/failure.h"
#include "platform/posix_environment.h"
#include "platform/registry.h"
#include "platform/testing/file_bytes.h"
#include "platform/testing/memory_environment.h"
#include "platform/testing/temp_directory.h"
#include "platform/unicode.h"

namespace corvalith {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Sz(const std::string& text) {
  Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

TEST(ParseRegistryValueLineTest, ValueLines) {
  struct Case {
    std::string line;
    std::string name;
    uint32_t type;
    Bytes data;
  };
  const Case cases[] = {
      {R"("Dw"=dword:0000000a)", "Dw", REG_DWORD, {10, 0, 0, 0}},
      {R"("Dw"=DWORD:FFFFFFFE)", "Dw", REG_DWORD, {0xFE, 0xFF, 0xFF, 0xFF}},
      {R"("Short"=dword:1)", "Short", REG_DWORD, {1, 0, 0, 0}},
      {R"("Sz"="Junk E-mail")", "Sz", REG_SZ, Sz("Junk E-mail")},
      {R"("Esc"="say \"hi\" in C:\\dir\\")", "Esc", REG_SZ, Sz(R"(say "hi" in C:\dir\)")},
      {R"("Odd"="a\b")", "Odd", REG_SZ, Sz(R"(a\b)")},  // REGEDIT4 leaves lone backslashes
      {R"("Empty"="")", "Empty", REG_SZ, Sz("")},
      {R"("Utf8"="Grüße")", "Utf8", REG_SZ, Sz("Grüße")},
      {R"("Na\"me"="v")", "Na\"me", REG_SZ, Sz("v")},
      {R"(@="default")", "", REG_SZ, Sz("default")},
      {R"(  "Spaced" = dword:00000002  )", "Spaced", REG_DWORD, {2, 0, 0, 0}},
      {R"("Ex"=hex(2):41,00,42,00,00,00)", "Ex", REG_EXPAND_SZ, {0x41, 0, 0x42, 0, 0, 0}},
      {R"("Multi"=hex(7):61,00,00,00,00,00)", "Multi", REG_MULTI_SZ, {0x61, 0, 0, 0, 0, 0}},
      {R"("Bin"=hex:01,fF, 7a)", "Bin", REG_BINARY, {1, 0xFF, 0x7A}},
      {R"("Bin"=hex:)", "Bin", REG_BINARY, {}},
      {R"("Trailing"=hex:01,02,)", "Trailing", REG_BINARY, {1, 2}},
      {R"("Q"=hex(b):01,00,00,00,00,00,00,00)", "Q", 11, {1, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    std::optional<RegistryValueLine> parsed = ParseRegistryValueLine(c.line);
    ASSERT_TRUE(parsed.has_value()) << c.line;
    EXPECT_EQ(parsed->name, c.name) << c.line;
    EXPECT_FALSE(parsed->remove) << c.line;
    EXPECT_EQ(parsed->type, c.type) << c.line;
    EXPECT_EQ(parsed->data, c.data) << c.line;
  }

  std::optional<RegistryValueLine> removal = ParseRegistryValueLine(R"("Gone"=-)");
  ASSERT_TRUE(removal.has_value());
  EXPECT_TRUE(removal->remove);
  EXPECT_EQ(removal->name, "Gone");
}

TEST(ParseRegistryValueLineTest, EverythingElseIsNoValue) {
  const char* lines[] = {
      "",
      "   ",
      "; a comment",
      "[HKEY_LOCAL_MACHINE\\Software]",
      "Windows Registry Editor Version 5.00",
      R"(Name=dword:1)",  // unquoted name
      R"("Unterminated=dword:1)",
      R"("Dw"=dword:123456789)",  // nine digits
      R"("Dw"=dword:)",
      R"("Dw"=dword:12x4)",
      R"("Dw"=qword:1)",
      R"("S"="no end)",
      R"("S"="closed" and more)",
      R"("S"=)",
      R"("S"dword:1)",
      R"("H"=hex:1g)",
      R"("H"=hex:100)",
      R"("H"=hex:01,,02)",
      R"("H"=hex(zz):00)",
      R"("H"=hex(2:00)",
      R"("H"=hex(2)00)",
  };
  for (const char* line : lines) {
    EXPECT_FALSE(ParseRegistryValueLine(line).has_value()) << line;
  }
}

constexpr char kDocument[] =
    "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; settings of the filter\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Corvalith]\r\n"
    "\"DebugLevel\"=dword:00000002\r\n"
    "\"UseJunkMailFolder\"=\"Junk \\\"E-mail\\\"\"\r\n"
    "this line is garbage\r\n"
    "\"Path\"=hex(2):25,00,54,00,\\\r\n"
    "  4d,00,50,00,25,00,\\\r\n"
    "  00,00\r\n"
    "\"HideSpam\"=dword:00000001\r\n"
    "\"HideSpam\"=dword:00000000\r\n"
    "@=\"the default\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Corvalith\\Old]\r\n"
    "\"X\"=dword:1\r\n"
    "\r\n"
    "[-HKEY_LOCAL_MACHINE\\Software\\Corvalith\\Old]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Corvalith]\r\n"
    "\"UseWhiteList\"=dword:00000001\r\n"
    "\"DebugLevel\"=-\r\n"
    "\r\n"
    "[HKEY_CLASSES_ROOT\\CLSID\\{1}\\InprocServer32]\r\n"
    "@=\"/usr/lib/x.so\"";  // no final line end

TEST(RegistryFileTest, ReadsAsAnImportWould) {
  RegistryFile file = RegistryFile::Parse(kDocument);
  using V = std::optional<RegistryFile::Value>;
  const std::string settings = "hkey_local_machine\\SOFTWARE\\corvalith";
  EXPECT_EQ(file.Find(settings, "usejunkmailfolder"), V({REG_SZ, Sz("Junk \"E-mail\"")}));
  EXPECT_EQ(file.Find(settings, "Path"),
            V({REG_EXPAND_SZ, {0x25, 0, 0x54, 0, 0x4D, 0, 0x50, 0, 0x25, 0, 0, 0}}));
  EXPECT_EQ(file.Find(settings, "HideSpam"), V({REG_DWORD, {0, 0, 0, 0}}));  // the later line
  EXPECT_EQ(file.Find(settings, ""), V({REG_SZ, Sz("the default")}));
  EXPECT_EQ(file.Find(settings, "UseWhiteList"), V({REG_DWORD, {1, 0, 0, 0}}));  // 2nd section
  EXPECT_EQ(file.Find(settings, "DebugLevel"), std::nullopt);                    // deleted by "=-"
  EXPECT_EQ(file.Find(settings, "this line is garbage"), std::nullopt);
  EXPECT_FALSE(file.HasKey(settings + "\\Old"));             // deleted by [-...]
  EXPECT_TRUE(file.HasKey("HKEY_LOCAL_MACHINE\\Software"));  // parents come with a key
  EXPECT_EQ(file.Find("HKEY_CLASSES_ROOT\\CLSID\\{1}\\InprocServer32", ""),
            V({REG_SZ, Sz("/usr/lib/x.so")}));
  EXPECT_FALSE(file.HasKey("HKEY_LOCAL_MACHINE\\Software\\Other"));
  EXPECT_EQ(file.Text(), kDocument);
}

TEST(RegistryFileTest, HeadersAndLineEnds) {
  RegistryFile v4 = RegistryFile::Parse("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"A\"=dword:7\n");
  EXPECT_EQ(v4.Find("HKEY_LOCAL_MACHINE\\K", "a"),
            std::optional<RegistryFile::Value>({REG_DWORD, {7, 0, 0, 0}}));
  RegistryFile empty = RegistryFile::Parse("");
  EXPECT_EQ(empty.Text(), "Windows Registry Editor Version 5.00\r\n");
  for (const char* bad : {"[HKEY_LOCAL_MACHINE\\K]\n\"A\"=dword:7\n", "REGEDIT5\n",
                          "Windows Registry Editor Version 6.00\r\n"}) {
    try {
      RegistryFile::Parse(bad, "f.reg");
      ADD_FAILURE() << bad;
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.description(), "f.reg:1: not a registry file (no version line)");
    }
  }
}

// A key's parents exist while it does and outlive its deletion; deleting a missing key creates
// nothing.
TEST(RegistryFileTest, ParentsComeWithAKeyAndOutliveItsDeletion) {
  RegistryFile file = RegistryFile::Parse(
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\B\\C]\n\"V\"=dword:1\n[HKEY_LOCAL_MACHINE\\A2]\n"
      "[-HKEY_LOCAL_MACHINE\\A\\B\\C]\n[-HKEY_LOCAL_MACHINE\\X\\Y]\n");
  EXPECT_TRUE(file.HasKey("HKEY_LOCAL_MACHINE\\A\\B"));
  EXPECT_TRUE(file.HasKey("hkey_local_machine\\a"));
  EXPECT_EQ(file.Values("HKEY_LOCAL_MACHINE\\A"), (std::map<std::string, RegistryFile::Value>{}));
  EXPECT_FALSE(file.HasKey("HKEY_LOCAL_MACHINE\\A\\B\\C"));
  EXPECT_FALSE(file.HasKey("HKEY_LOCAL_MACHINE\\X"));
  EXPECT_EQ(file.Values("HKEY_LOCAL_MACHINE\\X"), std::nullopt);

  file = RegistryFile::Parse(file.Text() + "[-HKEY_LOCAL_MACHINE\\A]\n");
  EXPECT_FALSE(file.HasKey("HKEY_LOCAL_MACHINE\\A\\B"));
  EXPECT_FALSE(file.HasKey("HKEY_LOCAL_MACHINE\\A"));
  EXPECT_TRUE(file.HasKey("HKEY_LOCAL_MACHINE\\A2"));  // a sibling, not a subkey
  EXPECT_TRUE(file.HasKey("HKEY_LOCAL_MACHINE"));
}

// A value line before any section and a broken section header must not be credited to a key.
TEST(RegistryFileTest, StrayValuesBelongToNoKey) {
  RegistryFile file = RegistryFile::Parse(
      "REGEDIT4\n\"Stray\"=dword:1\n[HKEY_LOCAL_MACHINE\\K]\n\"A\"=dword:1\n[HKEY_LOCAL_MACHINE\\"
      "Broken\n\"B\"=dword:2\n");
  EXPECT_EQ(file.Find("HKEY_LOCAL_MACHINE\\K", "B"), std::nullopt);
  EXPECT_EQ(file.Find("HKEY_LOCAL_MACHINE\\K", "Stray"), std::nullopt);
  EXPECT_TRUE(file.Find("HKEY_LOCAL_MACHINE\\K", "A").has_value());
}

// regedit exports UTF-16LE with a byte-order mark by default; older tools and hand edits give
// UTF-8, with or without a mark, and REGEDIT4 files. All read alike, and a file comes back in
// its own encoding.
TEST(RegistryFileTest, ReadsEveryEncodingRegeditAndEditorsWrite) {
  const std::string body =
      "\r\n[HKEY_LOCAL_MACHINE\\Software\\Corvalith]\r\n"
      "\"DebugLevel\"=dword:00000003\r\n"
      "\"UseJunkMailFolder\"=\"Unerw\xC3\xBCnscht;Spam \xF0\x9F\x93\xA7\"\r\n";
  const std::string v5 = "Windows Registry Editor Version 5.00\r\n" + body;
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"UTF-16LE with a byte-order mark", Utf8ToUtf16Le("\xEF\xBB\xBF" + v5)},
      {"UTF-8 with a byte-order mark", "\xEF\xBB\xBF" + v5},
      {"UTF-8", v5},
      {"REGEDIT4", "REGEDIT4\r\n" + body},
      {"UTF-16LE REGEDIT4", Utf8ToUtf16Le("\xEF\xBB\xBFREGEDIT4\r\n" + body)},
  };
  const std::string settings = "HKEY_LOCAL_MACHINE\\Software\\Corvalith";
  for (const Case& c : cases) {
    RegistryFile file = RegistryFile::Parse(c.bytes, "f.reg");
    EXPECT_EQ(file.Find(settings, "DebugLevel"),
              std::optional<RegistryFile::Value>({REG_DWORD, {3, 0, 0, 0}}))
        << c.what;
    EXPECT_EQ(file.Find(settings, "UseJunkMailFolder"),
              std::optional<RegistryFile::Value>(
                  {REG_SZ, Sz("Unerw\xC3\xBCnscht;Spam \xF0\x9F\x93\xA7")}))
        << c.what;
    EXPECT_EQ(file.IgnoredLine(), std::nullopt) << c.what;
    EXPECT_EQ(file.Text(), c.bytes) << c.what;
  }
}

TEST(RegistryFileTest, BrokenUtf16IsAFailureNamingTheLine) {
  const std::string header = Utf8ToUtf16Le("\xEF\xBB\xBFREGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n");
  const std::string high = "\x3D\xD8", low("\x00\xDE", 2);
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"high surrogate before a quote",
       header + Utf8ToUtf16Le("\"A\"=\"") + high + Utf8ToUtf16Le("\"")},
      {"high surrogate at the end", header + Utf8ToUtf16Le("\"A\"=") + high},
      {"low surrogate alone", header + Utf8ToUtf16Le("\"A\"=\"") + low + Utf8ToUtf16Le("\"\r\n")},
      {"odd byte at the end", header + Utf8ToUtf16Le("\"A\"=dword:1") + "\n"},
  };
  for (const Case& c : cases) {
    try {
      RegistryFile::Parse(c.bytes, "f.reg");
      ADD_FAILURE() << c.what;
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.description(),
                "f.reg:3: not valid UTF-16 (an unpaired surrogate or odd byte)")
          << c.what;
      EXPECT_EQ(failure.number(), EINVAL) << c.what;
    }
  }
}

TEST(RegistryFileTest, TheFirstIgnoredLineIsNamed) {
  struct Case {
    std::string text;
    std::optional<std::string> ignored;
  } cases[] = {
      {"REGEDIT4\n\n; comment\n  \n[HKEY_LOCAL_MACHINE\\K]\n\"A\"=dword:1\n\"A\"=-\n"
       "[-HKEY_LOCAL_MACHINE\\K]\n\"H\"=hex:01,\\\n  02\n",
       std::nullopt},
      {kDocument, "f.reg:7: line not understood, ignored"},
      {"REGEDIT4\n\"Stray\"=dword:1\n", "f.reg:2: line not understood, ignored"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K\n\"A\"=dword:1\n",
       "f.reg:2: line not understood, ignored"},
      {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"H\"=hex:01,\\\r\n  zz\r\n\"D\"=dword:\r\n",
       "f.reg:3: line not understood, ignored"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RegistryFile::Parse(c.text, "f.reg").IgnoredLine(), c.ignored) << c.text;
  }
}

// Whatever follows the version line, parsing keeps every byte and never fails: mutated
// documents (bytes changed, lines cut, brackets and backslashes sprinkled in) must come back
// unchanged and survive edits.
TEST(RegistryFileTest, MutatedDocumentsRoundTripAndSurviveEdits) {
  const std::string original = kDocument;
  const size_t header_end = original.find('\n') + 1;
  const char alphabet[] = "[]\\\"=@-,:;\r\n hex(2)dword0aZ\xC3";
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
  for (int round = 0; round < 2000; ++round) {
    std::string text = original;
    for (int edits = 1 + next() % 6; edits > 0; --edits) {
      size_t pos = header_end + next() % (text.size() - header_end);
      switch (next() % 3) {
        case 0:
          text[pos] = alphabet[next() % (sizeof alphabet - 1)];
          break;
        case 1:
          text.erase(pos, 1 + next() % 20);
          break;
        default:
          text.insert(pos, 1, alphabet[next() % (sizeof alphabet - 1)]);
      }
      if (text.size() <= header_end) text = original;
    }
    RegistryFile file = RegistryFile::Parse(text);
    ASSERT_EQ(file.Text(), text);
    file.SetString("HKEY_LOCAL_MACHINE\\Software\\Corvalith", "UseWhiteList", "x");
    file.RemoveKeyTree("HKEY_CLASSES_ROOT\\CLSID");
    EXPECT_EQ(file.Find("HKEY_LOCAL_MACHINE\\Software\\Corvalith", "usewhitelist"),
              std::optional<RegistryFile::Value>({REG_SZ, Sz("x")}))
        << text;
    EXPECT_FALSE(file.HasKey("HKEY_CLASSES_ROOT\\CLSID\\{1}\\InprocServer32")) << text;
    RegistryFile reparsed = RegistryFile::Parse(file.Text());
    EXPECT_EQ(reparsed.Find("HKEY_LOCAL_MACHINE\\Software\\Corvalith", "UseWhiteList"),
              std::optional<RegistryFile::Value>({REG_SZ, Sz("x")}))
        << file.Text();
  }
}

class RegistryFileOnDiskTest : public ::testing::Test {
 protected:
  void Write(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string Read() const { return testing::ReadFileBytes(path_); }

  testing::TempDirectory dir_{"corvalith-reg"};
  std::string path_ = dir_.File("registry.reg");
};

TEST_F(RegistryFileOnDiskTest, EditsLeaveOtherSectionsByteForByte) {
  // The sections the edits must not touch, and the one they change, as the file holds them.
  const std::string settings =
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "; keep me\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Corvalith]\n"
      "\"UseJunkMailFolder\"=\"Junk E-mail\"\t \n"
      "\"Path\"=hex(2):25,00,\\\n"
      "    00,00\n";
  const std::string server =
      "\n"
      "[HKEY_CLASSES_ROOT\\CLSID\\{A}\\InprocServer32]\n"
      "@=\"/old.so\"\n";
  const std::string sibling =
      "\n"
      "[HKEY_CLASSES_ROOT\\CLSID\\{A}2]\n"
      "@=\"sibling\"\n";
  Write(settings +
        "\n"
        "[HKEY_CLASSES_ROOT\\CLSID\\{A}]\r\n"
        "@=\"Old\"\r\n"
        "\"ThreadingModel\"=\"Both\"\r\n" +
        server + sibling);
  RegistryFile file = RegistryFile::Load(path_);
  file.SetString("HKEY_CLASSES_ROOT\\clsid\\{a}", "", "New \"x\" C:\\");
  file.SetString("HKEY_CLASSES_ROOT\\CLSID\\{A}", "Added", "v");
  file.SetString("HKEY_CLASSES_ROOT\\AppID\\{B}", "Name", "n");
  file.Save(path_);

  const std::string added_section =
      "\n"
      "[HKEY_CLASSES_ROOT\\AppID\\{B}]\n"
      "\"Name\"=\"n\"\n";
  const std::string edited = settings +
                             "\n"
                             "[HKEY_CLASSES_ROOT\\CLSID\\{A}]\r\n"
                             // the replaced line keeps its own line end
                             "@=\"New \\\"x\\\" C:\\\\\"\r\n"
                             "\"ThreadingModel\"=\"Both\"\r\n"
                             // new lines use the file's line end
                             "\"Added\"=\"v\"\n" +
                             server + sibling + added_section;
  EXPECT_EQ(Read(), edited);
  RegistryFile reread = RegistryFile::Load(path_);
  EXPECT_EQ(reread.Find("HKEY_CLASSES_ROOT\\CLSID\\{A}", ""),
            std::optional<RegistryFile::Value>({REG_SZ, Sz("New \"x\" C:\\")}));

  reread.RemoveKeyTree("HKEY_CLASSES_ROOT\\CLSID\\{A}");
  EXPECT_FALSE(reread.HasKey("HKEY_CLASSES_ROOT\\CLSID\\{A}"));
  EXPECT_FALSE(reread.HasKey("HKEY_CLASSES_ROOT\\CLSID\\{A}\\InprocServer32"));
  EXPECT_TRUE(reread.HasKey("HKEY_CLASSES_ROOT\\CLSID\\{A}2"));
  reread.Save(path_);
  EXPECT_EQ(Read(), settings + sibling + added_section);
}

// After a [-KEY] the key's earlier section is dead: a new value must go into a new section
// after the deletion, or the import would delete it again.
TEST_F(RegistryFileOnDiskTest, SetAfterDeletionAddsASection) {
  RegistryFile file = RegistryFile::Parse(
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K\\Sub]\n\"A\"=\"1\"\n[-HKEY_LOCAL_MACHINE\\K]");
  file.SetString("HKEY_LOCAL_MACHINE\\K\\Sub", "A", "2");
  EXPECT_EQ(file.Text(),
            "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K\\Sub]\n\"A\"=\"1\"\n[-HKEY_LOCAL_MACHINE\\K]\n\n"
            "[HKEY_LOCAL_MACHINE\\K\\Sub]\n\"A\"=\"2\"\n");
  EXPECT_EQ(file.Find("HKEY_LOCAL_MACHINE\\K\\Sub", "a"),
            std::optional<RegistryFile::Value>({REG_SZ, Sz("2")}));
  EXPECT_THROW(file.SetString("HKEY_LOCAL_MACHINE\\K", "A", "two\nlines"), Failure);

  // A hex line left dangling with a continuation must not swallow the value added after it.
  RegistryFile dangling =
      RegistryFile::Parse("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"H\"=hex:01,\\\n");
  dangling.SetString("HKEY_LOCAL_MACHINE\\K", "A", "v");
  RegistryFile reread = RegistryFile::Parse(dangling.Text());
  EXPECT_EQ(reread.Find("HKEY_LOCAL_MACHINE\\K", "A"),
            std::optional<RegistryFile::Value>({REG_SZ, Sz("v")}))
      << dangling.Text();
  EXPECT_EQ(reread.Find("HKEY_LOCAL_MACHINE\\K", "H"),
            std::optional<RegistryFile::Value>({REG_BINARY, {1}}));
}

TEST_F(RegistryFileOnDiskTest, MissingUnreadableAndUnwritableFiles) {
  RegistryFile missing = RegistryFile::Load(path_);
  EXPECT_FALSE(missing.HasKey("HKEY_LOCAL_MACHINE\\Software"));
  missing.SetString("HKEY_LOCAL_MACHINE\\Software\\Corvalith", "A", "b");
  missing.Save(path_);
  EXPECT_EQ(Read(),
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Corvalith]\r\n\"A\"=\"b\"\r\n");

  try {
    RegistryFile::Load(dir_.path());  // a directory cannot be read as a file
    ADD_FAILURE();
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), EISDIR);
  }
  try {
    missing.Save(dir_.File("no/such/dir.reg"));
    ADD_FAILURE();
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.number(), ENOENT);
  }
}

TEST_F(RegistryFileOnDiskTest, FileRegistryRereadsTheFileAtEachOpen) {
  FileRegistry registry(path_);
  std::unique_ptr<RegistryKey> key;
  EXPECT_EQ(registry.OpenKey(RegistryRoot::kLocalMachine, "Software\\Corvalith", &key),
            ERROR_FILE_NOT_FOUND);  // no file yet

  Write(
      "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software\\Corvalith]\r\n\"HideSpam\"=dword:1\r\n"
      "[HKEY_CLASSES_ROOT\\CLSID\\{A}]\r\n@=\"x\"\r\n");
  ASSERT_EQ(registry.OpenKey(RegistryRoot::kLocalMachine, "software\\corvalith", &key),
            ERROR_SUCCESS);
  uint32_t type = 0;
  Bytes data;
  EXPECT_EQ(key->QueryValue("HIDESPAM", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(data, Bytes({1, 0, 0, 0}));
  EXPECT_EQ(key->QueryValue("Missing", &type, &data), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(registry.OpenKey(RegistryRoot::kClassesRoot, "Software\\Corvalith", &key),
            ERROR_FILE_NOT_FOUND);
  ASSERT_EQ(registry.OpenKey(RegistryRoot::kClassesRoot, "CLSID\\{A}", &key), ERROR_SUCCESS);
  EXPECT_EQ(key->QueryValue("", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, Sz("x"));

  Write("REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software\\Corvalith]\r\n\"HideSpam\"=dword:2\r\n");
  ASSERT_EQ(registry.OpenKey(RegistryRoot::kLocalMachine, "Software\\Corvalith", &key),
            ERROR_SUCCESS);
  EXPECT_EQ(key->QueryValue("HideSpam", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, Bytes({2, 0, 0, 0}));

  Write("not a registry file\n");
  EXPECT_EQ(registry.OpenKey(RegistryRoot::kLocalMachine, "Software\\Corvalith", &key),
            ERROR_FILE_NOT_FOUND);
}

// Self-registration rewrites the settings file; a file regedit wrote must stay UTF-16, its
// untouched lines byte for byte, or the next import would read garbage.
TEST_F(RegistryFileOnDiskTest, EditsKeepAUtf16FileInUtf16) {
  const std::string settings =
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Corvalith]\r\n"
      "\"UseJunkMailFolder\"=\"Courrier ind\xC3\xA9sirable \xF0\x9F\x93\xA7\"\r\n\r\n";
  Write(Utf8ToUtf16Le(settings + "[HKEY_CLASSES_ROOT\\CLSID\\{A}]\r\n@=\"Old\"\r\n"));
  RegistryFile file = RegistryFile::Load(path_);
  file.RemoveKeyTree("HKEY_CLASSES_ROOT\\CLSID\\{A}");
  file.SetString("HKEY_CLASSES_ROOT\\CLSID\\{B}", "", "Neu \xC3\xBC");
  EXPECT_THROW(file.SetString("HKEY_CLASSES_ROOT\\CLSID\\{B}", "Latin1", "\xFC"), Failure);
  file.Save(path_);
  EXPECT_EQ(Read(),
            Utf8ToUtf16Le(settings + "[HKEY_CLASSES_ROOT\\CLSID\\{B}]\r\n@=\"Neu \xC3\xBC\"\r\n"));
  EXPECT_EQ(RegistryFile::Load(path_).Find("HKEY_CLASSES_ROOT\\CLSID\\{B}", ""),
            std::optional<RegistryFile::Value>({REG_SZ, Sz("Neu \xC3\xBC")}));
}

// A huge file, or a device or pipe in the file's place, is refused before it is read: reading
// must neither hang nor fill the memory.
TEST_F(RegistryFileOnDiskTest, OnlyARegularFileWithinTheCapIsRead) {
  const std::string header = "REGEDIT4\r\n";
  Write(header + std::string(kMaxRegistryFileSize - header.size(), ';'));
  EXPECT_NO_THROW(RegistryFile::Load(path_));
  Write(header + std::string(kMaxRegistryFileSize + 1 - header.size(), ';'));
  auto failure_of = [](const std::string& path) -> std::optional<Failure> {
    try {
      RegistryFile::Load(path);
    } catch (const Failure& failure) {
      return failure;
    }
    return std::nullopt;
  };
  std::optional<Failure> too_large = failure_of(path_);
  ASSERT_TRUE(too_large.has_value());
  EXPECT_EQ(too_large->description(), path_ + ": larger than 1048576 bytes");
  EXPECT_THROW(RegistryFile::Parse(std::string(kMaxRegistryFileSize + 1, ';')), Failure);

  std::optional<Failure> device = failure_of("/dev/null");
  ASSERT_TRUE(device.has_value());
  EXPECT_EQ(device->description(), "/dev/null: not a regular file");
  const std::string fifo = dir_.File("fifo.reg");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::optional<Failure> pipe = failure_of(fifo);  // opened without waiting for a writer
  std::remove(fifo.c_str());
  ASSERT_TRUE(pipe.has_value());
  EXPECT_EQ(pipe->description(), fifo + ": not a regular file");
}

// Every setting read as "not set" because of one broken file, with nothing in any log, is what
// the administrator must hear of: the problem goes to the event log, once per process.
TEST_F(RegistryFileOnDiskTest, FileRegistryReadsUtf16AndReportsABrokenFileOncePerProcess) {
  testing::MemoryEventLog events;
  FileRegistry registry(path_, &events);
  std::unique_ptr<RegistryKey> key;
  Write(Utf8ToUtf16Le(
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Corvalith]\r\n\"DebugLevel\"=dword:00000002\r\n"));
  ASSERT_EQ(registry.OpenKey(RegistryRoot::kLocalMachine, "Software\\Corvalith", &key),
            ERROR_SUCCESS);
  uint32_t type = 0;
  Bytes data;
  EXPECT_EQ(key->QueryValue("DebugLevel", &type, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, Bytes({2, 0, 0, 0}));
  EXPECT_EQ(RegistryFileProblem(path_), std::nullopt);
  EXPECT_TRUE(events.entries().empty());

  Write(Utf8ToUtf16Le("\xEF\xBB\xBFREGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software\\Corvalith]\r\n") +
        "\x3D\xD8");
  const std::string problem = path_ + ":3: not valid UTF-16 (an unpaired surrogate or odd byte)";
  EXPECT_EQ(RegistryFileProblem(path_), problem);
  EXPECT_EQ(registry.OpenKey(RegistryRoot::kLocalMachine, "Software\\Corvalith", &key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(registry.OpenKey(RegistryRoot::kLocalMachine, "Software\\Corvalith", &key),
            ERROR_FILE_NOT_FOUND);
  testing::MemoryEventLog other_events;
  FileRegistry other(path_, &other_events);
  EXPECT_EQ(other.OpenKey(RegistryRoot::kLocalMachine, "Software\\Corvalith", &key),
            ERROR_FILE_NOT_FOUND);

  EXPECT_TRUE(other_events.entries().empty());
  std::vector<EventLogEntry> entries = events.entries();
  ASSERT_EQ(entries.size(), 1u);
  const std::string message = "Registry file not read in full: " + problem;
  EXPECT_EQ(entries[0].source, "CorvalithFilter");
  EXPECT_EQ(entries[0].type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(entries[0].event_id, kRegistryFileEventId);
  EXPECT_EQ(entries[0].strings, std::vector<std::string>{message});
  EXPECT_EQ(entries[0].data, Sz(message));
  EXPECT_EQ(events.registrations(), events.deregistrations());
}

TEST_F(RegistryFileOnDiskTest, PathComesFromTheEnvironment) {
  const char* saved = std::getenv("CORVALITH_REGISTRY");
  std::string saved_value = saved ? saved : "";
  setenv("CORVALITH_REGISTRY", path_.c_str(), 1);
  EXPECT_EQ(RegistryFilePath(), path_);
  Write("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Corvalith]\n");
  std::unique_ptr<RegistryKey> key;
  EXPECT_EQ(FileRegistry().OpenKey(RegistryRoot::kLocalMachine, "Software\\Corvalith", &key),
            ERROR_SUCCESS);
  unsetenv("CORVALITH_REGISTRY");
  EXPECT_EQ(RegistryFilePath(), "/etc/corvalith/registry.reg");
  if (saved) setenv("CORVALITH_REGISTRY", saved_value.c_str(), 1);
}

}  // namespace
}  // namespace corvalith
