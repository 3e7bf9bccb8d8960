#include "store/store_session.h"

#include <map>

#include "platform/failure.h"
#include "store/mailbox_url.h"
#include "store/store_errors.h"

namespace corvalith::store {
namespace {

// Stream.LoadFromFile reads whatever file it is given: a bound far above any mail the store
// takes, so that a device or a runaway file cannot exhaust memory.
constexpr size_t kMaxLoadedFileBytes = size_t{256} << 20;

// What a record and the streams taken from it share: a stream may outlive the record object
// (the caller holds a unique_ptr), so closing must be visible to both.
struct RecordState {
  std::shared_ptr<Session> session;
  Node node;
  std::string url;
  bool writable;
  bool open = true;

  void CheckOpen() const {
    if (!open) throw StoreFailure(StoreError::kNoOpenRecord, url);
  }
  void CheckWritable() const {
    CheckOpen();
    if (!writable) throw StoreFailure(StoreError::kWrongMode, url);
  }
};

class ContentStream : public Stream {
 public:
  explicit ContentStream(std::shared_ptr<RecordState> state) : state_(std::move(state)) {}

  // Bytes are kept as they are: the store's content is the raw message, and a charset only
  // names how text would be converted, which the filter never asks for.
  void SetCharset(const std::string& charset) override {
    state_->CheckOpen();
    charset_ = charset;
  }
  void SetType(int32_t type) override {
    state_->CheckOpen();
    if (type != adTypeBinary && type != adTypeText) {
      throw StoreFailure(StoreError::kBadArgument, "stream type " + std::to_string(type));
    }
    type_ = type;
  }
  void LoadFromFile(const std::string& path) override {
    state_->CheckOpen();
    try {
      buffer_ = state_->session->files().ReadFile(path, kMaxLoadedFileBytes);
    } catch (const Failure& failure) {
      throw StoreFailure(StoreError::kFileUnreadable, path + " (" + failure.description() + ")");
    }
    loaded_ = true;
  }
  void Write(const std::string& bytes) override {
    Load();
    buffer_ += bytes;
  }
  std::string ReadAll() override {
    Load();
    return buffer_;
  }
  void Flush() override {
    state_->CheckWritable();
    Load();
    state_->session->WriteContent(state_->node.id, buffer_);
  }

 private:
  // The stream starts as the item's content, read only when first needed so that a stream
  // opened just to be replaced by LoadFromFile costs no read.
  void Load() {
    state_->CheckOpen();
    if (!loaded_) {
      buffer_ = state_->session->ReadContent(state_->node.id);
      loaded_ = true;
    }
  }

  std::shared_ptr<RecordState> state_;
  std::string buffer_;
  bool loaded_ = false;
  std::string charset_;
  int32_t type_ = adTypeBinary;
};

class ContentField : public Field {
 public:
  explicit ContentField(std::shared_ptr<RecordState> state) : state_(std::move(state)) {}
  Variant Value() const override {
    state_->CheckOpen();
    return Variant::String(state_->session->ReadContent(state_->node.id));
  }
  void SetValue(const Variant&) override {
    state_->CheckOpen();
    throw StoreFailure(StoreError::kReadOnlyProperty, "the default stream is written as a stream");
  }
  int32_t Status() const override {
    state_->CheckOpen();
    return adFieldOK;
  }
  std::unique_ptr<Stream> StreamValue() override {
    state_->CheckOpen();
    return std::make_unique<ContentStream>(state_);
  }

 private:
  std::shared_ptr<RecordState> state_;
};

class PropertyField final : public Field {
 public:
  PropertyField(std::shared_ptr<RecordState> state, std::string name)
      : state_(std::move(state)), name_(std::move(name)) {}

  Variant Value() const override {
    state_->CheckOpen();
    if (pending_) return *pending_;
    if (name_ == kDavParentName) return Variant::String(ParentUrl(state_->url));
    std::optional<Variant> value = state_->session->ReadProperty(state_->node.id, name_);
    return value ? *value : Variant::Null();
  }
  void SetValue(const Variant& value) override {
    state_->CheckWritable();
    if (name_ == kDavParentName) throw StoreFailure(StoreError::kReadOnlyProperty, name_);
    pending_ = value;
  }
  int32_t Status() const override {
    state_->CheckOpen();
    if (pending_ || name_ == kDavParentName) return adFieldOK;
    return state_->session->ReadProperty(state_->node.id, name_) ? adFieldOK : adFieldDoesNotExist;
  }
  std::unique_ptr<Stream> StreamValue() override { throw Failure::TypeMismatch(); }

  const std::string& name() const { return name_; }
  const std::optional<Variant>& pending() const { return pending_; }
  void ClearPending() { pending_.reset(); }

 private:
  std::shared_ptr<RecordState> state_;
  std::string name_;
  std::optional<Variant> pending_;
};

class SessionRecord : public Record, public Fields {
 public:
  explicit SessionRecord(std::shared_ptr<RecordState> state)
      : state_(std::move(state)), content_(state_) {}

  void Close() override {
    state_->open = false;
    fields_.clear();
  }
  std::string Source() const override {
    state_->CheckOpen();
    return state_->url;
  }
  std::string ParentURL() const override {
    state_->CheckOpen();
    return ParentUrl(state_->url);
  }

  std::string MoveRecord(const std::string& source, const std::string& destination,
                         const std::string&, const std::string&, int32_t options,
                         bool async) override {
    state_->CheckOpen();
    state_->session->NoteMove();
    // Only the default (no overwrite) is ever needed; an overwriting or asynchronous move
    // would change what a clash means, so it is refused rather than half-supported.
    if (async) throw StoreFailure(StoreError::kNotSupported, "asynchronous move");
    if (options != adMoveUnspecified && (options & 1) != 0) {
      throw StoreFailure(StoreError::kNotSupported, "overwriting move");
    }
    std::string from = source.empty() ? state_->url : CanonicalUrl(source);
    std::string to = CanonicalUrl(destination);
    Node node = state_->node;
    if (from != state_->url) {
      std::optional<Node> found = state_->session->Find(from);
      if (!found) throw StoreFailure(StoreError::kNotFound, from);
      node = *found;
    }
    if (node.kind != NodeKind::kItem)
      throw StoreFailure(StoreError::kRefused, "folder move " + from);
    state_->session->MoveItem(node.id, to);
    if (node.id == state_->node.id) state_->url = to;
    return to;
  }

  Fields& GetFields() override {
    state_->CheckOpen();
    return *this;
  }

  Field& Item(const std::string& name) override {
    state_->CheckOpen();
    auto it = fields_.find(name);
    if (it == fields_.end()) {
      it = fields_.emplace(name, std::make_unique<PropertyField>(state_, name)).first;
    }
    return *it->second;
  }
  Field& Item(int32_t index) override {
    state_->CheckOpen();
    if (index != adDefaultStream) {
      throw StoreFailure(StoreError::kBadIndex, "field index " + std::to_string(index));
    }
    return content_;
  }
  void Update() override {
    state_->CheckWritable();
    PropertyValues values;
    for (const auto& [name, field] : fields_) {
      if (field->pending()) values.emplace_back(name, *field->pending());
    }
    state_->session->WriteProperties(state_->node.id, values);
    for (auto& [name, field] : fields_) field->ClearPending();
  }

 private:
  std::shared_ptr<RecordState> state_;
  ContentField content_;
  // Fields are handed out by reference and must stay put: the map owns them by pointer.
  std::map<std::string, std::unique_ptr<PropertyField>> fields_;
};

class SessionConnection : public Connection {
 public:
  explicit SessionConnection(std::unique_ptr<Session> session) : session_(std::move(session)) {}
  ~SessionConnection() override {
    if (in_transaction_) {
      try {
        session_->Rollback();
      } catch (...) {
        // Nothing to report to: the connection is going away, and the store discards an
        // unfinished transaction anyway.
      }
    }
  }

  std::unique_ptr<Record> OpenRecord(const std::string& source, int32_t mode,
                                     int32_t create_options, int32_t, const std::string&,
                                     const std::string&) override {
    session_->NoteOpen(source);
    const std::string url = CanonicalUrl(source);
    // Sharing and recursion bits (adModeShareDeny*, adModeRecursive) mean nothing here.
    const int32_t access = mode & 3;
    if (mode < 0) throw StoreFailure(StoreError::kBadArgument, "mode " + std::to_string(mode));
    const bool writable = access == 2 || access == 3;
    if (create_options != adFailIfNotExists && !writable) {
      throw StoreFailure(StoreError::kWrongMode, "creating " + url);
    }
    Node node{0, NodeKind::kItem};
    switch (create_options) {
      case adFailIfNotExists: {
        std::optional<Node> found = session_->Find(url);
        if (!found) throw StoreFailure(StoreError::kNotFound, url);
        node = *found;
        break;
      }
      case adCreateCollection:
        node = session_->CreateFolder(url);
        break;
      case adCreateOverwrite:
        node = session_->CreateItem(url, true);
        break;
      case adCreateNonCollection:
        node = session_->CreateItem(url, false);
        break;
      default:
        throw StoreFailure(StoreError::kBadArgument,
                           "create options " + std::to_string(create_options));
    }
    auto state = std::make_shared<RecordState>(RecordState{session_, node, url, writable});
    return std::make_unique<SessionRecord>(std::move(state));
  }

  void BeginTrans() override {
    if (in_transaction_) throw StoreFailure(StoreError::kTransactionOpen);
    session_->Begin();
    in_transaction_ = true;
  }
  void CommitTrans() override {
    if (!in_transaction_) throw StoreFailure(StoreError::kNoTransaction);
    session_->Commit();
    in_transaction_ = false;
  }
  void RollbackTrans() override {
    if (!in_transaction_) throw StoreFailure(StoreError::kNoTransaction);
    in_transaction_ = false;
    session_->Rollback();
  }

 private:
  std::shared_ptr<Session> session_;
  bool in_transaction_ = false;
};

}  // namespace

std::unique_ptr<Connection> NewSessionConnection(std::unique_ptr<Session> session) {
  return std::make_unique<SessionConnection>(std::move(session));
}

std::string CanonicalUrl(const std::string& url) {
  if (url.size() > 1 && url.back() == '/') return url.substr(0, url.size() - 1);
  return url;
}

std::string ParentUrl(const std::string& url) {
  size_t slash = url.rfind('/');
  return slash == std::string::npos ? std::string() : url.substr(0, slash);
}

std::vector<std::string> MissingFolders(
    const std::string& url,
    const std::function<std::optional<NodeKind>(const std::string&)>& kind_at) {
  std::vector<std::string> missing;
  for (std::string folder = CanonicalUrl(url); !folder.empty(); folder = ParentUrl(folder)) {
    if (std::optional<NodeKind> kind = kind_at(folder)) {
      if (*kind != NodeKind::kFolder) {
        throw StoreFailure(StoreError::kAlreadyExists, "an item is at " + folder);
      }
      break;
    }
    missing.push_back(folder);
    if (IsMailboxRoot(folder)) break;
    size_t scheme = folder.find("://");
    if (ParentUrl(folder).size() <= (scheme == std::string::npos ? 0 : scheme + 2)) break;
  }
  return missing;
}

}  // namespace corvalith::store
