// End-to-end tests of the real `corvalith` binary in a temporary home: what an administrator
// or a script sees — output, exit status, files — with the real store, filter and engine.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "mailhost/testing/host_test_support.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using namespace corvalith::host::testing;

constexpr char kAlice[] = "alice@example.com";
const std::string kRoot = "file://./backofficestorage/example.com/MBX/alice";

class HostTest : public CorvalithTest {
 protected:
  void InitWithMailbox() {
    ASSERT_EQ(Corvalith({"init"}).status, 0);
    ASSERT_EQ(Corvalith({"mailbox", "add", kAlice}).status, 0);
  }

  std::vector<Json> Items(const std::string& folder) {
    Outcome run = Corvalith({"--json", "ls", kAlice, folder});
    EXPECT_EQ(run.status, 0) << run.err;
    return run.JsonLines();
  }

  // The answer of train for the mailbox's Inbox taught as ham.
  Json TrainInboxAsHam(const std::string& mailbox) {
    Outcome run = Corvalith({"--json", "train", mailbox, "--ham", "Inbox"});
    EXPECT_EQ(run.status, 0) << run.err;
    return run.JsonLines().at(0)["ham"];
  }

  // Bob beside alice, each with the same mail in Inbox, taught by train. Answers alice's item.
  std::string MailForAliceAndBob() {
    EXPECT_EQ(Corvalith({"mailbox", "add", kBob}).status, 0);
    std::string url;
    for (const char* mailbox : {kAlice, kBob}) {
      Outcome run = Corvalith({"--json", "deliver", mailbox, MessageFile("m.eml", kMail)});
      EXPECT_EQ(run.status, 0) << run.err;
      if (url.empty()) url = run.JsonLines().at(0)["url"];
      EXPECT_GT(TrainInboxAsHam(mailbox)["learned"], 0);
    }
    return url;
  }

  // Removes alice, named in another case: every command takes her for unknown, her mail and
  // her filter's files stay. Answers the remove's answer.
  Json RemoveAlice() {
    Outcome run = Corvalith({"--json", "mailbox", "remove", "Alice@Example.COM"});
    EXPECT_EQ(run.status, 0) << run.err;
    const Json removed = run.JsonLines().at(0);
    EXPECT_EQ(removed["mailbox"], kAlice);
    EXPECT_EQ(removed["purged"], false);
    EXPECT_EQ(removed["kept_files"],
              Json::array({(Data() / "alice.dat").string(), (Data() / "alice.dat.wlt").string()}));
    EXPECT_EQ(Corvalith({"--json", "mailbox", "list"}).JsonLines(),
              std::vector<Json>{Json({{"mailbox", kBob}, {"url", kBobRoot}})});
    Outcome ls = Corvalith({"ls", kAlice});
    EXPECT_EQ(ls.status, 1);
    EXPECT_NE(ls.err.find("unknown mailbox"), std::string::npos) << ls.err;
    EXPECT_EQ(Corvalith({"deliver", kAlice, MessageFile("m.eml", kMail)}).status, 67);
    Outcome again = Corvalith({"mailbox", "remove", kAlice});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("unknown mailbox"), std::string::npos) << again.err;
    for (const char* file : {"alice.dat", "alice.dat.wlt", "global.wlt"}) {
      EXPECT_TRUE(fs::exists(Data() / file)) << file;
    }
    return removed;
  }

  // Adding alice again brings back her mailbox with the mail the removal kept.
  void AddAliceBack(const std::string& url) {
    Outcome run = Corvalith({"--json", "mailbox", "add", "ALICE@example.com"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.JsonLines().at(0)["mailbox"], kAlice);
    EXPECT_EQ(run.JsonLines().at(0)["restored"], true);
    EXPECT_EQ(Corvalith({"--json", "show", url}).status, 0) << url;
    EXPECT_EQ(Corvalith({"--json", "mailbox", "list"}).JsonLines().size(), 2u);
  }

  // Purges alice, named in another case, kept by a removal or not: her mail, filter files and
  // what train taught her go; nothing of bob's or the domain's. A new alice starts afresh.
  void PurgeAlice(const std::string& url) {
    auto history_of = [&](const char* mailbox) {
      Outcome history = Corvalith({"--json", "history", mailbox});
      EXPECT_EQ(history.status, 0) << history.err;
      return history.JsonLines().size();
    };
    EXPECT_GT(history_of(kAlice), 0u);
    Outcome run = Corvalith({"--json", "mailbox", "remove", "--purge", "aLiCe@example.com"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json purged = run.JsonLines().at(0);
    EXPECT_EQ(purged["mailbox"], kAlice);
    EXPECT_EQ(purged["purged"], true);
    EXPECT_EQ(purged["deleted_files"],
              Json::array({(Data() / "alice.dat").string(), (Data() / "alice.dat.wlt").string()}));
    for (const char* file : {"alice.dat", "alice.dat.wlt"}) {
      EXPECT_FALSE(fs::exists(Data() / file)) << file;
    }
    for (const char* file : {"bob.dat", "bob.dat.wlt", "global.wlt"}) {
      EXPECT_TRUE(fs::exists(Data() / file)) << file;
    }
    EXPECT_EQ(Corvalith({"--json", "ls", kBob, "Inbox"}).JsonLines().size(), 2u)
        << "bob's mail and manual";
    EXPECT_EQ(TrainInboxAsHam(kBob)["learned"], 0) << "what bob was taught is remembered";
    EXPECT_EQ(Corvalith({"show", url}).status, 1) << "alice's mail is gone";
    EXPECT_EQ(history_of(kAlice), 0u) << "her addresses and subjects go with her mail";
    EXPECT_GT(history_of(kBob), 0u);
    Outcome again = Corvalith({"mailbox", "remove", "--purge", kAlice});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("unknown mailbox"), std::string::npos) << again.err;

    Outcome added = Corvalith({"--json", "mailbox", "add", kAlice});
    ASSERT_EQ(added.status, 0) << added.err;
    EXPECT_EQ(added.JsonLines().at(0)["restored"], false);
    EXPECT_TRUE(Items("Inbox").empty());
    ASSERT_EQ(Corvalith({"deliver", kAlice, MessageFile("m.eml", kMail)}).status, 0);
    EXPECT_GT(TrainInboxAsHam(kAlice)["learned"], 0) << "train forgot what alice was taught";
  }

  fs::path Data() const { return home_ / "data/example.com"; }

  static constexpr char kBob[] = "bob@example.com";
  const std::string kBobRoot = "file://./backofficestorage/example.com/MBX/bob";
  const std::string kMail = Message("Ann <ann@a.example>", "Minutes", "the minutes of today");
};

TEST_F(HostTest, InitCreatesTheHomeOnceAndNeverOverwrites) {
  Outcome first = Corvalith({"--json", "init"});
  ASSERT_EQ(first.status, 0) << first.err;
  for (const char* file : {"store.db", "registry.reg", "data/cvusrmnl.sys"}) {
    EXPECT_TRUE(fs::is_regular_file(home_ / file)) << file;
  }
  std::string registry = ReadFile(home_ / "registry.reg");
  EXPECT_TRUE(registry.starts_with("Windows Registry Editor Version 5.00\r\n"));
  EXPECT_NE(registry.find("[HKEY_LOCAL_MACHINE\\Software\\Corvalith]"), std::string::npos);
  EXPECT_NE(registry.find("\"UseJunkMailFolder\"=\"Junk E-mail\""), std::string::npos);
  const char* source = std::getenv("CORVALITH_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  EXPECT_EQ(ReadFile(home_ / "data/cvusrmnl.sys"),
            ReadFile(fs::path(source) / "provisioning/cvusrmnl.sys"));

  // An administrator's edits survive a second init, which creates nothing.
  WriteFile(home_ / "registry.reg", "REGEDIT4\r\n; edited\r\n");
  Outcome second = Corvalith({"--json", "init"});
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(second.JsonLines().at(0)["created"], Json::array());
  EXPECT_EQ(ReadFile(home_ / "registry.reg"), "REGEDIT4\r\n; edited\r\n");
}

TEST_F(HostTest, CommandsOtherThanInitNeedAHome) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"mailbox", "list"}, {"ls", kAlice}, {"batch"}}) {
    Outcome run = Corvalith(args);
    EXPECT_EQ(run.status, 1) << args[0];
    EXPECT_NE(run.err.find("corvalith init"), std::string::npos) << run.err;
  }
  EXPECT_FALSE(fs::exists(home_));
}

TEST_F(HostTest, MailboxAddIsIdempotentAndListed) {
  ASSERT_EQ(Corvalith({"init"}).status, 0);
  Outcome added = Corvalith({"--json", "mailbox", "add", kAlice});
  ASSERT_EQ(added.status, 0) << added.err;
  EXPECT_EQ(added.JsonLines().at(0)["created"], true);
  EXPECT_EQ(Corvalith({"--json", "mailbox", "add", kAlice}).JsonLines().at(0)["created"], false);
  ASSERT_EQ(Corvalith({"mailbox", "add", "bob@example.org"}).status, 0);

  std::vector<Json> listed = Corvalith({"--json", "mailbox", "list"}).JsonLines();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0]["mailbox"], kAlice);
  EXPECT_EQ(listed[0]["url"], kRoot);
  EXPECT_EQ(listed[1]["mailbox"], "bob@example.org");

  std::vector<Json> folders = Corvalith({"--json", "ls", kAlice}).JsonLines();
  std::vector<std::string> names;
  for (const Json& folder : folders) names.push_back(folder["folder"]);
  EXPECT_EQ(names,
            (std::vector<std::string>{"Deleted Items", "Inbox", "Junk E-mail", "Sent Items"}));
}

// The filter reports a missing whitelist on every mail: a new mailbox has both lists, empty,
// and an administrator's lists are never replaced.
TEST_F(HostTest, MailboxAddCreatesEmptyWhiteListsAndKeepsExistingOnes) {
  InitWithMailbox();
  const fs::path domain = home_ / "data/example.com";
  for (const char* list : {"global.wlt", "alice.dat.wlt"}) {
    ASSERT_TRUE(fs::is_regular_file(domain / list)) << list;
    EXPECT_EQ(fs::file_size(domain / list), 0u) << list;
  }
  // The domain was made as the filter makes it: its event-log entry was written then.
  EXPECT_NE(ReadFile(home_ / "events.jsonl").find("Database for Exchange Domain example.com"),
            std::string::npos);
  ASSERT_EQ(Corvalith({"deliver", kAlice,
                       MessageFile("m.eml", Message("Ann <ann@a.example>", "hi", "hello"))})
                .status,
            0);
  std::string log = ReadFile(home_ / "data/Corvalith.log");
  EXPECT_NE(log.find("New Mail"), std::string::npos) << log;
  EXPECT_EQ(log.find("InWhiteList"), std::string::npos) << log;

  WriteFile(domain / "global.wlt", "@partner.example\r\n");
  WriteFile(domain / "alice.dat.wlt", "ann@a.example\r\n");
  ASSERT_EQ(Corvalith({"mailbox", "add", kAlice}).status, 0);
  ASSERT_EQ(Corvalith({"mailbox", "add", "bob@example.com"}).status, 0);
  EXPECT_EQ(ReadFile(domain / "global.wlt"), "@partner.example\r\n");
  EXPECT_EQ(ReadFile(domain / "alice.dat.wlt"), "ann@a.example\r\n");
  EXPECT_EQ(ReadFile(domain / "bob.dat.wlt"), "");
}

TEST_F(HostTest, DeliverFromEverySourceKind) {
  InitWithMailbox();
  std::string file = MessageFile("one.eml", Message("Ann <ann@a.example>", "file", "one"));
  MessageFile("dir/a.eml", Message("Ann <ann@a.example>", "dir a", "a"));
  MessageFile("dir/b.eml", Message("Ann <ann@a.example>", "dir b", "b"));
  std::string mbox =
      MessageFile("box.mbox", "From ann@a.example Mon Jan  5 10:00:00 2026\r\n" +
                                  Message("Ann <ann@a.example>", "mbox 1", ">From the start") +
                                  "\r\nFrom ann@a.example Mon Jan  5 10:01:00 2026\r\n" +
                                  Message("Ann <ann@a.example>", "mbox 2", "two"));
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::vector<std::string> subjects;
  };
  const Case cases[] = {
      {{file}, "", {"file"}},
      {{(dir_ / "mail/dir").string()}, "", {"dir a", "dir b"}},
      {{mbox}, "", {"mbox 1", "mbox 2"}},
      {{"-"}, Message("Ann <ann@a.example>", "stdin", "in"), {"stdin"}},
  };
  size_t total = 1;  // the user's manual arrives with the first mail
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--json", "deliver", kAlice};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Outcome run = Corvalith(args, c.input);
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<Json> answers = run.JsonLines();
    ASSERT_EQ(answers.size(), c.subjects.size()) << run.out;
    for (const Json& answer : answers) {
      EXPECT_EQ(answer["ok"], true);
      EXPECT_TRUE(answer["url"].get<std::string>().starts_with(kRoot + "/"));
      EXPECT_TRUE(answer["url"].get<std::string>().ends_with(".EML"));
      EXPECT_TRUE(answer["marker"].is_number_integer());
      EXPECT_TRUE(answer["hidden"].is_boolean());
    }
    total += c.subjects.size();
  }
  std::vector<Json> items = Items("Inbox");
  std::vector<Json> junk = Items("Junk E-mail");
  EXPECT_EQ(items.size() + junk.size(), total);
  std::set<std::string> subjects;
  for (const std::vector<Json>* folder : {&items, &junk}) {
    for (const Json& item : *folder) subjects.insert(item["subject"]);
  }
  for (const Case& c : cases) {
    for (const std::string& subject : c.subjects) EXPECT_TRUE(subjects.count(subject)) << subject;
  }
}

TEST_F(HostTest, InternalMailIsTrustedAndHasNoTransportHeader) {
  InitWithMailbox();
  Outcome run = Corvalith({"--json", "deliver", kAlice, "--internal",
                           MessageFile("i.eml", Message("Carol <carol@example.com>", "int", "x"))});
  ASSERT_EQ(run.status, 0) << run.err;
  Json answer = run.JsonLines().at(0);
  EXPECT_EQ(answer["marker"], 1);
  Json shown = Corvalith({"--json", "show", answer["url"]}).JsonLines().at(0);
  EXPECT_EQ(shown["properties"]["http://schemas.microsoft.com/mapi/proptag/x0C1E001E"], "EX");
  EXPECT_FALSE(shown["properties"].contains("http://schemas.microsoft.com/mapi/proptag/x007D001E"));
  EXPECT_NE(ReadFile(home_ / "data/Corvalith.log").find("(EA) forced to HAM"), std::string::npos);
}

TEST_F(HostTest, UserMovesTeachTheFilterAndRescueWhitelistsTheSender) {
  InitWithMailbox();
  Outcome delivered = Corvalith(
      {"--json", "deliver", kAlice,
       MessageFile("m.eml", Message("Shop <news@shop.example>", "Sale", "buy now cheap offer"))});
  ASSERT_EQ(delivered.status, 0) << delivered.err;
  std::string url = delivered.JsonLines().at(0)["url"];
  ASSERT_EQ(delivered.JsonLines().at(0)["marker"], 1) << "a new user's filter says HAM";

  Outcome to_junk = Corvalith({"--json", "move", url, "junk e-mail"});  // names match any case
  ASSERT_EQ(to_junk.status, 0) << to_junk.err;
  Json junk = to_junk.JsonLines().at(0);
  EXPECT_EQ(junk["url"], kRoot + "/Junk E-mail/" + url.substr(url.rfind('/') + 1));
  EXPECT_EQ(junk["marker"], 2);

  Json stats = Corvalith({"--json", "stats", kAlice}).JsonLines().at(0);
  EXPECT_EQ(stats["spam"], 1);

  Outcome back = Corvalith({"--json", "move", junk["url"], "Inbox"});
  ASSERT_EQ(back.status, 0) << back.err;
  EXPECT_EQ(back.JsonLines().at(0)["marker"], 1);
  stats = Corvalith({"--json", "stats", kAlice}).JsonLines().at(0);
  EXPECT_EQ(stats["spam"], 0);
  EXPECT_EQ(stats["whitelist"], Json::array({"news@shop.example"}));

  // The next mail from the rescued sender is trusted without asking the engine.
  ASSERT_EQ(Corvalith({"deliver", kAlice,
                       MessageFile("n.eml", Message("Shop <news@shop.example>", "Sale 2", "x"))})
                .status,
            0);
  EXPECT_NE(ReadFile(home_ / "data/Corvalith.log").find("(WL) forced to HAM"), std::string::npos);
}

// However a spammer writes the From header (an encoded word is decoded by the store first), a
// rescue whitelists no whole domain.
TEST_F(HostTest, RescuedForgedSenderWhitelistsNoDomain) {
  InitWithMailbox();
  const char* froms[] = {"\"Your bank\" <@gmail.com>", "\"Your bank\" < @gmail.com>",
                         "=?utf-8?q?=3C=40gmail=2Ecom=3E?= <bank@gmail.com>"};
  for (const char* from : froms) {
    std::string url =
        Corvalith({"--json", "deliver", kAlice, "-"}, Message(from, "Verify", "verify now"))
            .JsonLines()
            .at(0)["url"];
    std::string junk_url =
        Corvalith({"--json", "move", url, "Junk E-mail"}).JsonLines().at(0)["url"];
    Outcome back = Corvalith({"--json", "move", junk_url, "Inbox"});
    ASSERT_EQ(back.status, 0) << back.err;
    EXPECT_EQ(back.JsonLines().at(0)["marker"], 1) << from << ": relearned all the same";
  }
  EXPECT_EQ(Corvalith({"--json", "stats", kAlice}).JsonLines().at(0)["whitelist"], Json::array());
  ASSERT_EQ(Corvalith({"deliver", kAlice, "-"}, Message("Bank <bank@gmail.com>", "Hi", "x")).status,
            0);
  EXPECT_EQ(ReadFile(home_ / "data/Corvalith.log").find("(WL) forced to HAM"), std::string::npos);
}

TEST_F(HostTest, BatchAnswersEveryLineThroughOneInstance) {
  InitWithMailbox();
  std::string file = MessageFile("b.eml", Message("Ann <ann@a.example>", "batch", "body"));
  std::string input = Json{{"op", "deliver"}, {"to", kAlice}, {"file", file}, {"id", 1}}.dump() +
                      "\nthis is not json\n" +
                      Json{{"op", "deliver"}, {"to", "nobody@example.com"}, {"file", file}}.dump() +
                      "\n" + Json{{"op", "teleport"}}.dump() + "\n";
  Outcome run = Corvalith({"batch"}, input);
  EXPECT_EQ(run.status, 1) << "bad lines fail the run, after answering them";
  std::vector<Json> answers = run.JsonLines();
  ASSERT_EQ(answers.size(), 4u) << run.out;
  EXPECT_EQ(answers[0]["ok"], true);
  EXPECT_EQ(answers[0]["id"], 1);
  for (size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(answers[i]["ok"], false);
    EXPECT_FALSE(answers[i]["error"].get<std::string>().empty());
    EXPECT_EQ(answers[i]["retry"], false) << "the same request fails again";
  }
  EXPECT_NE(answers[2]["error"].get<std::string>().find("unknown mailbox"), std::string::npos);

  std::string moved =
      Json{{"op", "move"}, {"url", answers[0]["url"]}, {"folder", "Junk E-mail"}}.dump();
  Outcome move = Corvalith({"batch"}, moved + "\n");
  ASSERT_EQ(move.status, 0) << move.out << move.err;
  EXPECT_EQ(move.JsonLines().at(0)["marker"], 2);
  // One instance: one start and one stop notice around all the saves.
  std::string log = ReadFile(home_ / "data/Corvalith.log");
  size_t stops = 0;
  for (size_t at = log.find("stopped."); at != std::string::npos;
       at = log.find("stopped.", at + 1)) {
    ++stops;
  }
  EXPECT_EQ(stops, 2u) << "one per batch process";
}

// regedit exports UTF-16LE, and such a file holds the settings like any other. A registry file
// that cannot be read is named on stderr: the filter would otherwise run with every setting
// unset, and with DebugLevel unset its log would not say so either.
TEST_F(HostTest, RegeditsUtf16ExportIsReadAndABrokenRegistryFileIsAWarning) {
  InitWithMailbox();
  auto utf16 = [](const std::string& ascii) {
    std::string bytes = "\xFF\xFE";
    for (char c : ascii) bytes += std::string{c, '\0'};
    return bytes;
  };
  WriteFile(home_ / "registry.reg", utf16(ReadFile(home_ / "registry.reg")));
  Outcome delivered = Corvalith(
      {"deliver", kAlice, MessageFile("m.eml", Message("Ann <ann@a.example>", "hi", "hello"))});
  EXPECT_EQ(delivered.status, 0) << delivered.err;
  EXPECT_EQ(delivered.err, "");
  EXPECT_NE(ReadFile(home_ / "data/Corvalith.log")
                .find("Loading UseJunkMailFolder (Junk E-mail) from registry."),
            std::string::npos);

  WriteFile(home_ / "registry.reg",
            utf16("Windows Registry Editor Version 5.00\r\n\r\n") + "\x3D\xD8");
  Outcome listed = Corvalith({"mailbox", "list"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  const std::string problem = (home_ / "registry.reg").string() +
                              ":3: not valid UTF-16 (an unpaired surrogate or odd byte)";
  EXPECT_EQ(listed.err, "corvalith: warning: registry file not read in full: " + problem + "\n");

  // The component's own report: one event-log entry, though each setting's lookup reads the file.
  ASSERT_EQ(Corvalith({"deliver", kAlice,
                       MessageFile("n.eml", Message("Ann <ann@a.example>", "again", "hello"))})
                .status,
            0);
  std::istringstream events(ReadFile(home_ / "events.jsonl"));
  std::vector<Json> warnings;
  for (std::string line; std::getline(events, line);) {
    Json entry = Json::parse(line);
    if (entry["type"] == 2) warnings.push_back(entry);
  }
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0]["strings"], Json::array({"Registry file not read in full: " + problem}));
}

TEST_F(HostTest, RegisterWritesAndUnregisterRemovesOnlyTheClassKeys) {
  ASSERT_EQ(Corvalith({"init"}).status, 0);
  std::string before = ReadFile(home_ / "registry.reg");
  Outcome reg = Corvalith({"--json", "register"});
  ASSERT_EQ(reg.status, 0) << reg.err;
  Json answer = reg.JsonLines().at(0);
  std::string clsid = answer["clsid"];
  std::string registry = ReadFile(home_ / "registry.reg");
  EXPECT_NE(registry.find("[HKEY_CLASSES_ROOT\\CLSID\\" + clsid + "\\InprocServer32]"),
            std::string::npos);
  EXPECT_NE(registry.find(answer["library"].get<std::string>()), std::string::npos);
  EXPECT_NE(answer["library"].get<std::string>().find("libCorvalithFilter.so"), std::string::npos);
  EXPECT_TRUE(registry.starts_with(before)) << "the settings keep their bytes";

  ASSERT_EQ(Corvalith({"unregister"}).status, 0);
  registry = ReadFile(home_ / "registry.reg");
  EXPECT_EQ(registry.find("HKEY_CLASSES_ROOT"), std::string::npos);
  EXPECT_NE(registry.find("\"DebugLevel\"=dword:00000001"), std::string::npos);
}

TEST_F(HostTest, BadInputFailsWithOneLineAndAnExitStatus) {
  InitWithMailbox();
  std::string file = MessageFile("ok.eml", Message("Ann <ann@a.example>", "ok", "ok"));
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {{"frobnicate"}, 2, "unknown command"},
      {{"ls", kAlice, "--bogus"}, 2, "unknown option"},
      {{"deliver", kAlice, "--folder", "Inbox", "--folder=Junk E-mail", file}, 2, "more than once"},
      {{"deliver", kAlice}, 64, "usage"},
      {{"move", "only-one-argument"}, 2, "usage"},
      // deliver answers as a mail server's delivery agent: with sysexits codes.
      {{"deliver", "bob@example.com", file}, 67, "unknown mailbox"},
      {{"deliver", "no-at-sign", file}, 64, "bad mailbox address"},
      {{"deliver", "../x@example.com", file}, 64, "bad mailbox address"},
      {{"deliver", kAlice, (dir_ / "missing.eml").string()}, 66, "missing.eml"},
      {{"deliver", kAlice, "--folder", "Nowhere", file}, 67, "unknown folder"},
      {{"move", "http://example.com/x", "Inbox"}, 1, "bad URL"},
      {{"move", kRoot + "/Inbox/none.EML", "Inbox/Sub"}, 1, "no item"},
      {{"show", kRoot}, 1, "bad URL"},
      {{"ls", kAlice, "Nowhere"}, 1, "unknown folder"},
      {{"stats", "carol@example.com"}, 1, "unknown mailbox"},
      {{"mailbox", "remove", "carol@example.com"}, 1, "unknown mailbox"},
      {{"mailbox", "remove", "--purge", "carol@example.com"}, 1, "unknown mailbox"},
      {{"mailbox", "remove", "--purge", "../alice@example.com"}, 1, "bad mailbox address"},
      {{"mailbox", "remove", "alice@example.com/.."}, 1, "bad mailbox address"},
      {{"mailbox", "remove", kAlice, "bob@example.com"}, 2, "usage"},
      {{"mailbox", "add", "bob@example.com", "--purge"}, 2, "--purge is for mailbox remove"},
  };
  for (const Case& c : cases) {
    Outcome run = Corvalith(c.args);
    std::string shown = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
    EXPECT_EQ(run.status, c.status) << shown << ": " << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << shown << ": " << run.err;
    EXPECT_TRUE(run.err.starts_with("corvalith: ")) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
  // Nothing of the failed deliveries reached the store.
  EXPECT_TRUE(Items("Inbox").empty());
}

TEST_F(HostTest, ControlCharactersInNamesAndUrlsAreRefused) {
  InitWithMailbox();
  std::string file = MessageFile("ok.eml", Message("Ann <ann@a.example>", "ok", "ok"));
  ASSERT_EQ(Corvalith({"deliver", kAlice, file}).status, 0);
  std::vector<Json> inbox = Items("Inbox");
  std::string url;
  for (const Json& item : inbox) {
    if (item["subject"] == "ok") url = item["url"];
  }
  ASSERT_FALSE(url.empty());
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const Case cases[] = {
      {{"mailbox", "add", "line\nbreak@dom.test"}, "bad mailbox address"},
      {{"mailbox", "add", "u@dom.test\r\nX: y"}, "bad mailbox address"},
      {{"mailbox", "add", "tab\t@dom.test"}, "bad mailbox address"},
      {{"mailbox", "add", "u@dom\x7f.test"}, "bad mailbox address"},
      {{"deliver", "alice@example.com\n", file}, "bad mailbox address"},
      {{"deliver", kAlice, "--folder", "Inbox\x1b[2J", file}, "bad folder name"},
      {{"ls", kAlice, "Inbox\r"}, "bad folder name"},
      {{"move", url, "Junk E-mail\n"}, "bad folder name"},
      {{"move", kRoot + "/Inbox/a\nb.EML", "Junk E-mail"}, "bad URL"},
      {{"show", url + "\r\nX: y"}, "bad URL"},
  };
  for (const Case& c : cases) {
    Outcome run = Corvalith(c.args);
    std::string shown = c.args[0] + " " + c.args[1];
    EXPECT_EQ(run.status, c.args[0] == "deliver" ? 64 : 1) << shown << ": " << run.err;
    EXPECT_TRUE(run.err.starts_with("corvalith: " + c.says)) << shown << ": " << run.err;
    EXPECT_NE(run.err.find("control character"), std::string::npos) << shown << ": " << run.err;
    // One line, and nothing of the name's control characters on the terminal.
    ASSERT_FALSE(run.err.empty());
    std::string line = run.err.substr(0, run.err.size() - 1);
    EXPECT_EQ(run.err.back(), '\n');
    EXPECT_TRUE(std::none_of(line.begin(), line.end(),
                             [](char ch) { return (ch >= 0 && ch < 0x20) || ch == 0x7F; }))
        << shown << ": " << run.err;
  }
  std::string batch = Json{{"op", "deliver"}, {"to", "x\r\n@dom.test"}, {"file", file}}.dump() +
                      "\n" + Json{{"op", "move"}, {"url", url}, {"folder", "Sub\n"}}.dump() + "\n";
  Outcome run = Corvalith({"batch"}, batch);
  EXPECT_EQ(run.status, 1);
  for (const Json& answer : run.JsonLines()) {
    EXPECT_NE(answer["error"].get<std::string>().find("control character"), std::string::npos)
        << answer.dump();
  }

  EXPECT_EQ(Corvalith({"--json", "mailbox", "list"}).JsonLines().size(), 1u);
  EXPECT_EQ(Items("Inbox"), inbox);
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(home_ / "data")) {
    std::string name = entry.path().filename().string();
    EXPECT_TRUE(std::none_of(name.begin(), name.end(), [](char ch) {
      return (ch >= 0 && ch < 0x20) || ch == 0x7F;
    })) << name;
  }
}

TEST_F(HostTest, HelpForEveryCommand) {
  Outcome usage = Corvalith({"help"});
  ASSERT_EQ(usage.status, 0);
  for (const char* command : {"init", "mailbox", "deliver", "move", "moved", "ls", "show", "stats",
                              "register", "unregister", "batch", "demo", "version"}) {
    EXPECT_NE(usage.out.find(std::string("  ") + command), std::string::npos) << command;
    Outcome help = Corvalith({command, "--help"});
    EXPECT_EQ(help.status, 0) << command;
    EXPECT_TRUE(help.out.starts_with(std::string("usage: corvalith ") + command)) << help.out;
  }
}

// A packager's or an administrator's script asks for the version before any home exists.
TEST_F(HostTest, VersionIsTheProjectsAndNeedsNoHome) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--version"}, {"version"}}) {
    Outcome run = Corvalith(args);
    EXPECT_EQ(run.status, 0) << args[0] << run.err;
    EXPECT_TRUE(std::regex_match(run.out, std::regex(R"(corvalith \d+\.\d+\.\d+\n)"))) << run.out;
    EXPECT_EQ(run.err, "");
  }
  EXPECT_FALSE(fs::exists(home_));
  EXPECT_EQ(Corvalith({"--version", "ls"}).status, 2);
}

// A mail server matches addresses without regard to case (Postfix accepts ALICE@EXAMPLE.COM
// for alice@example.com): every command that names a mailbox finds it so, and works on it as
// it was added, in the store and in the data directory alike.
TEST_F(HostTest, AMailboxIsFoundWhateverTheCaseOfItsAddress) {
  InitWithMailbox();
  const std::string kElodie = "\xC3\x89lodie@Example.org";  // Élodie
  ASSERT_EQ(Corvalith({"mailbox", "add", kElodie}).status, 0);
  const std::string file = MessageFile("m.eml", Message("Ann <ann@a.example>", "hi", "hello"));

  Outcome alice = Corvalith({"--json", "deliver", "ALICE@EXAMPLE.COM", file});
  ASSERT_EQ(alice.status, 0) << alice.err;
  EXPECT_TRUE(alice.JsonLines().at(0)["url"].get<std::string>().starts_with(kRoot + "/Inbox/"));
  Outcome elodie = Corvalith({"--json", "deliver", "\xC3\xA9LODIE@example.ORG", file});
  ASSERT_EQ(elodie.status, 0) << elodie.err;
  EXPECT_TRUE(elodie.JsonLines().at(0)["url"].get<std::string>().starts_with(
      "file://./backofficestorage/Example.org/MBX/\xC3\x89lodie/Inbox/"));
  EXPECT_EQ(Corvalith({"--json", "ls", "Alice@Example.Com"}).JsonLines().size(), 4u);
  EXPECT_EQ(Corvalith({"--json", "ls", "Alice@Example.Com", "inbox"}).JsonLines().size(), 2u)
      << "the mail and the user's manual";
  Outcome stats = Corvalith({"--json", "stats", "aLiCe@example.com"});
  ASSERT_EQ(stats.status, 0) << stats.err;
  EXPECT_EQ(stats.JsonLines().at(0)["mailbox"], kAlice);
  EXPECT_EQ(stats.JsonLines().at(0)["database"], (home_ / "data/example.com/alice.dat").string());
  EXPECT_EQ(stats.JsonLines().at(0)["ham"], 1);
  EXPECT_EQ(Corvalith({"score", "ALICE@example.com", file}).status, 0);
  Outcome batch = Corvalith(
      {"batch"}, "{\"op\":\"deliver\",\"to\":\"Alice@Example.COM\",\"file\":\"" + file + "\"}\n" +
                     "{\"op\":\"score\",\"to\":\"ALICE@example.com\",\"file\":\"" + file + "\"}\n");
  ASSERT_EQ(batch.status, 0) << batch.out;
  EXPECT_TRUE(batch.JsonLines().at(0)["url"].get<std::string>().starts_with(kRoot + "/Inbox/"));
  std::set<std::string> domains;
  for (const fs::directory_entry& entry : fs::directory_iterator(home_ / "data")) {
    if (entry.is_directory()) domains.insert(entry.path().filename());
  }
  EXPECT_EQ(domains, (std::set<std::string>{"Example.org", "example.com"}));

  // A mailbox that differs from one only in case would be the same to the mail server.
  Outcome twin = Corvalith({"mailbox", "add", "Alice@example.com"});
  EXPECT_EQ(twin.status, 1);
  EXPECT_NE(twin.err.find("alice@example.com exists already"), std::string::npos) << twin.err;
  EXPECT_EQ(Corvalith({"--json", "mailbox", "list"}).JsonLines().size(), 2u);
  Outcome bad = Corvalith({"deliver", "al\xFFice@example.com", file});
  EXPECT_EQ(bad.status, 64);
  EXPECT_NE(bad.err.find("not UTF-8"), std::string::npos) << bad.err;
}

// A removed mailbox is unknown to every command; its rows stay in store.db, outside every
// mailbox, until it is added again or purged.
TEST_F(HostTest, RemoveKeepsTheMailUntilAddedAgainOrPurged) {
  InitWithMailbox();
  const std::string url = MailForAliceAndBob();
  EXPECT_EQ(
      RemoveAlice()["kept_mail"],
      (home_ / "store.db").string() + ", as file://./backofficestorage/example.com/REMOVED/alice");
  AddAliceBack(url);
  RemoveAlice();
  PurgeAlice(url);  // kept by the removal
  PurgeAlice(url);  // a mailbox
}

// Root working in a home that belongs to the mail user (a `sudo corvalith deliver`) creates
// files that the mail user's processes (Dovecot, corvalith lmtp) can open.
TEST_F(HostTest, RootWorksInAnotherUsersHomeAsItsOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can become another user";
  const passwd* nobody = getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  const uid_t owner = nobody->pw_uid;
  InitWithMailbox();
  // The home given to the user, and the way to it and to the mail opened.
  fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  ASSERT_EQ(chown(home_.c_str(), owner, nobody->pw_gid), 0);
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(home_)) {
    ASSERT_EQ(lchown(entry.path().c_str(), owner, nobody->pw_gid), 0) << entry.path();
  }
  const std::string file = MessageFile("m.eml", Message("Ann <ann@a.example>", "hi", "hello"));

  Outcome delivered = Corvalith({"deliver", kAlice, file});
  ASSERT_EQ(delivered.status, 0) << delivered.err;
  Outcome added = Corvalith({"mailbox", "add", "bob@example.org"});
  ASSERT_EQ(added.status, 0) << added.err;
  ASSERT_TRUE(fs::exists(home_ / "data/example.com/alice.dat"));
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(home_)) {
    struct stat st;
    ASSERT_EQ(lstat(entry.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, owner) << entry.path();
  }
}

// A home that keeps its mail as Maildirs, where a mail server (Dovecot) finds it.
class MaildirHostTest : public HostTest {
 protected:
  void InitWithMailbox() {
    Outcome init = Corvalith({"init", "--maildir", root_.string()});
    ASSERT_EQ(init.status, 0) << init.err;
    ASSERT_EQ(Corvalith({"mailbox", "add", kAlice}).status, 0);
  }

  fs::path Maildir() const { return root_ / "example.com/alice/Maildir"; }

  // The message files of a folder directory, by their directory and name.
  std::vector<fs::path> Files(const fs::path& folder) const {
    std::vector<fs::path> files;
    for (const char* sub : {"new", "cur"}) {
      for (const fs::directory_entry& entry : fs::directory_iterator(folder / sub)) {
        files.push_back(entry.path());
      }
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  // The file of the item the URL names, in the folder directory.
  fs::path FileOf(const fs::path& folder, const std::string& url) const {
    std::string item = url.substr(url.rfind('/') + 1);
    for (const fs::path& file : Files(folder)) {
      if (file.filename().string().starts_with(item + ",")) return file;
    }
    return {};
  }

  // Moves an item's file as Dovecot does for an IMAP client: a rename into the other folder's
  // cur/, keeping the name, its keyword letters and the table they stand for.
  void MoveAsDovecot(const std::string& url, const fs::path& from, const fs::path& to) {
    fs::path file = FileOf(from, url);
    ASSERT_FALSE(file.empty()) << url;
    fs::copy_file(from / "dovecot-keywords", to / "dovecot-keywords",
                  fs::copy_options::overwrite_existing);
    fs::rename(file, to / "cur" / file.filename());
  }

  Json Stats() { return Corvalith({"--json", "stats", kAlice}).JsonLines().at(0); }

  fs::path root_ = dir_ / "maildirs";
};

TEST_F(MaildirHostTest, InitChoosesTheMaildirStoreOnceAndRefusesToSwitch) {
  Outcome relative = Corvalith({"init", "--maildir", "mail"});
  EXPECT_EQ(relative.status, 1);
  EXPECT_NE(relative.err.find("absolute"), std::string::npos) << relative.err;
  EXPECT_FALSE(fs::exists(home_ / "store.conf"));

  Outcome init = Corvalith({"--json", "init", "--maildir", root_.string() + "/"});
  ASSERT_EQ(init.status, 0) << init.err;
  EXPECT_EQ(init.JsonLines().at(0)["store"], root_.string());
  EXPECT_EQ(ReadFile(home_ / "store.conf"), "maildir " + root_.string() + "\n");
  EXPECT_TRUE(fs::is_directory(root_));
  EXPECT_FALSE(fs::exists(home_ / "store.db")) << "the mail is in the Maildirs";
  EXPECT_EQ(Corvalith({"init", "--maildir", root_.string()}).status, 0) << "the same root again";
  EXPECT_EQ(Corvalith({"init"}).status, 0);
  EXPECT_FALSE(fs::exists(home_ / "store.db"));

  Outcome other = Corvalith({"init", "--maildir", (dir_ / "other").string()});
  EXPECT_EQ(other.status, 1);
  EXPECT_NE(other.err.find("already"), std::string::npos) << other.err;
  EXPECT_EQ(ReadFile(home_ / "store.conf"), "maildir " + root_.string() + "\n");

  // A home whose store.db holds mailboxes keeps it: they would vanish from sight.
  home_ = dir_ / "sqlite-home";
  HostTest::InitWithMailbox();
  Outcome switched = Corvalith({"init", "--maildir", root_.string()});
  EXPECT_EQ(switched.status, 1);
  EXPECT_NE(switched.err.find("store.db"), std::string::npos) << switched.err;
  EXPECT_FALSE(fs::exists(home_ / "store.conf"));
  EXPECT_EQ(Corvalith({"--json", "mailbox", "list"}).JsonLines().size(), 1u);
}

TEST_F(MaildirHostTest, MailLandsInTheMaildirAndTheHostsCommandsWorkOnIt) {
  InitWithMailbox();
  for (const char* folder : {"", ".Junk E-mail", ".Sent Items", ".Deleted Items"}) {
    for (const char* sub : {"cur", "new", "tmp"}) {
      EXPECT_TRUE(fs::is_directory(Maildir() / folder / sub)) << folder << "/" << sub;
    }
  }
  EXPECT_EQ(Corvalith({"--json", "mailbox", "list"}).JsonLines(),
            std::vector<Json>{Json({{"mailbox", kAlice}, {"url", kRoot}})});

  Outcome delivered = Corvalith(
      {"--json", "deliver", kAlice,
       MessageFile("m.eml", Message("Shop <news@shop.example>", "Sale", "buy now cheap offer"))});
  ASSERT_EQ(delivered.status, 0) << delivered.err;
  std::string url = delivered.JsonLines().at(0)["url"];
  EXPECT_EQ(delivered.JsonLines().at(0)["marker"], 1);
  EXPECT_FALSE(FileOf(Maildir(), url).empty()) << "Inbox is the Maildir itself";
  EXPECT_EQ(Items("Inbox").size(), 2u) << "the mail and the user's manual";
  Json shown = Corvalith({"--json", "show", url}).JsonLines().at(0);
  EXPECT_EQ(shown["properties"]["urn:schemas:httpmail:subject"], "Sale");
  EXPECT_NE(shown["header"].get<std::string>().find("From: Shop"), std::string::npos);

  Json junk = Corvalith({"--json", "move", url, "Junk E-mail"}).JsonLines().at(0);
  EXPECT_EQ(junk["marker"], 2);
  EXPECT_TRUE(FileOf(Maildir(), url).empty());
  EXPECT_FALSE(FileOf(Maildir() / ".Junk E-mail", junk["url"]).empty());
  std::map<std::string, int> counts;
  for (const Json& folder : Corvalith({"--json", "ls", kAlice}).JsonLines()) {
    counts[folder["folder"]] = folder["items"];
  }
  EXPECT_EQ(counts,
            (std::map<std::string, int>{
                {"Deleted Items", 0}, {"Inbox", 1}, {"Junk E-mail", 1}, {"Sent Items", 0}}));
  EXPECT_EQ(Stats()["spam"], 1);

  // Learned: the same mail again is spam, and lands in the junk-mail folder, marked for Dovecot.
  Outcome spam = Corvalith({"--json", "deliver", kAlice, (dir_ / "mail/m.eml").string()});
  ASSERT_EQ(spam.status, 0) << spam.err;
  Json spam_state = spam.JsonLines().at(0);
  EXPECT_EQ(spam_state["marker"], 2);
  EXPECT_TRUE(spam_state["url"].get<std::string>().starts_with(kRoot + "/Junk E-mail/"));
  fs::path spam_file = FileOf(Maildir() / ".Junk E-mail", spam_state["url"]);
  ASSERT_FALSE(spam_file.empty());
  EXPECT_NE(spam_file.filename().string().find(":2,"), std::string::npos) << "in cur/, flagged";
  EXPECT_NE(ReadFile(Maildir() / ".Junk E-mail/dovecot-keywords").find("$Junk"), std::string::npos);

  Json back = Corvalith({"--json", "move", junk["url"], "Inbox"}).JsonLines().at(0);
  EXPECT_EQ(back["marker"], 1);
  Json stats = Stats();
  EXPECT_EQ(stats["spam"], 0);
  EXPECT_EQ(stats["whitelist"], Json::array({"news@shop.example"}));

  // A mail server passes the authenticated sender of a submission: such mail is internal.
  const std::string kAddressType = "http://schemas.microsoft.com/mapi/proptag/x0C1E001E";
  for (const auto& [sasl_user, type] : {std::pair{"carol", "EX"}, std::pair{"", "SMTP"}}) {
    Outcome run = Corvalith({"--json", "deliver", kAlice, "--sasl-user", sasl_user, "-"},
                            Message("Carol <carol@example.com>", "from inside", "x"));
    ASSERT_EQ(run.status, 0) << run.err;
    Json properties =
        Corvalith({"--json", "show", run.JsonLines().at(0)["url"]}).JsonLines().at(0)["properties"];
    EXPECT_EQ(properties[kAddressType], type) << "--sasl-user '" << sasl_user << "'";
  }
  EXPECT_NE(ReadFile(home_ / "data/Corvalith.log").find("(EA) forced to HAM"), std::string::npos)
      << "the filter trusts it";
}

TEST_F(MaildirHostTest, DeliverAnswersTheMailServerWithSysexitsCodes) {
  InitWithMailbox();
  std::string file = MessageFile("m.eml", Message("Ann <ann@a.example>", "hi", "hello"));
  EXPECT_EQ(Corvalith({"deliver", kAlice, file}).status, 0);
  EXPECT_EQ(Corvalith({"deliver", "bob@example.com", file}).status, 67);
  EXPECT_EQ(Corvalith({"deliver", kAlice, "--folder", "Nowhere", file}).status, 67);
  EXPECT_EQ(Corvalith({"deliver", kAlice, "-"}).status, 66) << "nothing on stdin";
  // A folder whose tmp/ cannot take the message: the store fails, and the server tries again.
  fs::remove_all(Maildir() / "tmp");
  WriteFile(Maildir() / "tmp", "");
  std::vector<fs::path> before = Files(Maildir());
  Outcome failed = Corvalith({"deliver", kAlice, file});
  EXPECT_EQ(failed.status, 75) << failed.err;
  EXPECT_EQ(Files(Maildir()), before);
}

// A batch answer says, from the failure's kind, whether the same request may succeed later.
TEST_F(MaildirHostTest, BatchSaysWhetherAFailedRequestMayBeTriedAgain) {
  InitWithMailbox();
  std::string file = MessageFile("m.eml", Message("Ann <ann@a.example>", "hi", "hello"));
  const std::string deliver = Json{{"op", "deliver"}, {"to", kAlice}, {"file", file}}.dump();
  const std::string input =
      deliver + "\n" +
      Json{{"op", "deliver"}, {"to", kAlice}, {"folder", "Nowhere"}, {"file", file}}.dump() + "\n" +
      std::string(70000, 'x') + "\n";
  std::vector<Json> answers = Corvalith({"batch"}, input).JsonLines();
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[0]["ok"], true);
  EXPECT_FALSE(answers[0].contains("retry"));
  EXPECT_EQ(answers[1]["retry"], false) << answers[1];
  EXPECT_EQ(answers[2]["retry"], false) << answers[2];
  // A folder whose tmp/ cannot take the message: the store fails, for now.
  fs::remove_all(Maildir() / "tmp");
  WriteFile(Maildir() / "tmp", "");
  answers = Corvalith({"batch"}, deliver + "\n").JsonLines();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0]["ok"], false);
  EXPECT_EQ(answers[0]["retry"], true) << answers[0];
}

TEST_F(MaildirHostTest, MovedLearnsFromAMoveTheMailServerMade) {
  InitWithMailbox();
  // Stored with CRLF line ends, handed over by the server with LF; its Message-ID folded.
  const std::string raw = "Message-ID:\r\n <sale-1@shop.example>\r\n" +
                          Message("Shop <news@shop.example>", "Sale", "buy now cheap offer");
  std::string lf = raw;
  std::erase(lf, '\r');
  std::string url = Corvalith({"--json", "deliver", kAlice, "-"}, raw).JsonLines().at(0)["url"];
  const fs::path junk = Maildir() / ".Junk E-mail";

  MoveAsDovecot(url, Maildir(), junk);
  Outcome into = Corvalith({"--json", "moved", kAlice, "Junk E-mail"}, lf);
  ASSERT_EQ(into.status, 0) << into.err;
  std::string junk_url = kRoot + "/Junk E-mail/" + url.substr(url.rfind('/') + 1);
  EXPECT_EQ(into.JsonLines().at(0)["url"], junk_url);
  EXPECT_EQ(into.JsonLines().at(0)["marker"], 2);
  EXPECT_EQ(Stats()["spam"], 1) << "relearned as spam";

  MoveAsDovecot(junk_url, junk, Maildir());
  Outcome out = Corvalith({"--json", "moved", kAlice, "Inbox"}, raw);
  ASSERT_EQ(out.status, 0) << out.err;
  EXPECT_EQ(out.JsonLines().at(0)["url"], url);
  EXPECT_EQ(out.JsonLines().at(0)["marker"], 1);
  Json stats = Stats();
  EXPECT_EQ(stats["spam"], 0);
  EXPECT_EQ(stats["whitelist"], Json::array({"news@shop.example"}));

  // No item holds the message, or no such mailbox or folder: nothing changes.
  std::vector<fs::path> inbox = Files(Maildir());
  std::string other = Message("Shop <news@shop.example>", "Sale", "buy now cheaper offer");
  std::string other_id = raw;
  other_id.replace(other_id.find("sale-1"), 6, "sale-2");
  EXPECT_EQ(Corvalith({"moved", kAlice, "Inbox"}, other_id).status, 65);
  EXPECT_EQ(Corvalith({"moved", kAlice, "Inbox"}, other).status, 65);
  EXPECT_EQ(Corvalith({"moved", kAlice, "Junk E-mail"}, raw).status, 65);
  EXPECT_EQ(Corvalith({"moved", "bob@example.com", "Inbox"}, raw).status, 67);
  EXPECT_EQ(Corvalith({"moved", kAlice, "Nowhere"}, raw).status, 67);
  EXPECT_EQ(Corvalith({"moved", kAlice}, raw).status, 64);
  EXPECT_EQ(Files(Maildir()), inbox);
  EXPECT_EQ(Stats(), stats);
}

TEST_F(MaildirHostTest, OfSeveralCopiesMovedTakesOneNotYetHandled) {
  InitWithMailbox();
  const std::string raw = Message("Ann <ann@a.example>", "twice", "the same message");
  std::set<std::string> urls;
  for (int i = 0; i < 2; ++i) {
    std::string url = Corvalith({"--json", "deliver", kAlice, "-"}, raw).JsonLines().at(0)["url"];
    MoveAsDovecot(url, Maildir(), Maildir() / ".Junk E-mail");
    urls.insert(kRoot + "/Junk E-mail/" + url.substr(url.rfind('/') + 1));
  }
  std::set<std::string> handled;
  for (int i = 0; i < 2; ++i) {
    Outcome run = Corvalith({"--json", "moved", kAlice, "Junk E-mail"}, raw);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.JsonLines().at(0)["marker"], 2);
    handled.insert(run.JsonLines().at(0)["url"].get<std::string>());
  }
  EXPECT_EQ(handled, urls);
}

// The mail server's wastebasket may have a name of its own ("Trash" on a stock Debian Dovecot):
// its special use tells moved, and a spam deleted into it is neither relearned nor is its
// sender whitelisted.
TEST_F(MaildirHostTest, MovedIntoTheServersWasteBasketLeavesTheMailAlone) {
  InitWithMailbox();
  const fs::path junk = Maildir() / ".Junk E-mail";
  const fs::path trash = Maildir() / ".Trash";
  for (const char* sub : {"tmp", "new", "cur"}) fs::create_directories(trash / sub);
  WriteFile(trash / "maildirfolder", "");
  const std::string raw = Message("Bank <bank@gmail.com>", "Verify", "verify your account now");
  std::string url = Corvalith({"--json", "deliver", kAlice, "-"}, raw).JsonLines().at(0)["url"];
  std::string junk_url = Corvalith({"--json", "move", url, "Junk E-mail"}).JsonLines().at(0)["url"];
  const Json stats = Stats();
  ASSERT_EQ(stats["spam"], 1);

  MoveAsDovecot(junk_url, junk, trash);
  Outcome run = Corvalith({"--json", "moved", kAlice, "Trash", "--special-use", "\\Trash"}, raw);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.JsonLines().at(0)["marker"], 2);
  EXPECT_EQ(Stats(), stats) << "neither relearned nor whitelisted";
  EXPECT_NE(ReadFile(home_ / "data/Corvalith.log")
                .find("Mail moved by User to Deleted Items - leave untouched"),
            std::string::npos);
}

// Only a mailbox that surely does not exist is an unknown one (67, and 550 over LMTP): a
// mailbox the store cannot look into is a temporary failure (75), so that the mail server
// keeps the mail instead of bouncing it. A mailbox created by root (owner root, mode 0700)
// stops the mail user so; a link loop stops root as well.
TEST_F(MaildirHostTest, AMailboxThatCannotBeReadIsATemporaryFailureNotAnUnknownOne) {
  InitWithMailbox();
  const std::string raw = Message("Ann <ann@a.example>", "hi", "hello");
  ASSERT_EQ(Corvalith({"deliver", "Alice@Example.com", "-"}, raw).status, 0);
  const fs::path readable = Maildir().parent_path() / "Maildir.readable";
  fs::rename(Maildir(), readable);
  fs::create_directory_symlink("Maildir", Maildir());

  // Other spellings too, and an address that might be this mailbox's in other case.
  for (const char* address : {kAlice, "ALICE@example.com", "bob@example.com"}) {
    Outcome run = Corvalith({"deliver", address, "-"}, raw);
    EXPECT_EQ(run.status, 75) << address << ": " << run.err;
    EXPECT_NE(run.err.find("Maildir"), std::string::npos) << run.err;
  }
  EXPECT_EQ(Corvalith({"moved", kAlice, "Inbox"}, raw).status, 75);

  fs::remove(Maildir());
  fs::rename(readable, Maildir());
  EXPECT_EQ(Corvalith({"moved", "ALICE@EXAMPLE.COM", "inbox"}, raw).status, 0);
  EXPECT_EQ(Corvalith({"deliver", "bob@example.com", "-"}, raw).status, 67);
}

// A removed Maildir mailbox's directory is set aside under a name no mailbox can have, with
// everything in it; a purge deletes it without following a link out of it.
TEST_F(MaildirHostTest, RemoveSetsTheMaildirAsideUntilAddedAgainOrPurged) {
  InitWithMailbox();
  const std::string url = MailForAliceAndBob();
  const fs::path kept = root_ / "example.com/.removed-alice";
  EXPECT_EQ(RemoveAlice()["kept_mail"], kept.string());
  EXPECT_FALSE(fs::exists(root_ / "example.com/alice"));
  EXPECT_FALSE(FileOf(kept / "Maildir", url).empty());
  AddAliceBack(url);
  EXPECT_FALSE(fs::exists(kept));

  const fs::path outside = dir_ / "outside";
  WriteFile(outside / "precious", "not alice's");
  fs::create_directory_symlink(outside, Maildir() / "link");
  RemoveAlice();
  // Dovecot makes the Maildir anew for a user it still knows: a second removal would have
  // nowhere to keep its mail, and a purge deletes both.
  fs::create_directories(Maildir() / "cur");
  Outcome again = Corvalith({"mailbox", "remove", kAlice});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("kept already"), std::string::npos) << again.err;
  PurgeAlice(url);  // kept by the removal
  EXPECT_FALSE(fs::exists(kept));
  EXPECT_EQ(ReadFile(outside / "precious"), "not alice's");
  fs::create_directory_symlink(outside, Maildir() / "link");
  PurgeAlice(url);  // a mailbox
  EXPECT_EQ(ReadFile(outside / "precious"), "not alice's");
  EXPECT_TRUE(fs::exists(root_ / "example.com/bob/Maildir"));
}

}  // namespace
