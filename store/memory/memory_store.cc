#include "store/memory/memory_store.h"

#include "store/mailbox_url.h"
#include "store/store_errors.h"
#include "store/store_session.h"

namespace corvalith::store {

struct MemoryStore::Data {
  struct NodeData {
    std::string url;
    NodeKind kind;
    std::map<std::string, Variant> properties;
    std::string content;
  };

  const NodeData* Lookup(const std::string& url) const {
    auto it = by_url.find(url);
    return it == by_url.end() ? nullptr : &nodes.at(it->second);
  }
  NodeData& At(NodeId id) {
    auto it = nodes.find(id);
    // A record whose node vanished: only a rollback of a transaction that created it does
    // that, and the persistent store answers the same way.
    if (it == nodes.end()) throw StoreFailure(StoreError::kNotFound, "node " + std::to_string(id));
    return it->second;
  }
  bool IsFolder(const std::string& url) const {
    const NodeData* node = Lookup(url);
    return node && node->kind == NodeKind::kFolder;
  }
  Node Add(const std::string& url, NodeKind kind) {
    NodeId id = next_id++;
    nodes[id] = NodeData{url, kind, {}, {}};
    by_url[url] = id;
    return Node{id, kind};
  }

  std::map<NodeId, NodeData> nodes;
  std::map<std::string, NodeId> by_url;
  NodeId next_id = 1;
};

namespace {

// Counts one call against a refusal entry: true once the allowed calls are used up.
bool Refused(std::map<std::string, int>& refusals, const std::string& url) {
  auto it = refusals.find(url);
  if (it == refusals.end()) return false;
  if (it->second == 0) return true;
  --it->second;
  return false;
}

}  // namespace

class MemoryStore::MemorySession : public Session {
 public:
  explicit MemorySession(MemoryStore& store) : store_(store) {}

  void NoteOpen(const std::string& url) override {
    std::lock_guard lock(store_.mu_);
    ++store_.open_calls_[url];
    if (Refused(store_.refuse_open_, CanonicalUrl(url))) {
      throw StoreFailure(StoreError::kRefused, "open " + url);
    }
  }
  void NoteMove() override {
    std::lock_guard lock(store_.mu_);
    ++store_.move_attempts_;
  }

  std::optional<Node> Find(const std::string& url) override {
    std::lock_guard lock(store_.mu_);
    auto it = data().by_url.find(url);
    if (it == data().by_url.end()) return std::nullopt;
    return Node{it->second, data().nodes.at(it->second).kind};
  }

  Node CreateFolder(const std::string& url) override {
    std::lock_guard lock(store_.mu_);
    CheckCreatable(url);
    return data().Add(url, NodeKind::kFolder);
  }

  Node CreateItem(const std::string& url, bool overwrite) override {
    std::lock_guard lock(store_.mu_);
    if (store_.refuse_create_.count(url)) throw StoreFailure(StoreError::kRefused, "create " + url);
    auto it = data().by_url.find(url);
    if (it != data().by_url.end()) {
      Data::NodeData& node = data().nodes.at(it->second);
      if (!overwrite || node.kind != NodeKind::kItem) {
        throw StoreFailure(StoreError::kAlreadyExists, url);
      }
      node.properties.clear();
      node.content.clear();
      return Node{it->second, NodeKind::kItem};
    }
    CheckCreatable(url);
    return data().Add(url, NodeKind::kItem);
  }

  std::optional<Variant> ReadProperty(NodeId id, const std::string& name) override {
    std::lock_guard lock(store_.mu_);
    Data::NodeData& node = data().At(id);
    if (store_.unreadable_.count({node.url, name})) {
      throw StoreFailure(StoreError::kPropertyUnreadable, name);
    }
    auto it = node.properties.find(name);
    if (it == node.properties.end()) return std::nullopt;
    return it->second;
  }

  void WriteProperties(NodeId id, const PropertyValues& values) override {
    std::lock_guard lock(store_.mu_);
    Data::NodeData& node = data().At(id);
    if (Refused(store_.refuse_update_, node.url)) {
      throw StoreFailure(StoreError::kRefused, "update " + node.url);
    }
    for (const auto& [name, value] : values) {
      if (value.IsEmpty()) {
        node.properties.erase(name);
      } else {
        node.properties[name] = value;
      }
    }
  }

  std::string ReadContent(NodeId id) override {
    std::lock_guard lock(store_.mu_);
    return data().At(id).content;
  }
  void WriteContent(NodeId id, const std::string& bytes) override {
    std::lock_guard lock(store_.mu_);
    data().At(id).content = bytes;
  }

  void MoveItem(NodeId id, const std::string& destination) override {
    std::lock_guard lock(store_.mu_);
    Data::NodeData& node = data().At(id);
    if (store_.refuse_move_.count(node.url)) {
      throw StoreFailure(StoreError::kRefused, "move " + node.url);
    }
    if (data().by_url.count(destination))
      throw StoreFailure(StoreError::kAlreadyExists, destination);
    if (!data().IsFolder(ParentUrl(destination))) {
      throw StoreFailure(StoreError::kParentMissing, destination);
    }
    data().by_url.erase(node.url);
    node.url = destination;
    data().by_url[destination] = id;
  }

  void Begin() override {
    std::lock_guard lock(store_.mu_);
    snapshot_ = std::make_unique<Data>(data());
  }
  void Commit() override {
    std::lock_guard lock(store_.mu_);
    snapshot_.reset();
  }
  void Rollback() override {
    std::lock_guard lock(store_.mu_);
    if (snapshot_) *store_.data_ = std::move(*snapshot_);
    snapshot_.reset();
  }

  FileSystem& files() override { return store_.files_; }

 private:
  Data& data() { return *store_.data_; }

  // REQUIRES: store_.mu_ held.
  void CheckCreatable(const std::string& url) {
    if (store_.refuse_create_.count(url)) throw StoreFailure(StoreError::kRefused, "create " + url);
    if (data().by_url.count(url)) throw StoreFailure(StoreError::kAlreadyExists, url);
    if (!IsMailboxRoot(url) && !data().IsFolder(ParentUrl(url))) {
      throw StoreFailure(StoreError::kParentMissing, url);
    }
  }

  MemoryStore& store_;
  std::unique_ptr<Data> snapshot_;
};

MemoryStore::MemoryStore(FileSystem& files) : files_(files), data_(std::make_unique<Data>()) {}
MemoryStore::~MemoryStore() = default;

std::unique_ptr<Connection> MemoryStore::Connect() {
  return NewSessionConnection(std::make_unique<MemorySession>(*this));
}

void MemoryStore::CreateFolder(const std::string& url) {
  std::lock_guard lock(mu_);
  std::vector<std::string> missing =
      MissingFolders(url, [&](const std::string& folder) -> std::optional<NodeKind> {
        const Data::NodeData* node = data_->Lookup(folder);
        if (node == nullptr) return std::nullopt;
        return node->kind;
      });
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) data_->Add(*it, NodeKind::kFolder);
}

void MemoryStore::PutItem(const std::string& url, const std::map<std::string, Variant>& properties,
                          const std::string& content) {
  const std::string item = CanonicalUrl(url);
  if (!Exists(item)) CreateFolder(ParentUrl(item));
  std::lock_guard lock(mu_);
  auto it = data_->by_url.find(item);
  NodeId id = it != data_->by_url.end() ? it->second : data_->Add(item, NodeKind::kItem).id;
  Data::NodeData& node = data_->nodes.at(id);
  for (const auto& [name, value] : properties) {
    if (value.IsEmpty()) {
      node.properties.erase(name);
    } else {
      node.properties[name] = value;
    }
  }
  if (!content.empty()) node.content = content;
}

bool MemoryStore::Exists(const std::string& url) const {
  std::lock_guard lock(mu_);
  return data_->Lookup(CanonicalUrl(url)) != nullptr;
}

std::optional<Variant> MemoryStore::Property(const std::string& url,
                                             const std::string& name) const {
  std::lock_guard lock(mu_);
  const Data::NodeData* node = data_->Lookup(CanonicalUrl(url));
  if (!node) return std::nullopt;
  auto it = node->properties.find(name);
  if (it == node->properties.end()) return std::nullopt;
  return it->second;
}

std::string MemoryStore::Content(const std::string& url) const {
  std::lock_guard lock(mu_);
  const Data::NodeData* node = data_->Lookup(CanonicalUrl(url));
  return node ? node->content : std::string();
}

std::vector<std::string> MemoryStore::Children(const std::string& folder_url) const {
  std::lock_guard lock(mu_);
  const std::string prefix = CanonicalUrl(folder_url) + "/";
  std::vector<std::string> children;
  for (auto it = data_->by_url.lower_bound(prefix);
       it != data_->by_url.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it) {
    if (it->first.find('/', prefix.size()) == std::string::npos) children.push_back(it->first);
  }
  return children;
}

std::vector<Store::FolderInfo> MemoryStore::Folders(const std::string& mailbox_root) const {
  std::lock_guard lock(mu_);
  const std::string root = CanonicalUrl(mailbox_root);
  std::vector<FolderInfo> folders;
  for (auto it = data_->by_url.lower_bound(root);
       it != data_->by_url.end() && it->first.compare(0, root.size(), root) == 0; ++it) {
    const bool below = it->first.size() == root.size() || it->first[root.size()] == '/';
    if (!below || !data_->IsFolder(it->first)) continue;
    int64_t items = 0;
    for (const auto& [id, node] : data_->nodes) {
      if (node.kind == NodeKind::kItem && ParentUrl(node.url) == it->first) ++items;
    }
    folders.push_back(FolderInfo{it->first, items});
  }
  return folders;
}

std::vector<std::string> MemoryStore::Mailboxes() const {
  std::lock_guard lock(mu_);
  std::vector<std::string> roots;
  for (const auto& [url, id] : data_->by_url) {
    if (data_->IsFolder(url) && IsMailboxRoot(url)) roots.push_back(url);
  }
  return roots;
}

std::optional<Store::ItemInfo> MemoryStore::FindItem(const std::string& url) const {
  std::lock_guard lock(mu_);
  const Data::NodeData* node = data_->Lookup(CanonicalUrl(url));
  if (!node || node->kind != NodeKind::kItem) return std::nullopt;
  return ItemInfo{node->url, ParentUrl(node->url), static_cast<int64_t>(node->content.size())};
}

std::vector<Store::ItemInfo> MemoryStore::Items(const std::string& folder_url) const {
  std::vector<ItemInfo> items;
  for (const std::string& url : Children(folder_url)) {
    std::lock_guard lock(mu_);
    const Data::NodeData* node = data_->Lookup(url);
    if (node && node->kind == NodeKind::kItem) {
      items.push_back(ItemInfo{url, ParentUrl(url), static_cast<int64_t>(node->content.size())});
    }
  }
  return items;
}

void MemoryStore::RefuseOpen(const std::string& url, int after) {
  std::lock_guard lock(mu_);
  refuse_open_[url] = after;
}
void MemoryStore::RefuseCreate(const std::string& url) {
  std::lock_guard lock(mu_);
  refuse_create_.insert(url);
}
void MemoryStore::RefuseUpdate(const std::string& url, int after) {
  std::lock_guard lock(mu_);
  refuse_update_[url] = after;
}
void MemoryStore::RefuseMove(const std::string& source_url) {
  std::lock_guard lock(mu_);
  refuse_move_.insert(source_url);
}
void MemoryStore::MakeUnreadable(const std::string& url, const std::string& name) {
  std::lock_guard lock(mu_);
  unreadable_.insert({url, name});
}
int MemoryStore::move_attempts() const {
  std::lock_guard lock(mu_);
  return move_attempts_;
}
int MemoryStore::open_calls(const std::string& url) const {
  std::lock_guard lock(mu_);
  auto it = open_calls_.find(url);
  return it == open_calls_.end() ? 0 : it->second;
}

}  // namespace corvalith::store
