// What the filter did with one save, told to the host that made it: the verdict's reason,
// whether it trusted the sender and why, whether it moved the mail into the spam folder, and
// the classifier's score when it asked. The host keeps its verdict history from it; the log's
// summary says the same in words, but only when DebugLevel asks for it.
//
// The host hands a SaveOutcome to the calling thread (SaveOutcomeReceiver) for exactly the
// one OnSyncSave it makes; the filter fills it at the end of that event. Threads that save
// through one shared instance at the same time each receive their own save's outcome, and a
// save made without a receiver tells nobody.
#ifndef CORVALITH_SINK_SAVE_OUTCOME_H_
#define CORVALITH_SINK_SAVE_OUTCOME_H_

#include <optional>
#include <string>

namespace corvalith {

struct SaveOutcome {
  // Delivery: "parsed" (the classifier said ham), "recognised" (it said spam), "forced"
  // (trusted, ham without asking it); move: "swapped" (relearned, the marker reversed),
  // "already" (the marker agreed with the folder), "no marker", "deleted items". Empty: the
  // filter left the mail untouched (not its save, a user it does not serve, a failure before
  // the verdict).
  std::string reason;
  std::string trusted;          // "EA", "GWL", "WL": why a delivery was forced to ham; else empty
  bool moved = false;           // the filter moved the mail into the spam folder
  std::optional<double> score;  // the classifier's spam probability, when it was asked
};

// While it lives, the calling thread's next save events report to `outcome` (which must
// outlive it). Scopes nest: the outer receiver is restored at the end.
class SaveOutcomeReceiver {
 public:
  explicit SaveOutcomeReceiver(SaveOutcome* outcome);
  ~SaveOutcomeReceiver();
  SaveOutcomeReceiver(const SaveOutcomeReceiver&) = delete;
  SaveOutcomeReceiver& operator=(const SaveOutcomeReceiver&) = delete;

 private:
  SaveOutcome* outer_;
};

// The calling thread's receiver; nullptr when no host waits for an outcome.
SaveOutcome* CurrentSaveOutcomeReceiver();

}  // namespace corvalith

#endif  // CORVALITH_SINK_SAVE_OUTCOME_H_
