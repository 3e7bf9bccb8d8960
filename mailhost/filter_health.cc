#include "mailhost/filter_health.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

#include "classifier/engine_settings.h"
#include "classifier/site_model.h"
#include "logging/control_characters.h"
#include "logging/log_event.h"
#include "logging/log_file.h"
#include "logging/lost_log_records.h"
#include "mailhost/account.h"
#include "platform/no_destructor.h"
#include "provisioning/data_layout.h"
#include "sink/server.h"

namespace corvalith::host {

namespace {

// What an administrator needs to put a permission right: "(owner root, mode 0755; running as
// vmail)", the owner left out when the path cannot be examined.
std::string Ownership(const std::string& path) {
  std::string text = " (";
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    text += "owner " + UserName(st.st_uid) + ", mode " + mode + "; ";
  }
  return text + "running as " + UserName(geteuid()) + ")";
}

// 0 when the log opens for appending, else the errno. Never creates it; O_NONBLOCK keeps a
// named pipe without a reader from holding the probe.
int OpenLogForAppending(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  close(fd);
  return 0;
}

// 0 when the process can create files in the directory, else the errno. A file made without a
// name and dropped (O_TMPFILE) is the real test, and leaves the directory as it was, its time
// included; a file system without such files is asked through faccessat, with the process's
// effective ids.
int CanCreateFilesIn(const std::string& directory) {
  int fd = open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    close(fd);
    return 0;
  }
  if (errno != EOPNOTSUPP && errno != EISDIR) return errno;
  return faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

}  // namespace

std::vector<std::string> FilterProblems(const std::string& data_directory) {
  const std::string directory = data_directory.empty() ? "./" : data_directory;
  const std::string log = LogFilePath(directory);
  const int log_error = OpenLogForAppending(log);
  const int directory_error = CanCreateFilesIn(directory);
  std::vector<std::string> problems;
  if (log_error == ENOENT && directory_error != 0) {
    problems.push_back("cannot create " + log + ": " + std::strerror(directory_error) +
                       Ownership(directory));
  } else {
    if (log_error != 0 && log_error != ENOENT) {
      problems.push_back("cannot write " + log + ": " + std::strerror(log_error) + Ownership(log));
    }
    if (directory_error != 0) {
      problems.push_back("cannot create a domain's directory or the site model in " + directory +
                         ": " + std::strerror(directory_error) + Ownership(directory));
    }
  }
  for (std::string& problem : problems) problem = EscapeControlCharacters(problem);
  return problems;
}

std::vector<std::string> FilterHealth::Lines() const {
  std::vector<std::string> lines;
  for (const std::string& problem : problems) lines.push_back("filter: not filtering: " + problem);
  if (!site_failure.empty()) {
    lines.push_back("site model: not used: " + EscapeControlCharacters(site_failure));
  }
  return lines;
}

void FilterHealth::AddTo(Json* answer) const {
  if (!problems.empty()) (*answer)["filter_problems"] = problems;
  if (!site_failure.empty()) (*answer)["site_failure"] = site_failure;
}

FilterHealth CheckFilterHealth(const std::string& data_directory, const MailboxAddress& mailbox) {
  FilterHealth health;
  health.problems = FilterProblems(data_directory);
  const std::string site_path =
      SiteModelPath(UserDataPath(data_directory, mailbox.domain, mailbox.user),
                    ReadSiteScope(ServerEnvironment().registry()));
  if (site_path.empty()) return health;
  try {
    SiteModel::Open(site_path, /*create=*/false);
  } catch (const Failure& failure) {
    health.site_failure = failure.description();
  }
  return health;
}

void FilterAlarm::Sound(const std::vector<std::string>& problems) {
  if (problems.empty() || sounded_.exchange(true, std::memory_order_acq_rel)) return;
  for (const std::string& problem : problems) {
    err_ << "corvalith: warning: the filter is not filtering: " << problem << std::endl;
    LogEvent::WriteEventLog(event_log_, "The filter is not filtering: " + problem,
                            EVENTLOG_ERROR_TYPE, kFilterCannotWorkEventId);
  }
}

FilterAlarm& ProcessFilterAlarm() {
  static NoDestructor<FilterAlarm> alarm(ServerEnvironment().event_log(), std::cerr);
  return *alarm;
}

FilterWatch::FilterWatch(std::string data_directory, FilterAlarm& alarm)
    : data_directory_(std::move(data_directory)),
      alarm_(alarm),
      lost_records_seen_(LostLogRecordCount()) {
  if (!alarm_.sounded()) alarm_.Sound(FilterProblems(data_directory_));
}

void FilterWatch::AfterSave() {
  const uint64_t lost = LostLogRecordCount();
  if (lost_records_seen_.exchange(lost) == lost) return;
  if (alarm_.sounded()) return;
  std::vector<std::string> problems = FilterProblems(data_directory_);
  // Lost to a passing failure the probe no longer meets: the failure says all there is.
  if (problems.empty()) {
    problems.push_back("a log record was lost: " +
                       EscapeControlCharacters(LatestLostLogRecordFailure()));
  }
  alarm_.Sound(problems);
}

}  // namespace corvalith::host
