// End-to-end tests of `corvalith score` and the batch "score" operation on the real binary:
// the engine's verdict on a trained mailbox, the explanation, and that asking changes nothing
// in the home, not even for a user the engine has never seen.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "mailhost/testing/host_test_support.h"
#include "platform/testing/file_bytes.h"

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using namespace corvalith::host::testing;
using corvalith::testing::ReadFileBytes;

constexpr char kAlice[] = "alice@example.com";
constexpr char kBob[] = "bob@example.com";  // a mailbox whose user the engine never saw

std::string Spam(int n) {
  return Message("Pharmacy <deals" + std::to_string(n) + "@cheap-pills.example>",
                 "Cheap viagra pills, discount " + std::to_string(n),
                 "Buy cheap viagra pills now! Limited discount offer, click "
                 "http://cheap-pills.example/buy to order.");
}

std::string Ham(int n) {
  return Message("Bob <bob@example.com>", "Project meeting notes " + std::to_string(n),
                 "The quarterly project meeting agenda: budget review, schedule and the "
                 "release plan. See you on Tuesday.");
}

// Every file of a directory tree with its bytes and modification time.
using Snapshot = std::map<std::string, std::pair<std::string, fs::file_time_type>>;

Snapshot Take(const fs::path& root) {
  Snapshot files;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
    files[entry.path().string()] = {
        entry.is_regular_file() ? ReadFileBytes(entry.path().string()) : "",
        entry.last_write_time()};
  }
  return files;
}

// The paths created, removed or changed since `before`, one a line.
std::string Changes(const Snapshot& before, const fs::path& root) {
  Snapshot after = Take(root);
  std::string changes;
  for (const auto& [path, state] : before) {
    auto now = after.find(path);
    if (now == after.end()) {
      changes += "removed " + path + "\n";
    } else if (now->second != state) {
      changes += "changed " + path + "\n";
    }
  }
  for (const auto& [path, state] : after) {
    if (!before.contains(path)) changes += "created " + path + "\n";
  }
  return changes;
}

class ScoreTest : public CorvalithTest {
 protected:
  // Alice's filter has learnt spam from her moves into the junk-mail folder and ham from her
  // inbox; Bob's mailbox exists, his filter has seen nothing.
  void SetUpTrainedHome() {
    ASSERT_EQ(Corvalith({"init"}).status, 0);
    ASSERT_EQ(Corvalith({"mailbox", "add", kAlice}).status, 0);
    ASSERT_EQ(Corvalith({"mailbox", "add", kBob}).status, 0);
    for (int i = 0; i < 4; ++i) {
      std::string n = std::to_string(i);
      Outcome spam = Corvalith({"--json", "deliver", kAlice, MessageFile(n + "s.eml", Spam(i))});
      ASSERT_EQ(spam.status, 0) << spam.err;
      Json delivered = spam.JsonLines().at(0);
      if (delivered["marker"] != 2) {
        Outcome moved = Corvalith({"move", delivered["url"], "Junk E-mail"});
        ASSERT_EQ(moved.status, 0) << moved.err;
      }
      Outcome ham = Corvalith({"--json", "deliver", kAlice, MessageFile(n + "h.eml", Ham(i))});
      ASSERT_EQ(ham.status, 0) << ham.err;
      ASSERT_EQ(ham.JsonLines().at(0)["marker"], 1);
    }
  }
};

TEST_F(ScoreTest, TrainedSpamScoresHighHamLowAndNothingIsRegistered) {
  ASSERT_NO_FATAL_FAILURE(SetUpTrainedHome());
  std::string spam = MessageFile("new-spam.eml", Spam(9));
  std::string ham = MessageFile("new-ham.eml", Ham(9));
  Json stats_before = Corvalith({"--json", "stats", kAlice}).JsonLines().at(0);
  Snapshot before = Take(home_);

  Outcome run = Corvalith({"--json", "score", kAlice, spam, ham});
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<Json> scores = run.JsonLines();
  ASSERT_EQ(scores.size(), 2u) << run.out;
  EXPECT_EQ(scores[0]["source"], spam);
  EXPECT_GT(scores[0]["score"].get<double>(), 0.5);
  EXPECT_LT(scores[1]["score"].get<double>(), 0.5);

  // The text form, the explanation, the batch operation and a user the engine never saw.
  Outcome text = Corvalith({"score", kAlice, spam});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find(spam), std::string::npos) << text.out;
  ASSERT_EQ(Corvalith({"score", "--explain", kAlice, spam, ham}).status, 0);
  std::string request = Json{{"op", "score"}, {"to", kAlice}, {"file", spam}, {"id", 7}}.dump();
  Outcome batch = Corvalith({"batch"}, request + "\n");
  ASSERT_EQ(batch.status, 0) << batch.out << batch.err;
  Json answer = batch.JsonLines().at(0);
  EXPECT_EQ(answer["ok"], true);
  EXPECT_EQ(answer["id"], 7);
  EXPECT_DOUBLE_EQ(answer["score"].get<double>(), scores[0]["score"].get<double>());
  Outcome stranger = Corvalith({"--json", "score", kBob, spam});
  ASSERT_EQ(stranger.status, 0) << stranger.err;

  EXPECT_EQ(Changes(before, home_), "");
  EXPECT_FALSE(fs::exists(home_ / "data/example.com/bob.dat"));
  EXPECT_EQ(Corvalith({"--json", "stats", kAlice}).JsonLines().at(0), stats_before);
}

TEST_F(ScoreTest, ExplainNamesTheTokensThatPushedEachWay) {
  ASSERT_NO_FATAL_FAILURE(SetUpTrainedHome());
  std::string spam = MessageFile("new-spam.eml", Spam(9));
  std::string ham = MessageFile("new-ham.eml", Ham(9));

  Outcome json = Corvalith({"--json", "score", "--explain", kAlice, spam, ham});
  ASSERT_EQ(json.status, 0) << json.err;
  std::vector<Json> answers = json.JsonLines();
  ASSERT_EQ(answers.size(), 2u);
  auto names = [](const Json& list) {
    std::string all;
    for (const Json& c : list) all += c["feature"].get<std::string>() + "\n";
    return all;
  };
  const std::string spam_side = names(answers[0]["towards_spam"]);
  const std::string ham_side = names(answers[1]["towards_ham"]);
  EXPECT_NE(spam_side.find("viagra"), std::string::npos) << spam_side;
  EXPECT_NE(ham_side.find("meeting"), std::string::npos) << ham_side;
  for (const Json& c : answers[0]["towards_spam"]) EXPECT_GT(c["weight"].get<double>(), 0);
  for (const Json& c : answers[1]["towards_ham"]) EXPECT_LT(c["weight"].get<double>(), 0);

  Outcome text = Corvalith({"score", "--explain", kAlice, spam});
  ASSERT_EQ(text.status, 0) << text.err;
  size_t towards_spam = text.out.find("towards spam:");
  size_t towards_ham = text.out.find("towards ham:");
  ASSERT_NE(towards_spam, std::string::npos) << text.out;
  ASSERT_NE(towards_ham, std::string::npos) << text.out;
  EXPECT_NE(text.out.substr(towards_spam, towards_ham - towards_spam).find("viagra"),
            std::string::npos)
      << text.out;
}

TEST_F(ScoreTest, BadInputIsAClearErrorAndChangesNothing) {
  ASSERT_NO_FATAL_FAILURE(SetUpTrainedHome());
  std::string spam = MessageFile("new-spam.eml", Spam(9));
  const std::string missing = (dir_ / "missing.eml").string();
  Snapshot before = Take(home_);

  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {{"score", "carol@example.com", spam}, 1, "unknown mailbox"},
      {{"score", kAlice, spam, missing}, 1, "missing.eml"},
      {{"score", "no-at-sign", spam}, 1, "bad mailbox address"},
      {{"score", kAlice}, 2, "usage"},
  };
  for (const Case& c : cases) {
    Outcome run = Corvalith(c.args);
    EXPECT_EQ(run.status, c.status) << c.args[1] << ": " << run.err;
    EXPECT_TRUE(run.out.empty()) << "a bad argument scores nothing: " << run.out;
    EXPECT_TRUE(run.err.starts_with("corvalith: ")) << run.err;
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }

  auto score = [&](const std::string& to, const std::string& file) {
    return Json{{"op", "score"}, {"to", to}, {"file", file}}.dump() + "\n";
  };
  // A request line is bounded, however well-formed the rest of it is.
  std::string overlong =
      Json{{"op", "deliver"}, {"to", kAlice}, {"file", spam}, {"pad", std::string(70000, 'x')}}
          .dump() +
      "\n";
  Outcome batch = Corvalith({"batch"}, score("carol@example.com", spam) + score(kAlice, missing) +
                                           "{\"op\":\"score\",\n" +
                                           Json{{"op", "score"}, {"to", kAlice}}.dump() + "\n" +
                                           overlong + score(kAlice, spam));
  EXPECT_EQ(batch.status, 1);
  std::vector<Json> answers = batch.JsonLines();
  ASSERT_EQ(answers.size(), 6u) << batch.out;
  const char* errors[] = {"unknown mailbox", "missing.eml", "not a JSON object", "\"file\"",
                          "longer than 65536 bytes"};
  for (size_t i = 0; i < std::size(errors); ++i) {
    EXPECT_EQ(answers[i]["ok"], false) << answers[i];
    EXPECT_NE(answers[i]["error"].get<std::string>().find(errors[i]), std::string::npos)
        << answers[i];
  }
  EXPECT_EQ(answers[5]["ok"], true) << "the run goes on after bad lines";
  EXPECT_EQ(Changes(before, home_), "");

  // A database the engine cannot read is named, and left as it is.
  WriteFile(home_ / "data/example.com/alice.dat", "not a classifier database");
  Snapshot damaged = Take(home_);
  Outcome refused = Corvalith({"score", kAlice, spam});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("alice.dat"), std::string::npos) << refused.err;
  EXPECT_EQ(Changes(damaged, home_), "");
}

}  // namespace
