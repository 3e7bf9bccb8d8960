#include "store/maildir/maildir_session.h"

#include <map>

#include "store/maildir/maildir_control.h"
#include "store/maildir/maildir_files.h"
#include "store/maildir/maildir_index.h"
#include "store/maildir/maildir_keywords.h"
#include "store/maildir/maildir_names.h"
#include "store/maildir/maildir_properties.h"
#include "store/message_import.h"
#include "store/store_errors.h"

namespace corvalith::store::maildir {
namespace {

constexpr char kCurDirectory[] = "cur";

// The properties computed from the message file.
enum class Derived { kNone, kFrom, kSubject, kHeader, kPlainBody, kHtmlBody, kAddressType };

Derived DerivedKind(const std::string& name) {
  static const std::map<std::string, Derived> kinds = {
      {kFromProperty, Derived::kFrom},          {kSubjectProperty, Derived::kSubject},
      {kHeaderBlockProperty, Derived::kHeader}, {kPlainBodyProperty, Derived::kPlainBody},
      {kHtmlBodyProperty, Derived::kHtmlBody},  {kAddressTypeProperty, Derived::kAddressType},
  };
  auto it = kinds.find(name);
  return it == kinds.end() ? Derived::kNone : it->second;
}

std::optional<std::string> DerivedText(const DerivedMessage& message, Derived kind) {
  switch (kind) {
    case Derived::kFrom:
      return message.from;
    case Derived::kSubject:
      return message.subject;
    case Derived::kHeader:
      return message.header_block;
    case Derived::kPlainBody:
      return message.plain_body;
    case Derived::kHtmlBody:
      return message.html_body;
    case Derived::kAddressType:
      return message.address_type;
    case Derived::kNone:
      break;
  }
  return std::nullopt;
}

// What a session knows of a folder or an item, and what its open transaction changed.
struct NodeState {
  NodeKind kind = NodeKind::kItem;
  Place place;  // where the session sees it
  // Items: where the file is for everyone else; nullopt for an item new in this transaction.
  std::optional<Place> committed;
  std::optional<MessageFile> file_hint;  // where the committed file was last seen
  std::string tmp_path;                  // content written in this transaction, in tmp/
  uint64_t content_version = 0;
  bool reset = false;  // created anew over the committed item: its flags and properties go
  std::optional<int32_t> marker;
  std::optional<bool> hidden;
  std::map<std::string, Variant> properties;  // an empty variant removes
  std::string derived_source;                 // the content `derived` was made from
  DerivedMessage derived;

  bool FileChanges() const {
    return !tmp_path.empty() || reset || marker || hidden ||
           (kind == NodeKind::kItem && committed != place);
  }
  bool Pending() const { return FileChanges() || !properties.empty(); }
  void ClearPending() {
    tmp_path.clear();
    reset = false;
    marker.reset();
    hidden.reset();
    properties.clear();
  }
};

class MaildirSession final : public Session {
 public:
  MaildirSession(const Layout& layout, FileSystem& files, const MaildirOptions& options)
      : layout_(layout), files_(files), options_(options) {}
  ~MaildirSession() override {
    RemoveTemporaryFiles();
    for (auto& [mailbox, table] : tables_) PropertyTableShelf::Instance().Give(std::move(table));
  }

  std::optional<Node> Find(const std::string& url) override {
    std::optional<Place> place = PlaceOfUrl(url);
    if (!place) return std::nullopt;
    if (layout_.FolderExists(*place))
      return Node{NodeFor(*place, NodeKind::kFolder), NodeKind::kFolder};
    std::optional<Place> item = ItemPlace(*place);
    if (!item) return std::nullopt;
    std::optional<NodeId> id = FindItem(*item, Expect::kPresent);
    if (!id) return std::nullopt;
    return Node{*id, NodeKind::kItem};
  }

  Node CreateFolder(const std::string& url) override {
    std::optional<Place> place = PlaceOfUrl(url);
    if (!place) throw StoreFailure(StoreError::kParentMissing, url);
    if (Find(url)) throw StoreFailure(StoreError::kAlreadyExists, url);
    if (!place->folder.empty()) {
      Place parent = *place;
      parent.folder.pop_back();
      if (!layout_.FolderExists(parent)) throw StoreFailure(StoreError::kParentMissing, url);
    }
    layout_.CreateFolder(*place);
    return Node{NodeFor(*place, NodeKind::kFolder), NodeKind::kFolder};
  }

  Node CreateItem(const std::string& url, bool overwrite) override {
    const Place item = NewItemPlace(url);
    if (std::optional<NodeId> existing = FindItem(item, Expect::kMissing)) {
      if (!overwrite) throw StoreFailure(StoreError::kAlreadyExists, url);
      NodeState& node = nodes_.at(*existing);
      WriteTemporary(node, "");
      node.reset = node.committed.has_value();
      node.marker.reset();
      node.hidden.reset();
      node.properties.clear();
      AutoCommit(*existing);
      return Node{*existing, NodeKind::kItem};
    }
    const NodeId id = NewNode(NodeKind::kItem, item);
    WriteTemporary(nodes_.at(id), "");
    AutoCommit(id);
    return Node{id, NodeKind::kItem};
  }

  std::optional<Variant> ReadProperty(NodeId id, const std::string& name) override {
    NodeState& node = At(id);
    if (node.kind == NodeKind::kFolder) {
      auto pending = node.properties.find(name);
      if (pending != node.properties.end()) {
        if (pending->second.IsEmpty()) return std::nullopt;
        return pending->second;
      }
      return Table(node.place).Read(OwnerOf(node.place), name);
    }
    if (name == kMailMarkerProperty) {
      const int32_t marker = node.marker ? *node.marker : CommittedMarker(node);
      if (marker == 0) return std::nullopt;
      return Variant::Int32(marker);
    }
    if (name == kHiddenProperty) {
      const bool hidden = node.hidden ? *node.hidden : CommittedHidden(node);
      if (!hidden) return std::nullopt;
      return Variant::Bool(true);
    }
    auto pending = node.properties.find(name);
    if (pending != node.properties.end()) {
      if (!pending->second.IsEmpty()) return pending->second;
    } else if (node.committed && !node.reset) {
      if (std::optional<Variant> stored = Table(node.place).Read(OwnerOf(*node.committed), name)) {
        return stored;
      }
    }
    const Derived kind = DerivedKind(name);
    if (kind == Derived::kNone) return std::nullopt;
    // Only mail from the internet has a transport header: mail stored as coming from another
    // mailbox of this server has none, though its file starts with header fields.
    if (kind == Derived::kHeader) {
      std::optional<Variant> type = ReadProperty(id, kAddressTypeProperty);
      if (type && type->type() == Variant::Type::kString &&
          type->ToString() == kInternalAddressType) {
        return std::nullopt;
      }
    }
    std::optional<std::string> text = DerivedText(Derive(node), kind);
    if (!text) return std::nullopt;
    return Variant::String(*text);
  }

  void WriteProperties(NodeId id, const PropertyValues& values) override {
    NodeState& node = At(id);
    if (values.empty()) return;
    // Checked in full before anything changes: a refused value leaves the node as it was.
    std::optional<int32_t> marker = node.marker;
    std::optional<bool> hidden = node.hidden;
    std::map<std::string, Variant> properties = node.properties;
    for (const auto& [name, value] : values) {
      if (node.kind == NodeKind::kItem && name == kMailMarkerProperty) {
        marker = MarkerOf(value);
      } else if (node.kind == NodeKind::kItem && name == kHiddenProperty) {
        hidden = HiddenOf(value);
      } else if (node.kind == NodeKind::kItem && IsDerivedValue(node, name, value)) {
        properties[name] = Variant();  // the file says it already
      } else {
        properties[name] = value;
      }
    }
    node.marker = marker;
    node.hidden = hidden;
    node.properties = std::move(properties);
    AutoCommit(id);
  }

  std::string ReadContent(NodeId id) override {
    NodeState& node = At(id);
    if (node.kind == NodeKind::kFolder) return "";
    return ContentOf(node);
  }

  void WriteContent(NodeId id, const std::string& bytes) override {
    NodeState& node = At(id);
    if (node.kind == NodeKind::kFolder) {
      throw StoreFailure(StoreError::kRefused, "a folder has no content: " + node.place.Url());
    }
    WriteTemporary(node, bytes);
    AutoCommit(id);
  }

  void MoveItem(NodeId id, const std::string& destination) override {
    NodeState& node = At(id);
    std::optional<Place> place = PlaceOfUrl(destination);
    if (!place) throw StoreFailure(StoreError::kParentMissing, destination);
    if (!place->SameMailbox(node.place)) {
      throw StoreFailure(StoreError::kRefused, "a move between mailboxes: " + destination);
    }
    const Place target = NewItemPlace(destination);
    if (target == node.place || FindItem(target, Expect::kMissing)) {
      throw StoreFailure(StoreError::kAlreadyExists, destination);
    }
    ids_.erase(node.place.Key());
    node.place = target;
    ids_[target.Key()] = id;
    AutoCommit(id);
  }

  void Begin() override {
    saved_nodes_ = nodes_;
    saved_ids_ = ids_;
    in_transaction_ = true;
  }

  void Commit() override {
    for (auto& [id, node] : nodes_) {
      if (node.Pending()) CommitNode(id);
    }
    in_transaction_ = false;
    saved_nodes_.clear();
    saved_ids_.clear();
  }

  void Rollback() override {
    RemoveTemporaryFiles();
    nodes_ = std::move(saved_nodes_);
    ids_ = std::move(saved_ids_);
    saved_nodes_.clear();
    saved_ids_.clear();
    in_transaction_ = false;
  }

  FileSystem& files() override { return files_; }

 private:
  NodeState& At(NodeId id) {
    auto it = nodes_.find(id);
    // Only a rollback of the transaction that created it takes a node away.
    if (it == nodes_.end()) throw StoreFailure(StoreError::kNotFound, "node " + std::to_string(id));
    return it->second;
  }

  NodeId NewNode(NodeKind kind, const Place& place) {
    const NodeId id = next_id_++;
    NodeState& node = nodes_[id];
    node.kind = kind;
    node.place = place;
    ids_[place.Key()] = id;
    return id;
  }

  NodeId NodeFor(const Place& place, NodeKind kind) {
    auto known = ids_.find(place.Key());
    if (known != ids_.end() && nodes_.at(known->second).kind == kind) return known->second;
    return NewNode(kind, place);
  }

  std::string FolderDirectory(const Place& place) const {
    std::optional<std::string> directory = layout_.FolderDirectoryOf(place.Folder());
    if (!directory) throw StoreFailure(StoreError::kNotFound, place.Url());
    return *directory;
  }

  PropertyTable& Table(const Place& place) {
    std::unique_ptr<PropertyTable>& table = tables_[place.domain + '\0' + place.user];
    if (!table) table = PropertyTableShelf::Instance().Take(layout_.PropertiesPath(place));
    return *table;
  }

  // Where a new item at the URL goes, with the failure the URL deserves when it cannot.
  Place NewItemPlace(const std::string& url) const {
    std::optional<Place> place = PlaceOfUrl(url);
    if (!place || place->folder.empty()) throw StoreFailure(StoreError::kParentMissing, url);
    if (layout_.FolderExists(*place)) throw StoreFailure(StoreError::kAlreadyExists, url);
    if (place->folder.size() == 1) {
      throw StoreFailure(StoreError::kRefused, "a mailbox root holds folders only: " + url);
    }
    Place item = *place;
    item.item = item.folder.back();
    item.folder.pop_back();
    if (!layout_.FolderExists(item.Folder())) throw StoreFailure(StoreError::kParentMissing, url);
    if (!IsItemName(item.item) || item.item.size() > kMaxItemNameBytes) {
      throw StoreFailure(StoreError::kBadArgument, "no Maildir item name: " + url);
    }
    return item;
  }

  std::optional<NodeId> FindItem(const Place& item, Expect expect) {
    auto known = ids_.find(item.Key());
    if (known != ids_.end()) {
      NodeState& node = nodes_.at(known->second);
      // New or moved here in this transaction, or still where everyone else sees it.
      if (node.committed != item || LocateCommitted(node)) return known->second;
      return std::nullopt;
    }
    for (const auto& [id, node] : nodes_) {
      if (node.kind == NodeKind::kItem && node.committed == item)
        return std::nullopt;  // moved away
    }
    if (!layout_.FolderExists(item.Folder())) return std::nullopt;
    std::optional<MessageFile> file = Locate(item, std::nullopt, expect);
    if (!file) return std::nullopt;
    const NodeId id = NewNode(NodeKind::kItem, item);
    nodes_.at(id).committed = item;
    nodes_.at(id).file_hint = file;
    return id;
  }

  // The file of an item: where this session saw it last, else as the index says
  // (maildir_index.h).
  std::optional<MessageFile> Locate(const Place& item, const std::optional<MessageFile>& hint,
                                    Expect expect) {
    if (hint && IsRegularFile(hint->Path(FolderDirectory(item)))) return hint;
    return LocateItem(layout_, Table(item), item, expect, options_.lock_timeout);
  }

  std::optional<MessageFile> LocateCommitted(NodeState& node) {
    node.file_hint = Locate(*node.committed, node.file_hint, Expect::kPresent);
    return node.file_hint;
  }

  // The verdict of the committed item: the property table's row when a folder had no keyword
  // letter for it, else its keywords. None for an item new in this transaction or created
  // anew over the committed one.
  std::optional<Variant> CommittedRow(NodeState& node, const std::string& name) {
    if (!node.committed || node.reset) return std::nullopt;
    return Table(*node.committed).Read(OwnerOf(*node.committed), name);
  }
  int32_t CommittedMarker(NodeState& node) {
    if (std::optional<Variant> row = CommittedRow(node, kMailMarkerProperty)) return MarkerOf(*row);
    return MarkerOfKeywords(CommittedKeywords(node));
  }
  bool CommittedHidden(NodeState& node) {
    if (std::optional<Variant> row = CommittedRow(node, kHiddenProperty)) return HiddenOf(*row);
    return HasKeyword(CommittedKeywords(node), kHiddenKeyword);
  }

  // The keyword names of the committed file; none for an item new in this transaction or
  // created anew over the committed one.
  std::vector<std::string> CommittedKeywords(NodeState& node) {
    if (!node.committed || node.reset) return {};
    std::optional<MessageFile> file = LocateCommitted(node);
    if (!file) throw StoreFailure(StoreError::kNotFound, node.place.Url());
    std::string unnamed;
    return KeywordNames(ReadKeywordTable(FolderDirectory(*node.committed)),
                        ParseMessageFileName(file->name)->flags, &unnamed);
  }

  std::string ContentOf(NodeState& node) {
    if (!node.tmp_path.empty()) {
      std::optional<std::string> content = ReadBoundedFile(node.tmp_path, kMaxMessageBytes);
      if (!content) throw StoreFailure(StoreError::kStorageFault, node.tmp_path + " vanished");
      return *content;
    }
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
      std::optional<MessageFile> file = LocateCommitted(node);
      if (!file) break;
      if (std::optional<std::string> content =
              ReadBoundedFile(file->Path(FolderDirectory(*node.committed)), kMaxMessageBytes)) {
        return *content;
      }
      node.file_hint.reset();  // renamed since it was seen: look again
    }
    throw StoreFailure(StoreError::kNotFound, node.place.Url());
  }

  const DerivedMessage& Derive(NodeState& node) {
    std::string source;
    if (!node.tmp_path.empty()) {
      source = node.tmp_path + "#" + std::to_string(node.content_version);
    } else {
      std::optional<MessageFile> file = LocateCommitted(node);
      if (!file) throw StoreFailure(StoreError::kNotFound, node.place.Url());
      // The base names one content: new content always gets a new base.
      source = std::string(ParseMessageFileName(file->name)->base);
    }
    if (source != node.derived_source) {
      node.derived = DeriveMessage(ContentOf(node), Origin::kExternal);
      node.derived_source = source;
    }
    return node.derived;
  }

  bool IsDerivedValue(NodeState& node, const std::string& name, const Variant& value) {
    const Derived kind = DerivedKind(name);
    if (kind == Derived::kNone || value.type() != Variant::Type::kString) return false;
    return DerivedText(Derive(node), kind) == value.ToString();
  }

  // New content waits in the tmp/ of the folder the item is in when it is written.
  void WriteTemporary(NodeState& node, const std::string& bytes) {
    if (node.tmp_path.empty()) {
      node.tmp_path = WriteNewFile(FolderDirectory(node.place) + "/tmp", bytes);
    } else {
      RewriteFile(node.tmp_path, bytes);
    }
    ++node.content_version;
  }

  void RemoveTemporaryFiles() noexcept {
    for (auto& [id, node] : nodes_) {
      if (node.tmp_path.empty()) continue;
      try {
        RemoveFile(node.tmp_path);
      } catch (const Failure&) {
        // Dovecot removes what is left in tmp/ after a day and a half.
      }
      node.tmp_path.clear();
    }
  }

  void AutoCommit(NodeId id) {
    if (in_transaction_) return;
    NodeState& node = nodes_.at(id);
    if (!node.Pending()) return;
    try {
      CommitNode(id);
    } catch (...) {
      Discard(id);
      throw;
    }
  }

  // Forgets the uncommitted changes of one node after its own commit failed.
  void Discard(NodeId id) noexcept {
    NodeState& node = nodes_.at(id);
    if (!node.tmp_path.empty()) {
      try {
        RemoveFile(node.tmp_path);
      } catch (const Failure&) {
        // As in RemoveTemporaryFiles.
      }
    }
    node.ClearPending();
    ids_.erase(node.place.Key());
    if (node.committed) {
      node.place = *node.committed;
      ids_[node.place.Key()] = id;
    } else {
      nodes_.erase(id);
    }
  }

  // Writes the node's changes. When an item's file changes, its property rows are written
  // first and the rename that puts the file in place comes last (CommitRename).
  void CommitNode(NodeId id) {
    NodeState& node = nodes_.at(id);
    const PropertyOwner owner = OwnerOf(node.place);
    const bool item = node.kind == NodeKind::kItem;
    std::vector<PropertyChange> changes;
    if (item && (!node.committed || node.reset)) {
      changes.push_back(PropertyChange::Clear(owner));
    } else if (item && *node.committed != node.place) {
      changes.push_back(PropertyChange::Copy(OwnerOf(*node.committed), owner));
    }
    for (const auto& [name, value] : node.properties) {
      changes.push_back(PropertyChange::Set(owner, name, value));
    }
    if (item && node.FileChanges()) {
      node.file_hint = PlaceFile(node, changes);
      if (node.committed && *node.committed != node.place) ForgetRows(*node.committed);
      node.committed = node.place;
      node.tmp_path.clear();
    } else {
      Table(node.place).Apply(changes);
    }
    node.ClearPending();
  }

  // The rows of a place the item has left. What stays when this fails belongs to no file.
  void ForgetRows(const Place& left) noexcept {
    try {
      Table(left).Apply(
          {PropertyChange::Clear(OwnerOf(left)), PropertyChange::File(OwnerOf(left), "")});
    } catch (const Failure&) {
      // The item has left already: what stays belongs to no file (see above).
    }
  }

  // Puts the item's file where the session sees the item, with its keywords, and writes the
  // changes with it: delivers new content from tmp/, or renames the committed file. Answers
  // where the file is now.
  MessageFile PlaceFile(NodeState& node, const std::vector<PropertyChange>& changes) {
    const std::string target = FolderDirectory(node.place);
    const bool inherits = node.committed && !node.reset;
    // A verdict the property table keeps goes into keywords where the folder has letters now.
    std::optional<int32_t> marker = node.marker;
    std::optional<bool> hidden = node.hidden;
    if (std::optional<Variant> row = CommittedRow(node, kMailMarkerProperty); row && !marker) {
      marker = MarkerOf(*row);
    }
    if (std::optional<Variant> row = CommittedRow(node, kHiddenProperty); row && !hidden) {
      hidden = HiddenOf(*row);
    }
    const KeywordChange change = ChangeFor(marker, hidden);
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
      // Every keyword the file will carry needs a letter in the target folder before the file
      // arrives; the target's lock is let go before the source's is taken, so that this
      // never holds two locks that Dovecot might take the other way round.
      std::vector<std::string> wanted = change.add;
      if (inherits && node.committed->folder != node.place.folder) {
        for (const std::string& name : CommittedKeywords(node)) wanted.push_back(name);
      }
      const KeywordTable table = EnsureKeywords(target, wanted, options_.lock_timeout);
      auto deliver_new = [&] {
        const PlacedKeywords placed = *PlaceKeywords(table, change.add, wanted, target);
        return Deliver(node, target, placed.letters, WithVerdict(changes, node.place, placed));
      };
      if (!node.committed) return deliver_new();

      const std::string source = FolderDirectory(*node.committed);
      UidListLock lock(source, options_.lock_timeout);
      std::optional<MessageFile> file = node.file_hint;
      if (!file || !IsRegularFile(file->Path(source))) {
        file = ScanForItem(source, node.committed->item);
      }
      if (!file) {
        // The item went meanwhile (an IMAP client deleted it): only new content survives it.
        if (node.tmp_path.empty()) throw StoreFailure(StoreError::kNotFound, node.place.Url());
        return deliver_new();
      }
      const MessageFileName parsed = *ParseMessageFileName(file->name);
      std::string flags;
      std::vector<std::string> names;
      if (inherits) {
        std::string unnamed;
        names = KeywordNames(ReadKeywordTable(source), parsed.flags, &unnamed);
        // Letters without a name mean something only in their own folder.
        flags = StandardFlags(parsed.flags) + (source == target ? unnamed : "");
      }
      change.ApplyTo(&names);
      std::optional<PlacedKeywords> placed = PlaceKeywords(table, names, wanted, target);
      if (!placed) continue;  // a keyword came with a rename meanwhile: map it first
      flags = SortedFlags(flags + placed->letters);
      const std::vector<PropertyChange> staged = WithVerdict(changes, node.place, *placed);
      if (!node.tmp_path.empty()) {
        // The new file first: a failure on the way leaves the old one.
        const MessageFile delivered = Deliver(node, target, flags, staged);
        RemoveFile(file->Path(source));
        return delivered;
      }
      const std::string base =
          node.place.item + std::string(parsed.base.substr(parsed.item.size()));
      // A message that gets no flag stays new when it stays in its folder.
      const MessageFile moved =
          flags.empty() && !parsed.has_info && file->directory != kCurDirectory && source == target
              ? MessageFile{file->directory, base}
              : MessageFile{kCurDirectory, MessageFileNameOf(base, flags, parsed.fields, true)};
      if (moved.Path(target) == file->Path(source)) {
        Table(node.place).Apply(WithFileRow(staged, node.place, moved));
        return moved;
      }
      std::vector<std::string> synced{target + "/" + kCurDirectory};
      if (target != source || file->directory != kCurDirectory) {
        synced.push_back(source + "/" + file->directory);
      }
      switch (CommitRename(node.place, staged, file->Path(source), moved, target, synced)) {
        case RenameResult::kDone:
          return moved;
        case RenameResult::kTargetExists:
          throw StoreFailure(StoreError::kAlreadyExists, node.place.Url());
        case RenameResult::kSourceMissing:
          node.file_hint.reset();
          break;
      }
    }
    throw StoreFailure(StoreError::kBusy, "the message kept changing: " + node.place.Url());
  }

  static std::vector<PropertyChange> WithVerdict(std::vector<PropertyChange> changes,
                                                 const Place& place, const PlacedKeywords& placed) {
    changes.push_back(PropertyChange::Set(OwnerOf(place), kMailMarkerProperty, placed.marker));
    changes.push_back(PropertyChange::Set(OwnerOf(place), kHiddenProperty, placed.hidden));
    return changes;
  }

  static std::vector<PropertyChange> WithFileRow(std::vector<PropertyChange> changes,
                                                 const Place& place, const MessageFile& file) {
    changes.push_back(PropertyChange::File(OwnerOf(place), FileRowText(file)));
    return changes;
  }

  // Renames the content in tmp/ into the folder, writing the changes with it: new/ without
  // flags, cur/ with them.
  MessageFile Deliver(NodeState& node, const std::string& folder_directory,
                      const std::string& letters, const std::vector<PropertyChange>& changes) {
    const std::string flags = SortedFlags(letters);
    const std::string size = std::to_string(FileSize(node.tmp_path));
    // The content is on disk before the rename that makes it mail: a crash leaves either
    // no message or the whole of it.
    SyncFile(node.tmp_path);
    for (;;) {
      const std::string base = node.place.item + ",S=" + size + ",C=" + UniqueToken();
      const MessageFile file =
          flags.empty() ? MessageFile{"new", base}
                        : MessageFile{kCurDirectory, MessageFileNameOf(base, flags, "", true)};
      switch (CommitRename(node.place, changes, node.tmp_path, file, folder_directory,
                           {folder_directory + "/" + file.directory})) {
        case RenameResult::kDone:
          return file;
        case RenameResult::kTargetExists:
          continue;  // cannot happen with a unique token, but never overwrite a message
        case RenameResult::kSourceMissing:
          throw StoreFailure(StoreError::kStorageFault, node.tmp_path + " vanished");
      }
    }
  }

  // Writes the changes with the item's file row, then renames `from` into the folder and
  // flushes the `synced` directories. The rename is the commit point: when it does not happen,
  // or is not known to be on disk, the rows are put back (and the file taken back), so that
  // a failed commit leaves no message behind and a reader never sees a message without its
  // properties.
  RenameResult CommitRename(const Place& place, const std::vector<PropertyChange>& changes,
                            const std::string& from, const MessageFile& file,
                            const std::string& folder_directory,
                            const std::vector<std::string>& synced) {
    PropertyTable& table = Table(place);
    const std::vector<PropertyChange> undo = table.Apply(WithFileRow(changes, place, file));
    const std::string to = file.Path(folder_directory);
    RenameResult result;
    try {
      result = RenameNoReplace(from, to);
    } catch (...) {
      PutBack(table, undo);
      throw;
    }
    if (result != RenameResult::kDone) {
      PutBack(table, undo);
      return result;
    }
    try {
      for (const std::string& directory : synced) SyncDirectory(directory);
    } catch (...) {
      if (RenameNoReplace(to, from) == RenameResult::kDone) PutBack(table, undo);
      throw;
    }
    return result;
  }

  // What is left when this fails too belongs to no file a lookup finds (every file row is
  // verified), and a new item's commit clears its place's rows first.
  static void PutBack(PropertyTable& table, const std::vector<PropertyChange>& undo) noexcept {
    try {
      table.Apply(undo);
    } catch (const Failure&) {
      // The failure being handled is the one to report; see above for what is left.
    }
  }

  const Layout layout_;
  FileSystem& files_;
  const MaildirOptions options_;
  std::map<NodeId, NodeState> nodes_;
  std::map<std::string, NodeId> ids_;  // by Place::Key
  NodeId next_id_ = 1;
  bool in_transaction_ = false;
  std::map<NodeId, NodeState> saved_nodes_;
  std::map<std::string, NodeId> saved_ids_;
  std::map<std::string, std::unique_ptr<PropertyTable>> tables_;  // by mailbox
};

}  // namespace

std::unique_ptr<Session> NewMaildirSession(const Layout& layout, FileSystem& files,
                                           const MaildirOptions& options) {
  return std::make_unique<MaildirSession>(layout, files, options);
}

}  // namespace corvalith::store::maildir
