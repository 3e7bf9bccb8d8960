// What the filter tells the host about each save (sink/save_outcome.h): the same at every
// DebugLevel, nothing of it in the log, and only to the thread that made the save.
#include "sink/save_outcome.h"

#include <gtest/gtest.h>

#include <thread>

#include "sink/sink_test_support.h"

namespace corvalith::testing {
namespace {

class SaveOutcomeTest : public SinkTest {
 protected:
  SaveOutcome DeliverTelling(const std::string& name, const std::string& from) {
    SaveOutcome outcome;
    SaveOutcomeReceiver receiver(&outcome);
    Deliver(name, from);
    return outcome;
  }
  SaveOutcome MoveTelling(const std::string& from_folder, int marker,
                          const std::string& to_folder) {
    const std::string url =
        PutMail(from_folder, "Moved" + std::to_string(next_++) + ".EML", "Bob <bob@friend.net>",
                {{store::kMailMarkerProperty, Variant::Int32(marker)}});
    SaveOutcome outcome;
    SaveOutcomeReceiver receiver(&outcome);
    MoveByUser(url, to_folder);
    return outcome;
  }
  int next_ = 0;
};

TEST_F(SaveOutcomeTest, EveryVerdictIsToldAtDebugLevelZeroWithNothingInTheLog) {
  AddKnownUser();
  env_.files.WriteFile("/data/example.com/global.wlt", "@partner.org\r\n");
  env_.files.WriteFile(kUserData + ".wlt", "friend@friend.net\r\n");
  SetSettings(0, 0, 0, "Nope");

  SaveOutcome ham = DeliverTelling("A.EML", "Eve <eve@elsewhere.net>");
  EXPECT_EQ(ham.reason, "parsed");
  EXPECT_EQ(ham.trusted, "");
  EXPECT_FALSE(ham.moved);
  EXPECT_FALSE(ham.score.has_value()) << "the scripted engine tells no score";

  SaveOutcome listed = DeliverTelling("B.EML", "Pat <pat@partner.org>");
  EXPECT_EQ(listed.reason, "forced");
  EXPECT_EQ(listed.trusted, "GWL");
  EXPECT_EQ(DeliverTelling("C.EML", "<friend@friend.net>").trusted, "WL");

  engine_.verdict = true;
  SaveOutcome spam = DeliverTelling("D.EML", "Eve <eve@elsewhere.net>");
  EXPECT_EQ(spam.reason, "recognised");
  EXPECT_TRUE(spam.moved);
  EXPECT_TRUE(store_.Exists(kSpambox + "/D.EML"));

  EXPECT_EQ(MoveTelling(kInbox, 1, kSpambox).reason, "swapped");
  EXPECT_EQ(MoveTelling(kSpambox, 2, kInbox).reason, "swapped");
  EXPECT_EQ(MoveTelling(kInbox, 2, kSpambox).reason, "already");
  EXPECT_EQ(MoveTelling(kInbox, 0, kSpambox).reason, "no marker");
  EXPECT_EQ(MoveTelling(kInbox, 1, kDeletedItems).reason, "deleted items");

  EXPECT_EQ(LogRecords(), std::vector<std::string>{}) << "DebugLevel 0 writes no summary";
}

TEST_F(SaveOutcomeTest, AFailedSaveTellsUntouchedAndASaveOfAnotherThreadTellsNothingHere) {
  AddKnownUser();
  SetSettings(1, 0, 0, "Nope", 0);
  engine_.fail_op = "Classify";
  EXPECT_EQ(DeliverTelling("A.EML", "Eve <eve@elsewhere.net>").reason, "");
  engine_.fail_op.clear();

  SaveOutcome mine;
  mine.reason = "unchanged";
  SaveOutcomeReceiver receiver(&mine);
  std::thread other([&] { Deliver("B.EML"); });
  other.join();
  EXPECT_EQ(mine.reason, "unchanged");
  EXPECT_TRUE(store_.Exists(kInbox + "/B.EML"));
  Deliver("C.EML");
  EXPECT_EQ(mine.reason, "parsed");
}

}  // namespace
}  // namespace corvalith::testing
