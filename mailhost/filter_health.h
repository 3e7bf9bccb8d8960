// Whether the filter can work in its data directory, and telling the administrator when it
// cannot. The filter never fails a save, and an error record its log cannot take is lost, as
// its contract has it; so a filter that cannot write its log or its data directory lets every
// mail through unmarked, and says nothing anywhere. The host says it: once per process on
// stderr and in the event log (FilterWatch, when the filter instance starts and whenever the
// filter loses a log record), and in `stats` and `score` (CheckFilterHealth).
#ifndef CORVALITH_MAILHOST_FILTER_HEALTH_H_
#define CORVALITH_MAILHOST_FILTER_HEALTH_H_

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "mailhost/mail_host.h"
#include "mailhost/output.h"
#include "platform/event_log.h"

namespace corvalith::host {

// What keeps the filter from working in `data_directory` (ending with its separator), one
// line each, naming the path, the system's reason, and the owner and mode of what cannot be
// written beside the user the process runs as; empty when nothing does. It probes as the
// filter works, since access(2) answers root "yes" whatever the file system says: the log is
// opened for appending, never created (a log that root created would lock the delivering user
// out), and an unnamed file is created in the directory (the filter creates its log, each
// domain's directory and the site model there). Changes nothing; a handful of system calls.
std::vector<std::string> FilterProblems(const std::string& data_directory);

// What `stats` and `score` show of the filter's health for a mailbox.
struct FilterHealth {
  std::vector<std::string> problems;  // FilterProblems
  // Why the site model that judges the mailbox's mail cannot be used (it names the file);
  // empty when it can, is off, or does not exist yet (the next mail creates it).
  std::string site_failure;

  // "filter: not filtering: PROBLEM" and "site model: not used: WHY", one a line.
  std::vector<std::string> Lines() const;
  // "filter_problems": [...] and "site_failure": "...", each only when there is one.
  void AddTo(Json* answer) const;
};
FilterHealth CheckFilterHealth(const std::string& data_directory, const MailboxAddress& mailbox);

// Tells the administrator that the filter cannot work, once: a filter that cannot write fails
// that way on every mail.
class FilterAlarm {
 public:
  // Both must outlive the alarm.
  FilterAlarm(EventLog& event_log, std::ostream& err) : event_log_(event_log), err_(err) {}

  // The first call writes each problem as one line "corvalith: warning: the filter is not
  // filtering: PROBLEM" on the stream and as one error entry (kFilterCannotWorkEventId,
  // "The filter is not filtering: PROBLEM") in the event log; later calls do nothing.
  // Thread-safe.
  void Sound(const std::vector<std::string>& problems);
  bool sounded() const { return sounded_.load(std::memory_order_acquire); }

 private:
  EventLog& event_log_;
  std::ostream& err_;
  std::atomic<bool> sounded_{false};
};

// The process's alarm: stderr and the component's event log (syslog and events.jsonl).
FilterAlarm& ProcessFilterAlarm();

// Watches the data directory of one filter instance, for one thread at a time.
class FilterWatch {
 public:
  // Probes the directory at once and sounds the alarm for what it finds.
  FilterWatch(std::string data_directory, FilterAlarm& alarm);

  // After each save. Costs one atomic load unless the filter lost a log record since the last
  // look (the log became unwritable while the process ran: a rotation that created it for
  // another user, a full disk); then the directory is probed again and the alarm sounded.
  void AfterSave();

 private:
  std::string data_directory_;
  FilterAlarm& alarm_;
  // Saves of several threads look at once; one of them probes.
  std::atomic<uint64_t> lost_records_seen_;
};

}  // namespace corvalith::host

#endif  // CORVALITH_MAILHOST_FILTER_HEALTH_H_
