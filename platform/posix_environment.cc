#include "platform/posix_environment.h"

#include <dirent.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/failure.h"
#include "platform/no_destructor.h"
#include "platform/posix_io.h"
#include "platform/registry_file.h"
#include "platform/shared_property_table.h"
#include "platform/text.h"
#include "platform/unicode.h"

namespace corvalith {
namespace {

thread_local int last_error = 0;

bool Fail() {
  last_error = errno;
  return false;
}

}  // namespace

// ---- file system

bool PosixFileSystem::CreateDirectory(const std::string& path) {
  return ::mkdir(path.c_str(), 0777) == 0 || Fail();
}

bool PosixFileSystem::Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 || Fail();
}

bool PosixFileSystem::DeleteFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 || Fail();
}

int PosixFileSystem::LastError() const { return last_error; }

void PosixFileSystem::AppendText(const std::string& path, const std::string& text) {
  posix::AppendToFile(path, text);
}

FileKind PosixFileSystem::KindOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return FileKind::kMissing;
  if (S_ISREG(st.st_mode)) return FileKind::kFile;
  if (S_ISDIR(st.st_mode)) return FileKind::kDirectory;
  return FileKind::kOther;
}

std::vector<std::string> PosixFileSystem::ListDirectory(const std::string& path) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
  if (!dir) throw Failure::FromErrno(path, errno);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const struct dirent* entry = ::readdir(dir.get());
    if (entry == nullptr) break;
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  if (errno != 0) throw Failure::FromErrno(path, errno);
  std::sort(names.begin(), names.end());
  return names;
}

std::string PosixFileSystem::RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       std::free);
  if (!resolved) throw Failure::FromErrno(path, errno);
  return resolved.get();
}

bool PosixFileSystem::WriteNewFile(const std::string& path, const std::string& bytes) {
  int err = posix::CreateFileWith(path, bytes);
  if (err == EEXIST) return false;
  if (err != 0) throw Failure::FromErrno(path, err);
  return true;
}

std::string PosixFileSystem::ReadFile(const std::string& path, size_t max_bytes) {
  return posix::ReadRegularFile(path, max_bytes);
}

// ---- clock

uint32_t PosixClock::TickCount() {
  struct timespec ts;
#ifdef CLOCK_BOOTTIME
  if (::clock_gettime(CLOCK_BOOTTIME, &ts) != 0)
#endif
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

LocalTime PosixClock::Now() {
  time_t now = ::time(nullptr);
  struct tm tm;
  ::localtime_r(&now, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

// ---- registry

namespace {

class FileRegistryKey : public RegistryKey {
 public:
  explicit FileRegistryKey(std::map<std::string, RegistryFile::Value> values)
      : values_(std::move(values)) {}

  int32_t QueryValue(const std::string& name, uint32_t* type,
                     std::vector<uint8_t>* data) const override {
    auto it = values_.find(LowerCase(name));
    if (it == values_.end()) return ERROR_FILE_NOT_FOUND;
    if (type != nullptr) *type = it->second.first;
    if (data != nullptr) *data = it->second.second;
    return ERROR_SUCCESS;
  }

 private:
  const std::map<std::string, RegistryFile::Value> values_;  // a snapshot taken at open
};

}  // namespace

void ReportRegistryFileProblem(EventLog& event_log, const std::string& problem) {
  static std::atomic<bool> reported{false};
  if (reported.exchange(true)) return;
  // The entry's form is the component's own: the message as the only insertion string, and
  // again with its terminating zero as the binary data.
  const std::string message = "Registry file not read in full: " + problem;
  std::vector<uint8_t> data(message.begin(), message.end());
  data.push_back(0);
  EventSourceHandle handle = event_log.RegisterEventSource(kEventSourceName);
  event_log.ReportEvent(handle, EVENTLOG_WARNING_TYPE, 0, kRegistryFileEventId, {message}, data);
  event_log.DeregisterEventSource(handle);
}

int32_t FileRegistry::OpenKey(RegistryRoot root, const std::string& subkey,
                              std::unique_ptr<RegistryKey>* key) {
  std::string full =
      root == RegistryRoot::kLocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CLASSES_ROOT";
  size_t start = subkey.find_first_not_of('\\');
  if (start != std::string::npos) full += "\\" + subkey.substr(start);
  auto report = [&](const std::optional<std::string>& problem) {
    if (problem && problems_ != nullptr) ReportRegistryFileProblem(*problems_, *problem);
  };
  std::optional<std::map<std::string, RegistryFile::Value>> values;
  try {
    RegistryFile file = RegistryFile::Load(path_.empty() ? RegistryFilePath() : path_);
    report(file.IgnoredLine());
    values = file.Values(full);
  } catch (const Failure& failure) {
    report(failure.description());
    return failure.number() == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
  }
  if (!values) return ERROR_FILE_NOT_FOUND;
  if (key != nullptr) *key = std::make_unique<FileRegistryKey>(std::move(*values));
  return ERROR_SUCCESS;
}

// ---- event log

int SyslogPriority(uint16_t type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE:
      return LOG_ERR;
    case EVENTLOG_WARNING_TYPE:
      return LOG_WARNING;
    case EVENTLOG_INFORMATION_TYPE:
      return LOG_INFO;
    default:
      return LOG_NOTICE;
  }
}

namespace {

// A JSON string literal. Bytes that are not UTF-8 become U+FFFD, so that the line stays valid
// JSON whatever a message carries.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t pos = 0; pos < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[pos]);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          out += escape;
        } else if (c >= 0x80) {
          size_t length = Utf8SequenceLength(text, pos);
          if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++pos;
            continue;
          }
          out.append(text, pos, length);
          pos += length;
          continue;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
    ++pos;
  }
  out.push_back('"');
  return out;
}

}  // namespace

std::string EventLogJsonLine(const LocalTime& time, const EventLogEntry& entry) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string line = "{\"time\":" + JsonString(FormatLocalTime(time)) +
                     ",\"source\":" + JsonString(entry.source) +
                     ",\"type\":" + std::to_string(entry.type) +
                     ",\"category\":" + std::to_string(entry.category) +
                     ",\"event_id\":" + std::to_string(entry.event_id) + ",\"strings\":[";
  for (size_t i = 0; i < entry.strings.size(); ++i) {
    if (i > 0) line += ",";
    line += JsonString(entry.strings[i]);
  }
  line += "],\"data\":\"";
  for (uint8_t b : entry.data) {
    line.push_back(kHex[b >> 4]);
    line.push_back(kHex[b & 0xF]);
  }
  line += "\"}";
  return line;
}

PosixEventLog::PosixEventLog(Clock& clock, Options options)
    : clock_(clock), options_(std::move(options)) {
  // openlog is process-wide; the ident must be a string that lives forever.
  if (options_.use_syslog) ::openlog(kEventSourceName, LOG_PID, LOG_MAIL);
}

EventSourceHandle PosixEventLog::RegisterEventSource(const std::string& source) {
  return sources_.Register(source);
}

void PosixEventLog::DeregisterEventSource(EventSourceHandle handle) { sources_.Deregister(handle); }

bool PosixEventLog::ReportEvent(EventSourceHandle handle, uint16_t type, uint16_t category,
                                uint32_t event_id, const std::vector<std::string>& strings,
                                const std::vector<uint8_t>& data) {
  std::optional<std::string> source = sources_.Source(handle);
  if (!source) return false;
  EventLogEntry entry;
  entry.source = std::move(*source);
  entry.type = type;
  entry.category = category;
  entry.event_id = event_id;
  entry.strings = strings;
  entry.data = data;

  bool written = false;
  if (options_.use_syslog) {
    std::string message;
    for (size_t i = 0; i < strings.size(); ++i) {
      if (i > 0) message += ' ';
      message += strings[i];
    }
    ::syslog(LOG_MAIL | SyslogPriority(type), "%s", message.c_str());
    // syslog() reports nothing back; a listening socket is the best sign it went somewhere.
    struct stat st;
    written = ::stat("/dev/log", &st) == 0 && S_ISSOCK(st.st_mode);
  }
  std::string json_path;
  if (options_.json_path) {
    json_path = *options_.json_path;
  } else if (const char* env = std::getenv("CORVALITH_EVENT_LOG")) {
    json_path = env;
  }
  if (!json_path.empty()) {
    try {
      posix::AppendToFile(json_path, EventLogJsonLine(clock_.Now(), entry) + "\n");
      written = true;
    } catch (const Failure&) {
      // The event log is the channel of last resort; its own failure has nowhere to go but
      // the result.
    }
  }
  return written;
}

// ---- the environment

namespace {

class PosixEnvironment : public Environment {
 public:
  PosixEnvironment() : registry_("", &events_), events_(clock_, PosixEventLog::Options{}) {}

  Registry& registry() override { return registry_; }
  SharedPropertyManager& shared_properties() override { return ProcessSharedProperties(); }
  EventLog& event_log() override { return events_; }
  FileSystem& file_system() override { return files_; }
  Clock& clock() override { return clock_; }
  ObjectFactory& objects() override { return classes_; }

 private:
  FileRegistry registry_;
  PosixFileSystem files_;
  PosixClock clock_;
  PosixEventLog events_;
  ClassTable classes_;
};

}  // namespace

Environment& DefaultEnvironment() {
  static NoDestructor<PosixEnvironment> environment;
  return *environment;
}

}  // namespace corvalith
