// The verdict history on the real binary: what deliveries and moves record in either store
// (verdict, reason, trusted sender, the filter's move, the user's corrections), hostile texts
// stored bounded and shown escaped, a history that cannot be written never failing a delivery,
// and `corvalith history`'s filters and output.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "history/verdict_history.h"
#include "mailhost/testing/host_test_support.h"
#include "platform/unicode.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using corvalith::IsValidUtf8;
using corvalith::history::VerdictHistory;
using corvalith::history::VerdictRow;
using namespace corvalith::host::testing;

constexpr char kAlice[] = "alice@example.com";

// No byte of the text is a control character other than the line ends between lines, and it
// is UTF-8: what a terminal or a script may safely be shown.
void ExpectSafeText(const std::string& text) {
  EXPECT_TRUE(IsValidUtf8(text)) << text;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_FALSE((byte < 0x20 && c != '\n') || byte == 0x7F)
        << "byte " << int{byte} << " in " << text;
  }
}

class HistoryTest : public CorvalithTest {
 protected:
  void InitHome(bool maildir) { InitHomeWith(kAlice, maildir); }

  // The one JSON answer of a command that must succeed.
  Json Answer(const std::vector<std::string>& args) {
    Outcome run = Corvalith(args);
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<Json> lines = run.JsonLines();
    EXPECT_EQ(lines.size(), 1u) << run.out;
    return lines.empty() ? Json() : lines[0];
  }

  Json Deliver(const std::string& name, const std::string& raw,
               const std::vector<std::string>& options = {}) {
    std::vector<std::string> args = {"--json", "deliver", kAlice};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(MessageFile(name, raw));
    return Answer(args);
  }

  // `history --json ARGS`, oldest first.
  std::vector<Json> History(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--json", "history"});
    Outcome run = Corvalith(args);
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<Json> rows = run.JsonLines();
    std::reverse(rows.begin(), rows.end());
    return rows;
  }

  std::string HistoryPath() const { return (home_ / "history.db").string(); }
};

class RecordingTest : public HistoryTest, public ::testing::WithParamInterface<bool> {};

// A user's day: mail judged ham, corrected into the junk folder, the same mail again judged
// spam and moved there by the filter, rescued (its sender whitelisted), the sender's next mail
// trusted, a colleague's mail trusted, and a mail deleted.
TEST_P(RecordingTest, EveryDeliveryAndMoveTheFilterJudgedIsARow) {
  ASSERT_NO_FATAL_FAILURE(InitHome(GetParam()));
  const std::string sale = "Message-ID: <sale-1@shop.example>\r\n" +
                           Message("Shop <news@shop.example>", "Sale", "buy now cheap offer");
  Json first = Deliver("sale.eml", sale);
  ASSERT_EQ(first["marker"], 1);
  Json to_junk = Answer({"--json", "move", first["url"], "Junk E-mail"});
  ASSERT_EQ(to_junk["marker"], 2);
  Json again = Deliver("sale.eml", sale);
  ASSERT_EQ(again["marker"], 2) << "learned from the move";
  Json rescued = Answer({"--json", "move", again["url"], "Inbox"});
  ASSERT_EQ(rescued["marker"], 1);
  Json next = Deliver("next.eml", Message("Shop <news@shop.example>", "New sale", "buy more"));
  ASSERT_EQ(next["marker"], 1);
  ASSERT_EQ(Deliver("colleague.eml", Message("Carol <carol@example.com>", "Lunch", "at noon"),
                    {"--internal"})["marker"],
            1);
  ASSERT_EQ(Answer({"--json", "move", next["url"], "Deleted Items"})["marker"], 1);

  std::vector<Json> rows = History();
  ASSERT_EQ(rows.size(), 7u);
  struct Expected {
    const char* event;
    const char* folder;
    const char* verdict;
    const char* reason;
    const char* trusted;
    bool moved;
    bool scored;
    Json earlier_verdict;
    const char* correction;
  };
  const Expected expected[] = {
      {"delivery", "Inbox", "ham", "parsed", "", false, true, nullptr, ""},
      {"move", "Junk E-mail", "spam", "swapped", "", false, false, "ham", "false negative"},
      {"delivery", "Junk E-mail", "spam", "recognised", "", true, true, nullptr, ""},
      {"move", "Inbox", "ham", "swapped", "", false, false, "spam", "false positive"},
      {"delivery", "Inbox", "ham", "forced", "WL", false, false, nullptr, ""},
      {"delivery", "Inbox", "ham", "forced", "EA", false, false, nullptr, ""},
      {"move", "Deleted Items", "ham", "deleted items", "", false, false, "ham", ""},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const Json& row = rows[i];
    const Expected& want = expected[i];
    SCOPED_TRACE("row " + std::to_string(i) + ": " + row.dump());
    EXPECT_EQ(row["mailbox"], kAlice);
    EXPECT_EQ(row["event"], want.event);
    EXPECT_EQ(row["folder"], want.folder);
    EXPECT_EQ(row["verdict"], want.verdict);
    EXPECT_EQ(row["marker"], want.verdict == std::string("spam") ? 2 : 1);
    EXPECT_EQ(row["reason"], want.reason);
    EXPECT_EQ(row["trusted"], want.trusted);
    EXPECT_EQ(row["moved"], want.moved);
    EXPECT_EQ(row["score"].is_number(), want.scored);
    EXPECT_EQ(row["earlier_verdict"], want.earlier_verdict);
    EXPECT_EQ(row["correction"], want.correction);
  }
  EXPECT_GT(rows[2]["score"].get<double>(), 0.5);
  EXPECT_LT(rows[0]["score"].get<double>(), 0.5);
  for (int i : {0, 1, 2, 3}) {
    EXPECT_EQ(rows[i]["message_id"], "<sale-1@shop.example>");
    EXPECT_EQ(rows[i]["sender"], "Shop <news@shop.example>");
    EXPECT_EQ(rows[i]["subject"], "Sale");
  }
  EXPECT_EQ(rows[4]["subject"], "New sale");
  const std::string url = first["url"];
  EXPECT_EQ(rows[0]["item"], url.substr(url.rfind('/') + 1));
}

INSTANTIATE_TEST_SUITE_P(BothStores, RecordingTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Maildir" : "Sqlite";
                         });

TEST_F(HistoryTest, HostileHeadersAreStoredBoundedAndShownEscaped) {
  ASSERT_NO_FATAL_FAILURE(InitHome(false));
  const std::string subject =
      "\x1B[2J\x1B]0;owned\x07<script>alert(1)</script> caf\xC3\xA9 \xFF\xFE " +
      std::string(100 * 1024, 'A');
  const std::string raw = "Message-ID: <\x1B[31m" + std::string(600, 'i') + "@evil.example>\r\n" +
                          Message("Eve \x1B[1m\x7F <eve@evil.example>", subject, "hello");
  ASSERT_EQ(Deliver("hostile.eml", raw)["marker"], 1);

  const std::vector<Json> rows = History();
  ASSERT_EQ(rows.size(), 1u);
  for (const char* name : {"subject", "sender", "message_id"}) {
    const std::string text = rows[0][name];
    EXPECT_LE(text.size(), corvalith::history::kMaxHeaderTextBytes) << name;
    EXPECT_EQ(text.find('\x1B'), std::string::npos) << name;
    ExpectSafeText(text);
  }
  EXPECT_TRUE(
      rows[0]["subject"].get<std::string>().starts_with("\\x1B[2J\\x1B]0;owned\\x07<script>"))
      << rows[0]["subject"];
  EXPECT_NE(rows[0]["sender"].get<std::string>().find("\\x1B[1m"), std::string::npos);

  Outcome table = Corvalith({"history"});
  ASSERT_EQ(table.status, 0) << table.err;
  ExpectSafeText(table.out);
  EXPECT_NE(table.out.find("\\x1B[2J"), std::string::npos) << table.out;
  EXPECT_NE(table.out.find("\xE2\x80\xA6"), std::string::npos) << "a long subject is cut with …";
  Outcome json = Corvalith({"--json", "history"});
  ExpectSafeText(json.out);
}

// Whatever the file holds, the command's output is safe: a row written behind the host's back
// with raw control characters and bytes that are no UTF-8.
TEST_F(HistoryTest, ARowWrittenBehindTheHostsBackIsEscapedAgain) {
  ASSERT_NO_FATAL_FAILURE(InitHome(false));
  {
    auto history = VerdictHistory::OpenForWriting(HistoryPath());
    VerdictRow row;
    row.time = 1'700'000'000;
    row.mailbox = kAlice;
    history->Record(row);
    ASSERT_EQ(sqlite3_exec(history->database(),
                           "UPDATE verdicts SET subject = char(27) || '[31mred' || char(10) ||"
                           " 'line' || CAST(x'FF' AS TEXT), sender = '\"quoted\" \\ back'",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
  }
  Outcome table = Corvalith({"history"});
  ASSERT_EQ(table.status, 0) << table.err;
  ExpectSafeText(table.out);
  EXPECT_NE(table.out.find("\\x1B[31mred\\nline\\xFF"), std::string::npos) << table.out;
  Outcome json = Corvalith({"--json", "history"});
  ASSERT_EQ(json.status, 0) << json.err;
  ExpectSafeText(json.out);
  const Json row = json.JsonLines().at(0);
  EXPECT_EQ(row["sender"], "\"quoted\" \\ back");
  EXPECT_EQ(row["subject"], "\x1B[31mred\nline\xEF\xBF\xBD") << "U+FFFD for the bad byte";
}

TEST_F(HistoryTest, AHistoryThatCannotBeWrittenNeverFailsADelivery) {
  ASSERT_NO_FATAL_FAILURE(InitHome(false));
  WriteFile(home_ / "history.db", std::string(8192, '\x5A'));
  Outcome damaged = Corvalith({"--json", "deliver", kAlice,
                               MessageFile("a.eml", Message("Bob <bob@example.com>", "a", "x"))});
  EXPECT_EQ(damaged.status, 0) << damaged.err;
  ASSERT_EQ(damaged.JsonLines().size(), 1u);
  EXPECT_EQ(damaged.JsonLines()[0]["marker"], 1);
  EXPECT_NE(damaged.err.find("corvalith: warning: the verdict history " + HistoryPath()),
            std::string::npos)
      << damaged.err;
  EXPECT_EQ(ReadFile(home_ / "history.db"), std::string(8192, '\x5A')) << "left as it was";

  Outcome shown = Corvalith({"history"});
  EXPECT_EQ(shown.status, 1);
  EXPECT_NE(shown.err.find("the verdict history " + HistoryPath() + " cannot be read"),
            std::string::npos)
      << shown.err;

  // Nothing that can be a history at the path: a directory (root may write anywhere).
  fs::remove(home_ / "history.db");
  fs::create_directory(home_ / "history.db");
  Outcome blocked = Corvalith({"--json", "deliver", kAlice,
                               MessageFile("b.eml", Message("Bob <bob@example.com>", "b", "x"))});
  EXPECT_EQ(blocked.status, 0) << blocked.err;
  EXPECT_NE(blocked.err.find("warning: the verdict history"), std::string::npos) << blocked.err;
  Outcome inbox = Corvalith({"ls", kAlice, "Inbox"});
  EXPECT_NE(inbox.out.find(" b "), std::string::npos) << inbox.out;
}

// The registry's History key: KeepDays prunes old rows as new ones come, Disabled records
// nothing.
TEST_F(HistoryTest, KeepDaysAndDisabledComeFromTheRegistry) {
  ASSERT_NO_FATAL_FAILURE(InitHome(false));
  {
    auto history = VerdictHistory::OpenForWriting(HistoryPath(), /*keep_days=*/0);
    for (int64_t days_ago : {40, 20, 1}) {
      VerdictRow row;
      row.time = std::time(nullptr) - days_ago * corvalith::history::kSecondsPerDay;
      row.mailbox = "old" + std::to_string(days_ago) + "@example.com";
      history->Record(row);
    }
  }
  const std::string registry = ReadFile(home_ / "registry.reg");
  WriteFile(home_ / "registry.reg", registry +
                                        "\r\n[HKEY_LOCAL_MACHINE\\Software\\Corvalith\\History]\r\n"
                                        "\"KeepDays\"=dword:0000001e\r\n");
  Deliver("a.eml", Message("Bob <bob@example.com>", "a", "x"));
  std::vector<std::string> mailboxes;
  for (const Json& row : History()) mailboxes.push_back(row["mailbox"]);
  EXPECT_EQ(mailboxes, (std::vector<std::string>{"old20@example.com", "old1@example.com", kAlice}))
      << "30 days kept";

  WriteFile(home_ / "registry.reg", registry +
                                        "\r\n[HKEY_LOCAL_MACHINE\\Software\\Corvalith\\History]\r\n"
                                        "\"Disabled\"=dword:00000001\r\n");
  Deliver("b.eml", Message("Bob <bob@example.com>", "b", "x"));
  EXPECT_EQ(History().size(), 3u) << "nothing recorded";
}

TEST_F(HistoryTest, NoHistoryYetIsNoFailure) {
  ASSERT_NO_FATAL_FAILURE(InitHome(false));
  Outcome run = Corvalith({"history"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("no history yet"), std::string::npos) << run.out;
  EXPECT_FALSE(fs::exists(home_ / "history.db")) << "reading creates nothing";
  Outcome json = Corvalith({"--json", "history"});
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(json.out, "");
}

TEST_F(HistoryTest, TheCommandsFilters) {
  ASSERT_NO_FATAL_FAILURE(InitHome(false));
  constexpr int64_t kDay = 1'767'225'600;  // 2026-01-01T00:00:00Z
  {
    auto history = VerdictHistory::OpenForWriting(HistoryPath(), /*keep_days=*/0);
    auto row = [](int64_t time, const std::string& mailbox, const char* verdict,
                  const char* correction) {
      VerdictRow row;
      row.time = time;
      row.mailbox = mailbox;
      row.domain = mailbox.substr(mailbox.find('@') + 1);
      row.folder = "Inbox";
      row.event = "delivery";
      row.verdict = verdict;
      row.reason = "parsed";
      row.correction = correction;
      return row;
    };
    history->Record(row(kDay - 1, kAlice, "ham", ""));
    history->Record(row(kDay, "bob@example.com", "spam", ""));
    history->Record(row(kDay + 3600, "carol@other.org", "ham", "false positive"));
    history->Record(row(kDay + 7200, kAlice, "spam", "false negative"));
  }
  auto mailboxes = [&](std::vector<std::string> args) {
    std::vector<std::string> names;
    for (const Json& row : History(std::move(args))) names.push_back(row["mailbox"]);
    return names;
  };
  using Names = std::vector<std::string>;
  EXPECT_EQ(mailboxes({}), (Names{kAlice, "bob@example.com", "carol@other.org", kAlice}));
  EXPECT_EQ(mailboxes({"ALICE@Example.com"}), (Names{kAlice, kAlice})) << "any case";
  EXPECT_EQ(mailboxes({"@example.com"}), (Names{kAlice, "bob@example.com", kAlice}));
  EXPECT_EQ(mailboxes({"--spam"}), (Names{"bob@example.com", kAlice}));
  EXPECT_EQ(mailboxes({"--ham"}), (Names{kAlice, "carol@other.org"}));
  EXPECT_EQ(mailboxes({"--corrections"}), (Names{"carol@other.org", kAlice}));
  EXPECT_EQ(mailboxes({"--since", "2026-01-01"}),
            (Names{"bob@example.com", "carol@other.org", kAlice}));
  EXPECT_EQ(mailboxes({"--since", "2026-01-01T01:00:00Z"}), (Names{"carol@other.org", kAlice}));
  EXPECT_EQ(mailboxes({"--since", "2026-01-01T01:00:01"}), (Names{kAlice}));
  EXPECT_EQ(mailboxes({"--limit", "1"}), (Names{kAlice}));
  EXPECT_EQ(mailboxes({"@example.com", "--spam", "--corrections"}), (Names{kAlice}));
  EXPECT_EQ(History({"--limit", "1"}).at(0)["time"], "2026-01-01T02:00:00Z");

  Outcome table = Corvalith({"history", "--since", "2026-01-01T02:00:00"});
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_EQ(table.out,
            "TIME (UTC)            MAILBOX                   FOLDER          VERDICT  REASON      "
            "      SCORE  CORRECTION      SENDER                        SUBJECT\n"
            "2026-01-01T02:00:00Z  alice@example.com         Inbox           spam     parsed      "
            "      -      false negative\n");

  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"--since", "2026-02-30"},
                                             {"--since", "yesterday"},
                                             {"--since", "2026-01-01 00:00:00"},
                                             {"--spam", "--ham"},
                                             {"--limit", "-1"},
                                             {"@"},
                                             {kAlice, "extra"}}) {
    std::vector<std::string> args = {"history"};
    args.insert(args.end(), bad.begin(), bad.end());
    EXPECT_EQ(Corvalith(args).status, 2) << bad.at(0);
  }
}

}  // namespace
