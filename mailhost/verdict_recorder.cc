#include "mailhost/verdict_recorder.h"

#include <sqlite3.h>

#include <ctime>
#include <iostream>
#include <mutex>
#include <utility>

#include "logging/control_characters.h"
#include "mailbox_ops/filter_operations.h"
#include "mailhost/output.h"
#include "platform/failure.h"
#include "sink/server.h"

namespace corvalith::host {

namespace {

// Rows of many writers take a moment each; a history held longer than this (a reader with a
// write lock, a stuck process) costs the row, never the save's time.
constexpr int kRecordWaitMs = 500;

struct WarningLog {
  std::mutex mutex;
  std::function<void(const std::string&)> log;
  bool warned = false;
};

WarningLog& TheWarningLog() {
  static WarningLog* log = new WarningLog;  // lives until the process ends, for every thread
  return *log;
}

void WarnOnce(const std::string& text) {
  WarningLog& warning = TheWarningLog();
  std::lock_guard<std::mutex> lock(warning.mutex);
  if (warning.warned) return;
  warning.warned = true;
  const std::string line = "warning: " + EscapeControlCharacters(text);
  if (warning.log) {
    warning.log(line);
  } else {
    std::cerr << "corvalith: " << line << std::endl;
  }
}

}  // namespace

history::VerdictRow HistoryRow(const SaveFacts& facts, int64_t time) {
  history::VerdictRow row;
  row.time = time;
  const ItemLocation location = ParseItemUrl(facts.state.url);
  row.mailbox = location.mailbox.Text();
  row.domain = location.mailbox.domain;
  row.folder = location.folder_path;
  row.item = location.item_name;
  row.message_id = facts.message_id;
  row.sender = facts.sender;
  row.subject = facts.subject;
  row.event = facts.delivery ? history::kEventDelivery : history::kEventMove;
  row.marker = facts.state.marker;
  row.verdict = MarkerName(facts.state.marker);
  row.reason = facts.outcome.reason.empty() ? "untouched" : facts.outcome.reason;
  row.trusted = facts.outcome.trusted;
  row.moved = facts.outcome.moved;
  row.score = facts.outcome.score;
  if (!facts.delivery) {
    row.earlier_verdict = MarkerName(facts.earlier_marker.value_or(kMarkerNone));
    if (facts.outcome.reason == "swapped") {
      row.correction =
          facts.state.marker == kMarkerSpam ? history::kFalseNegative : history::kFalsePositive;
    }
  }
  return row;
}

void SetHistoryWarningLog(std::function<void(const std::string& line)> log) {
  WarningLog& warning = TheWarningLog();
  std::lock_guard<std::mutex> lock(warning.mutex);
  warning.log = std::move(log);
  warning.warned = false;
}

const history::HistorySettings& ProcessHistorySettings() {
  static const history::HistorySettings settings =
      history::ReadHistorySettings(ServerEnvironment().registry());
  return settings;
}

VerdictRecorder::VerdictRecorder(std::string path) : path_(std::move(path)) {}

VerdictRecorder::~VerdictRecorder() = default;

void VerdictRecorder::Record(const SaveFacts& facts) noexcept {
  if (!enabled()) return;
  try {
    if (!history_) {
      history_ = history::VerdictHistory::OpenForWriting(path_, ProcessHistorySettings().keep_days);
      sqlite3_busy_timeout(history_->database(), kRecordWaitMs);
    }
    history_->Record(HistoryRow(facts, std::time(nullptr)));
  } catch (const std::exception& e) {
    // A damaged file stays damaged: the next save opens it afresh, and tells nobody again.
    history_.reset();
    WarnOnce("the verdict history " + path_ +
             " cannot be written, the save goes on without its row: " + e.what());
  }
}

}  // namespace corvalith::host
