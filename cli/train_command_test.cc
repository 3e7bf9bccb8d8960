// `corvalith train` on the real binary: teaching a user's model from folders of the mailbox in
// either store, from Maildir directories and mbox files; a second run teaching nothing; a mail
// moved from one class to the other; bad input; --dry-run. And the command line's options
// that take several values.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "cli/command_line.h"
#include "mailhost/testing/host_test_support.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using corvalith::host::CommandLine;
using corvalith::host::OptionSpec;
using corvalith::host::ParseCommandLine;
using corvalith::host::UsageError;
using namespace corvalith::host::testing;

constexpr char kAlice[] = "alice@example.com";

std::string Spam(int n) {
  return Message("Pharmacy <deals" + std::to_string(n) + "@cheap-pills.example>",
                 "Cheap pills, discount " + std::to_string(n),
                 "Buy cheap pills now! Discount offer " + std::to_string(n) +
                     ", click http://cheap-pills.example/buy");
}

std::string Ham(int n) {
  return Message("Bob <bob@example.com>", "Meeting notes " + std::to_string(n),
                 "The project meeting agenda, item " + std::to_string(n) + ": budget review.");
}

// The message with every CR LF as LF.
std::string Lf(std::string text) {
  for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.erase(at, 1);
  return text;
}

// An mbox file of the messages (CR LF line ends) as mboxrd writes them: each behind a "From "
// line, a body line of ">"s and "From " quoted with one more ">", every line ending in
// `line_end`.
std::string Mbox(const std::vector<std::string>& messages, const std::string& line_end) {
  std::string mbox;
  for (const std::string& message : messages) {
    mbox += "From sender@example.net Mon Jan  5 10:00:00 2026" + line_end;
    for (size_t at = 0; at < message.size();) {
      size_t end = message.find("\r\n", at);
      std::string line = message.substr(at, end - at);
      const size_t text = line.find_first_not_of('>');
      if (text != std::string::npos && line.compare(text, 5, "From ") == 0) line = ">" + line;
      mbox += line + line_end;
      at = end == std::string::npos ? message.size() : end + 2;
    }
    mbox += line_end;
  }
  return mbox;
}

// Every file under the directory (or the file) with its bytes.
using Files = std::map<std::string, std::string>;
Files Contents(const fs::path& root) {
  if (fs::is_regular_file(root)) return {{root.string(), ReadFile(root)}};
  Files files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[entry.path().string()] = ReadFile(entry.path());
  }
  return files;
}

// The files created, removed or changed since `before`, one a line.
std::string Changes(const Files& before, const fs::path& root) {
  const Files after = Contents(root);
  std::string changes;
  for (const auto& [path, bytes] : before) {
    auto now = after.find(path);
    if (now == after.end()) {
      changes += "removed " + path + "\n";
    } else if (now->second != bytes) {
      changes += "changed " + path + "\n";
    }
  }
  for (const auto& [path, bytes] : after) {
    if (!before.contains(path)) changes += "created " + path + "\n";
  }
  return changes;
}

TEST(SeveralValuesTest, AnOptionTakesTheWordsUpToTheNextOptionAndMayBeGivenAgain) {
  const std::vector<OptionSpec> known = {
      {"--spam", true, true}, {"--ham", true, true}, {"--json", false}, {"--folder", true}};
  CommandLine line =
      ParseCommandLine({"train", "a@b", "--spam", "Junk E-mail", "x.mbox", "--json", "--ham=Inbox",
                        "Archive", "--spam", "y", "--", "--not-an-option"},
                       known);
  EXPECT_EQ(line.positional, (std::vector<std::string>{"a@b", "--not-an-option"}));
  EXPECT_EQ(line.Values("--spam"), (std::vector<std::string>{"Junk E-mail", "x.mbox", "y"}));
  EXPECT_EQ(line.Values("--ham"), (std::vector<std::string>{"Inbox", "Archive"}));
  EXPECT_TRUE(line.Has("--spam") && line.Has("--json"));
  EXPECT_TRUE(line.Values("--folder").empty());

  EXPECT_TRUE(ParseCommandLine({"train", "--spam", "a", "-h"}, known).help);
  EXPECT_THROW(ParseCommandLine({"train", "--spam"}, known), UsageError);
  EXPECT_THROW(ParseCommandLine({"train", "--spam", "--ham", "x"}, known), UsageError);
  // An option with one value still refuses a second, which would replace the first.
  EXPECT_THROW(ParseCommandLine({"deliver", "--folder", "a", "--folder", "b"}, known), UsageError);
  EXPECT_THROW(corvalith::host::AllowOptions(line, {"--ham", "--json"}), UsageError);
}

class TrainTest : public CorvalithTest {
 protected:
  void InitHome(bool maildir) { InitHomeWith(kAlice, maildir); }

  Json Train(const std::vector<std::string>& args, int status = 0) {
    std::vector<std::string> line = {"--json", "train", kAlice};
    line.insert(line.end(), args.begin(), args.end());
    Outcome run = Corvalith(line);
    EXPECT_EQ(run.status, status) << run.err;
    last_err_ = run.err;
    std::vector<Json> answers = run.JsonLines();
    EXPECT_EQ(answers.size(), status == 0 ? 1u : 0u) << run.out;
    return answers.empty() ? Json() : answers[0];
  }

  // learned, relearned, already trained, skipped
  static std::vector<int> Counts(const Json& answer, const char* kind) {
    const Json& c = answer[kind];
    return {c["learned"], c["relearned"], c["already_trained"], c["skipped"]};
  }

  std::pair<int, int> HamAndSpam() {
    Json stats = Corvalith({"--json", "stats", kAlice}).JsonLines().at(0);
    return {stats["ham"], stats["spam"]};
  }

  size_t ItemCount(const std::string& folder) {
    return Corvalith({"--json", "ls", kAlice, folder}).JsonLines().size();
  }

  std::string last_err_;
};

class TrainFromStoreTest : public TrainTest, public ::testing::WithParamInterface<bool> {};

// The filter registered every delivered mail as it judged it. Training hands the engine each
// item exactly as the filter does, on the filter's key: the engine finds its registration and
// corrects it, so the model ends with one mail per item, each in its folder's class. A split or
// key of its own would have taught every mail a second time.
TEST_P(TrainFromStoreTest, EveryItemEndsInItsFoldersClassOnce) {
  ASSERT_NO_FATAL_FAILURE(InitHome(GetParam()));
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(
        Corvalith({"deliver", kAlice, MessageFile(std::to_string(i) + "h.eml", Ham(i))}).status, 0);
    ASSERT_EQ(Corvalith({"deliver", kAlice, "--folder", "Junk E-mail",
                         MessageFile(std::to_string(i) + "s.eml", Spam(i))})
                  .status,
              0);
  }
  const size_t inbox = ItemCount("Inbox"), junk = ItemCount("Junk E-mail");
  ASSERT_EQ(junk, 3u);
  // The mail itself: store.db, or the Maildirs.
  const fs::path mail_root = GetParam() ? dir_ / "maildirs" : home_ / "store.db";
  const Files mail = Contents(mail_root);

  Json first = Train({"--spam", "junk e-mail", "--ham", "INBOX"});
  EXPECT_EQ(first["ok"], true);
  EXPECT_EQ(first["dry_run"], false);
  EXPECT_EQ(Counts(first, "spam"), (std::vector<int>{3, 0, 0, 0}));
  EXPECT_EQ(Counts(first, "ham"), (std::vector<int>{static_cast<int>(inbox), 0, 0, 0}));
  EXPECT_EQ(HamAndSpam(), std::make_pair(static_cast<int>(inbox), 3));
  EXPECT_EQ(Changes(mail, mail_root), "") << "training only reads the mail";

  // Twice changes nothing: not the model, not the record, nothing in the home. The mailbox is
  // the same whatever the case of its address.
  const Files before = Contents(home_);
  Outcome again =
      Corvalith({"train", "Alice@Example.COM", "--spam", "Junk E-mail", "--ham", "Inbox"});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("spam: 0 learned, 0 relearned from ham, 3 already trained"),
            std::string::npos)
      << again.out;
  EXPECT_EQ(Changes(before, home_), "");
}

INSTANTIATE_TEST_SUITE_P(BothStores, TrainFromStoreTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Maildir" : "Sqlite";
                         });

// Mail from outside the store: a Maildir directory with bad files among the good ones, and mbox
// files with LF and with CR LF line ends. The bad files are told and skipped, the rest taught,
// and not a byte of the mail changes.
TEST_F(TrainTest, MaildirDirectoriesAndMboxFilesWithBadMailAmongThem) {
  ASSERT_NO_FATAL_FAILURE(InitHome(false));
  const fs::path maildir = dir_ / "old/.Junk";
  WriteFile(maildir / "cur/1.host:2,S", Spam(1));
  WriteFile(maildir / "cur/2.host:2,", Spam(2));
  WriteFile(maildir / "new/3.host", Spam(3));
  WriteFile(maildir / "new/.hidden", Spam(4));
  WriteFile(maildir / "cur/garbage\x1b.jpg", "\xff\xd8\xff\xe0 JFIF");
  WriteFile(maildir / "cur/empty", "");
  WriteFile(maildir / "cur/no-header", "\r\njust a body\r\n");
  {
    std::string big = Spam(5);  // one byte over the bound: never read
    big.resize((size_t{32} << 20) + 1, 'x');
    WriteFile(maildir / "new/big", big);
  }
  fs::create_symlink(dir_ / "gone", maildir / "cur/dangling");
  ASSERT_EQ(mkfifo((maildir / "cur/fifo").c_str(), 0600), 0);
  // A body line "From me" is quoted in the mbox file.
  const std::string quoted = Ham(2) + "From me\r\n";
  const std::string lf = MessageFile("ham.mbox", Mbox({Ham(1), quoted}, "\n"));
  const std::string crlf = MessageFile("ham-crlf.mbox", Mbox({Ham(3)}, "\r\n"));
  const Files mail = Contents(dir_ / "old");

  Json answer = Train({"--spam", maildir.string(), "--ham", lf, crlf});
  EXPECT_EQ(Counts(answer, "spam"), (std::vector<int>{3, 0, 0, 6}));
  EXPECT_EQ(Counts(answer, "ham"), (std::vector<int>{3, 0, 0, 0}));
  EXPECT_EQ(HamAndSpam(), std::make_pair(3, 3));
  // One line for each, its control characters escaped.
  EXPECT_EQ(std::count(last_err_.begin(), last_err_.end(), '\n'), 6) << last_err_;
  for (const char* told : {"garbage\\x1B.jpg: skipped: no mail header", "empty: skipped: empty",
                           "no-header: skipped: no mail header", "big: skipped: larger than 32 MiB",
                           "dangling: skipped: cannot read", "fifo: skipped: cannot read"}) {
    EXPECT_NE(last_err_.find(told), std::string::npos) << told << "\n" << last_err_;
  }
  EXPECT_EQ(last_err_.find('\x1b'), std::string::npos);
  EXPECT_EQ(Changes(mail, dir_ / "old"), "");

  // The quoted line came out of the mbox unquoted: the same mail in a Maildir is known.
  WriteFile(dir_ / "again/new/1.host", Lf(quoted));
  EXPECT_EQ(Counts(Train({"--ham", (dir_ / "again").string()}), "ham"),
            (std::vector<int>{0, 0, 1, 0}));
}

// A mail taught as ham and then given as spam is relearned: it leaves the ham and joins the
// spam, and counts once.
TEST_F(TrainTest, AMailGivenAsTheOtherClassIsRelearned) {
  ASSERT_NO_FATAL_FAILURE(InitHome(false));
  const std::string mbox = MessageFile("mixed.mbox", Mbox({Ham(1), Spam(1), Spam(2)}, "\n"));
  ASSERT_EQ(Counts(Train({"--ham", mbox}), "ham"), (std::vector<int>{3, 0, 0, 0}));
  ASSERT_EQ(HamAndSpam(), std::make_pair(3, 0));

  const std::string spam = MessageFile("spam.mbox", Mbox({Spam(1), Spam(2), Spam(3)}, "\n"));
  EXPECT_EQ(Counts(Train({"--spam", spam}), "spam"), (std::vector<int>{1, 2, 0, 0}));
  EXPECT_EQ(HamAndSpam(), std::make_pair(1, 3));

  // A model made afresh (its file deleted) is taught everything again.
  fs::remove(home_ / "data/example.com/alice.dat");
  EXPECT_EQ(Counts(Train({"--spam", spam}), "spam"), (std::vector<int>{3, 0, 0, 0}));
  EXPECT_EQ(HamAndSpam(), std::make_pair(0, 3));
}

// --dry-run counts as a run would, a mail given twice included, and writes nothing at all.
// The --spam folders go first: a mail in both classes ends as ham.
TEST_F(TrainTest, DryRunCountsAndWritesNothing) {
  ASSERT_NO_FATAL_FAILURE(InitHome(false));
  const std::string ham = MessageFile("ham.mbox", Mbox({Ham(1), Ham(2)}, "\n"));
  const std::string spam = MessageFile("spam.mbox", Mbox({Spam(1), Ham(2)}, "\n"));
  Files before = Contents(home_);

  Json dry = Train({"--dry-run", "--ham", ham, ham, "--spam", spam});
  EXPECT_EQ(dry["dry_run"], true);
  EXPECT_EQ(Counts(dry, "spam"), (std::vector<int>{2, 0, 0, 0}));
  EXPECT_EQ(Counts(dry, "ham"), (std::vector<int>{1, 1, 2, 0}));
  EXPECT_EQ(Changes(before, home_), "");
  EXPECT_FALSE(fs::exists(home_ / "trained.db"));
  EXPECT_FALSE(fs::exists(home_ / "data/example.com/alice.dat"));

  ASSERT_EQ(Counts(Train({"--ham", ham}), "ham"), (std::vector<int>{2, 0, 0, 0}));
  before = Contents(home_);
  dry = Train({"--dry-run", "--ham", ham, "--spam", spam});
  EXPECT_EQ(Counts(dry, "spam"), (std::vector<int>{1, 1, 0, 0}));
  EXPECT_EQ(Counts(dry, "ham"), (std::vector<int>{0, 1, 1, 0}));
  EXPECT_EQ(Changes(before, home_), "");
}

// A FOLDER that names nothing is a usage error before anything is taught.
TEST_F(TrainTest, AFolderThatNamesNothingIsAUsageErrorAndTeachesNothing) {
  ASSERT_NO_FATAL_FAILURE(InitHome(false));
  const std::string good = MessageFile("good.mbox", Mbox({Spam(1)}, "\n"));
  const std::string eml = MessageFile("one.eml", Spam(2));
  fs::create_directories(dir_ / "plain");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {{"train", kAlice, "--spam", good, "Nowhere"}, 2, "no folder 'Nowhere'"},
      {{"train", kAlice, "--spam", good, "--ham", eml}, 2, "not an mbox file"},
      {{"train", kAlice, "--ham", (dir_ / "plain").string()}, 2, "no Maildir"},
      {{"train", kAlice}, 2, "--spam FOLDER"},
      {{"train", "--spam", good, kAlice}, 2, "usage"},
      {{"train", "carol@example.com", "--spam", good}, 1, "unknown mailbox"},
  };
  const Files before = Contents(home_);
  for (const Case& c : cases) {
    Outcome run = Corvalith(c.args);
    EXPECT_EQ(run.status, c.status) << c.says << ": " << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
  EXPECT_EQ(Changes(before, home_), "");
}

}  // namespace
