#include "platform/testing/memory_environment.h"

#include <cerrno>

#include "platform/text.h"

namespace corvalith::testing {
namespace {

thread_local int last_error = 0;

std::string Normalize(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '/' && !out.empty() && out.back() == '/') continue;
    out.push_back(c);
  }
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

// The directory holding `path`: "/" for "/x", "" (the current directory) for "x".
std::string Parent(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool IsRoot(const std::string& path) { return path == "/" || path.empty(); }

}  // namespace

// ---- MemoryFileSystem

MemoryFileSystem::MemoryFileSystem() {
  nodes_["/"].directory = true;
  nodes_[""].directory = true;
}

void MemoryFileSystem::AddDirectoryLocked(const std::string& path) {
  if (IsRoot(path)) return;
  AddDirectoryLocked(Parent(path));
  nodes_[path] = Node{true, ""};
}

void MemoryFileSystem::AddDirectory(const std::string& path) {
  std::lock_guard lock(mutex_);
  AddDirectoryLocked(Normalize(path));
}

void MemoryFileSystem::WriteFile(const std::string& path, std::string content) {
  std::lock_guard lock(mutex_);
  std::string p = Normalize(path);
  AddDirectoryLocked(Parent(p));
  nodes_[p] = Node{false, std::move(content)};
}

std::optional<std::string> MemoryFileSystem::Contents(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(Normalize(path));
  if (it == nodes_.end() || it->second.directory) return std::nullopt;
  return it->second.content;
}

bool MemoryFileSystem::IsDirectory(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = nodes_.find(Normalize(path));
  return it != nodes_.end() && it->second.directory;
}

std::vector<std::string> MemoryFileSystem::Paths() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> paths;
  for (const auto& [path, node] : nodes_) {
    if (!IsRoot(path)) paths.push_back(path);
  }
  return paths;  // the map keeps them sorted
}

void MemoryFileSystem::FailPath(const std::string& path, int err) {
  std::lock_guard lock(mutex_);
  if (err == 0) {
    failures_.erase(Normalize(path));
  } else {
    failures_[Normalize(path)] = err;
  }
}

int MemoryFileSystem::calls(const std::string& path) const {
  std::lock_guard lock(mutex_);
  auto it = calls_.find(Normalize(path));
  return it == calls_.end() ? 0 : it->second;
}

int MemoryFileSystem::Touch(const std::string& path) {
  ++calls_[path];
  auto it = failures_.find(path);
  return it == failures_.end() ? 0 : it->second;
}

int MemoryFileSystem::ParentError(const std::string& path) const {
  auto it = nodes_.find(Parent(path));
  if (it == nodes_.end()) return ENOENT;
  return it->second.directory ? 0 : ENOTDIR;
}

bool MemoryFileSystem::CreateDirectory(const std::string& path) {
  std::lock_guard lock(mutex_);
  std::string p = Normalize(path);
  int err = Touch(p);
  if (err == 0 && nodes_.count(p) != 0) err = EEXIST;
  if (err == 0) err = ParentError(p);
  if (err != 0) {
    last_error = err;
    return false;
  }
  nodes_[p] = Node{true, ""};
  return true;
}

bool MemoryFileSystem::Exists(const std::string& path) {
  std::lock_guard lock(mutex_);
  std::string p = Normalize(path);
  int err = Touch(p);
  if (err == 0 && nodes_.count(p) == 0) err = ENOENT;
  if (err != 0) {
    last_error = err;
    return false;
  }
  return true;
}

bool MemoryFileSystem::DeleteFile(const std::string& path) {
  std::lock_guard lock(mutex_);
  std::string p = Normalize(path);
  int err = Touch(p);
  auto it = nodes_.find(p);
  if (err == 0 && it == nodes_.end()) err = ENOENT;
  if (err == 0 && it->second.directory) err = EISDIR;
  if (err != 0) {
    last_error = err;
    return false;
  }
  nodes_.erase(it);
  return true;
}

int MemoryFileSystem::LastError() const { return last_error; }

void MemoryFileSystem::AppendText(const std::string& path, const std::string& text) {
  std::lock_guard lock(mutex_);
  std::string p = Normalize(path);
  int err = Touch(p);
  auto it = nodes_.find(p);
  if (err == 0 && it != nodes_.end() && it->second.directory) err = EISDIR;
  if (err == 0 && it == nodes_.end()) err = ParentError(p);
  if (err != 0) throw Failure::FromErrno(path, err);
  nodes_[p].content += text;
}

const std::string& MemoryFileSystem::ReadLocked(const std::string& path, size_t max_bytes) {
  std::string p = Normalize(path);
  int err = Touch(p);
  auto it = nodes_.find(p);
  if (err == 0 && it == nodes_.end()) err = ENOENT;
  if (err == 0 && it->second.directory) err = EISDIR;
  if (err != 0) throw Failure::FromErrno(path, err);
  if (it->second.content.size() > max_bytes) throw Failure::FileTooLarge(path, max_bytes);
  return it->second.content;
}

FileKind MemoryFileSystem::KindOf(const std::string& path) {
  std::lock_guard lock(mutex_);
  std::string p = Normalize(path);
  auto it = nodes_.find(p);
  if (Touch(p) != 0 || it == nodes_.end()) return FileKind::kMissing;
  return it->second.directory ? FileKind::kDirectory : FileKind::kFile;
}

std::vector<std::string> MemoryFileSystem::ListDirectory(const std::string& path) {
  std::lock_guard lock(mutex_);
  std::string p = Normalize(path);
  int err = Touch(p);
  auto it = nodes_.find(p);
  if (err == 0 && it == nodes_.end()) err = ENOENT;
  if (err == 0 && !it->second.directory) err = ENOTDIR;
  if (err != 0) throw Failure::FromErrno(path, err);
  // Paths sort like the names in them: every child shares the directory's prefix.
  std::vector<std::string> names;
  for (const auto& [child, node] : nodes_) {
    if (!IsRoot(child) && Parent(child) == p) {
      names.push_back(child.substr(p.empty() ? 0 : p.size() + (p == "/" ? 0 : 1)));
    }
  }
  return names;
}

std::string MemoryFileSystem::RealPath(const std::string& path) {
  std::lock_guard lock(mutex_);
  std::string p = Normalize(path);
  int err = Touch(p);
  if (err != 0) throw Failure::FromErrno(path, err);
  std::string resolved = p.starts_with("/") ? "/" : "";
  std::vector<std::string> segments = SplitText(p, '/');
  for (size_t i = 0; i < segments.size(); ++i) {
    const std::string& segment = segments[i];
    if (segment.empty() || segment == ".") continue;
    if (segment == "..") {
      if (!IsRoot(resolved)) resolved = Parent(resolved);
      continue;
    }
    resolved = resolved.empty() || resolved == "/" ? resolved + segment : resolved + "/" + segment;
    auto it = nodes_.find(resolved);
    if (it == nodes_.end()) throw Failure::FromErrno(path, ENOENT);
    if (!it->second.directory && i + 1 < segments.size()) throw Failure::FromErrno(path, ENOTDIR);
  }
  return resolved;
}

bool MemoryFileSystem::WriteNewFile(const std::string& path, const std::string& bytes) {
  std::lock_guard lock(mutex_);
  std::string p = Normalize(path);
  int err = Touch(p);
  if (err == 0 && nodes_.count(p) != 0) return false;
  if (err == 0) err = ParentError(p);
  if (err != 0) throw Failure::FromErrno(path, err);
  nodes_[p] = Node{false, bytes};
  return true;
}

std::string MemoryFileSystem::ReadFile(const std::string& path, size_t max_bytes) {
  std::lock_guard lock(mutex_);
  return ReadLocked(path, max_bytes);
}

// ---- MemoryRegistry

class MemoryRegistry::Key : public RegistryKey {
 public:
  Key(Values values, std::shared_ptr<std::atomic<int>> query_count)
      : values_(std::move(values)), query_count_(std::move(query_count)) {}

  int32_t QueryValue(const std::string& name, uint32_t* type,
                     std::vector<uint8_t>* data) const override {
    ++*query_count_;
    auto it = values_.find(LowerCase(name));
    if (it == values_.end()) return ERROR_FILE_NOT_FOUND;
    if (type != nullptr) *type = it->second.first;
    if (data != nullptr) *data = it->second.second;
    return ERROR_SUCCESS;
  }

 private:
  const Values values_;
  std::shared_ptr<std::atomic<int>> query_count_;
};

void MemoryRegistry::SetValue(const std::string& name, uint32_t type, std::vector<uint8_t> data) {
  std::lock_guard lock(mutex_);
  key_exists_ = true;
  values_[LowerCase(name)] = {type, std::move(data)};
}

void MemoryRegistry::SetDword(const std::string& name, uint32_t value) {
  SetValue(name, REG_DWORD,
           {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
}

void MemoryRegistry::SetString(const std::string& name, const std::string& value) {
  std::vector<uint8_t> data(value.begin(), value.end());
  data.push_back(0);
  SetValue(name, REG_SZ, std::move(data));
}

void MemoryRegistry::RemoveValue(const std::string& name) {
  std::lock_guard lock(mutex_);
  values_.erase(LowerCase(name));
}

void MemoryRegistry::RemoveKey() {
  std::lock_guard lock(mutex_);
  key_exists_ = false;
  values_.clear();
}

void MemoryRegistry::FailOpen(int32_t status) {
  std::lock_guard lock(mutex_);
  open_status_ = status;
}

int MemoryRegistry::open_count() const {
  std::lock_guard lock(mutex_);
  return open_count_;
}

int MemoryRegistry::query_count() const { return *query_count_; }

int32_t MemoryRegistry::OpenKey(RegistryRoot root, const std::string& subkey,
                                std::unique_ptr<RegistryKey>* key) {
  std::lock_guard lock(mutex_);
  ++open_count_;
  if (open_status_ != ERROR_SUCCESS) return open_status_;
  std::string wanted = LowerCase(subkey);
  while (!wanted.empty() && wanted.back() == '\\') wanted.pop_back();
  if (root != RegistryRoot::kLocalMachine || wanted != LowerCase(kSettingsKey) || !key_exists_) {
    return ERROR_FILE_NOT_FOUND;
  }
  if (key != nullptr) *key = std::make_unique<Key>(values_, query_count_);
  return ERROR_SUCCESS;
}

// ---- MemorySharedPropertyManager

void MemorySharedPropertyManager::FailWith(std::optional<Failure> failure) {
  std::lock_guard lock(mutex_);
  failure_ = std::move(failure);
}

std::optional<Variant> MemorySharedPropertyManager::Peek(const std::string& group,
                                                         const std::string& name) const {
  return table_.Peek(group, name);
}

SharedPropertyGroup& MemorySharedPropertyManager::CreatePropertyGroup(const std::string& name,
                                                                      int32_t isolation,
                                                                      int32_t release,
                                                                      bool* existed) {
  {
    std::lock_guard lock(mutex_);
    if (failure_) throw *failure_;
  }
  return table_.CreatePropertyGroup(name, isolation, release, existed);
}

// ---- MemoryEventLog

std::vector<EventLogEntry> MemoryEventLog::entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

int MemoryEventLog::registrations() const {
  std::lock_guard lock(mutex_);
  return registrations_;
}

int MemoryEventLog::deregistrations() const {
  std::lock_guard lock(mutex_);
  return deregistrations_;
}

void MemoryEventLog::FailRegister(bool fail) {
  std::lock_guard lock(mutex_);
  fail_register_ = fail;
}

EventSourceHandle MemoryEventLog::RegisterEventSource(const std::string& source) {
  std::lock_guard lock(mutex_);
  if (fail_register_) return 0;
  ++registrations_;
  return sources_.Register(source);
}

bool MemoryEventLog::ReportEvent(EventSourceHandle handle, uint16_t type, uint16_t category,
                                 uint32_t event_id, const std::vector<std::string>& strings,
                                 const std::vector<uint8_t>& data) {
  std::optional<std::string> source = sources_.Source(handle);
  if (!source) return false;
  std::lock_guard lock(mutex_);
  entries_.push_back(EventLogEntry{std::move(*source), type, category, event_id, strings, data});
  return true;
}

void MemoryEventLog::DeregisterEventSource(EventSourceHandle handle) {
  std::lock_guard lock(mutex_);
  ++deregistrations_;
  sources_.Deregister(handle);
}

// ---- ManualClock

void ManualClock::SetTicks(uint32_t ticks) {
  std::lock_guard lock(mutex_);
  ticks_ = ticks;
}

void ManualClock::SetNow(LocalTime now) {
  std::lock_guard lock(mutex_);
  now_ = now;
}

void ManualClock::AdvanceOnRead(uint32_t step) {
  std::lock_guard lock(mutex_);
  step_ = step;
}

int ManualClock::tick_reads() const {
  std::lock_guard lock(mutex_);
  return tick_reads_;
}

uint32_t ManualClock::TickCount() {
  std::lock_guard lock(mutex_);
  ++tick_reads_;
  uint32_t ticks = ticks_;
  ticks_ += step_;
  return ticks;
}

LocalTime ManualClock::Now() {
  std::lock_guard lock(mutex_);
  return now_;
}

}  // namespace corvalith::testing
