// The host's side of the verdict history: after each save it committed, the host writes one
// row of what the filter did (history/verdict_history.h) from what it knows of the item and
// what the filter told it (sink/save_outcome.h).
//
// A history that cannot be written never fails or holds up a save: the row is lost, and the
// first such loss in a process is one warning line in the host's log; the next saves try again.
#ifndef CORVALITH_MAILHOST_VERDICT_RECORDER_H_
#define CORVALITH_MAILHOST_VERDICT_RECORDER_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "history/history_settings.h"
#include "history/verdict_history.h"
#include "mailhost/mail_host.h"
#include "sink/save_outcome.h"

namespace corvalith::host {

// What the host knows of one save it committed.
struct SaveFacts {
  bool delivery = true;                   // else a user's move
  ItemState state;                        // the item after the save
  std::optional<int32_t> earlier_marker;  // a move's marker before the save
  std::string message_id;
  std::string sender;   // the From field, decoded
  std::string subject;  // decoded
  SaveOutcome outcome;
};

// The row for a save at `time`: verdict from the marker, reason "untouched" when the filter
// gave none, a correction for a move that swapped the marker.
history::VerdictRow HistoryRow(const SaveFacts& facts, int64_t time);

// Where the warning about a history that cannot be written goes; by default a line
// "corvalith: warning: TEXT" on stderr. `corvalith lmtp` sends it to its own log. Setting a
// log lets it hear the next warning. Thread-safe.
void SetHistoryWarningLog(std::function<void(const std::string& line)> log);

// The history's settings of this process, read from the registry on first use: the first
// save's, so that a command that saves nothing never reads them.
const history::HistorySettings& ProcessHistorySettings();

class VerdictRecorder {
 public:
  // Records into the history at `path` with the process's settings; the file is opened at
  // the first row and kept open.
  explicit VerdictRecorder(std::string path);
  ~VerdictRecorder();
  VerdictRecorder(const VerdictRecorder&) = delete;
  VerdictRecorder& operator=(const VerdictRecorder&) = delete;

  bool enabled() const { return !ProcessHistorySettings().disabled; }
  // Writes the save's row, unless disabled. Never throws.
  void Record(const SaveFacts& facts) noexcept;

 private:
  std::string path_;
  std::unique_ptr<history::VerdictHistory> history_;
};

}  // namespace corvalith::host

#endif  // CORVALITH_MAILHOST_VERDICT_RECORDER_H_
