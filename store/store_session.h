// What a store implementation provides so that the one record layer (store_session.cc) can
// sit on top of it: a session is one connection's access to the data, addressed by node ids
// that survive moves. Keeping every rule of the record interface (modes, pending values,
// computed properties, closed records) in the shared layer is what makes the in-memory and
// the persistent store behave identically; a session only stores and checks atomically what
// needs the data (existence, parents, clashes).
//
// A session is used by one thread at a time.
#ifndef CORVALITH_STORE_STORE_SESSION_H_
#define CORVALITH_STORE_STORE_SESSION_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "platform/variant.h"
#include "store/mailbox_url.h"
#include "store/record.h"

namespace corvalith::store {

using NodeId = int64_t;
enum class NodeKind { kFolder, kItem };
struct Node {
  NodeId id;
  NodeKind kind;
};
using PropertyValues = std::vector<std::pair<std::string, Variant>>;

// Every method throws a store failure (store_errors.h). Each write is atomic on its own and
// becomes part of the session's transaction while one is open.
class Session {
 public:
  virtual ~Session() = default;

  // Called for every OpenRecord, before anything else, with the URL as the caller gave it.
  virtual void NoteOpen(const std::string& url) { (void)url; }
  // Called for every MoveRecord, before anything else.
  virtual void NoteMove() {}
  virtual std::optional<Node> Find(const std::string& url) = 0;
  // kAlreadyExists when anything is at `url`; kParentMissing when the parent is not a folder
  // (a mailbox root needs no parent).
  virtual Node CreateFolder(const std::string& url) = 0;
  // Creates an empty item, or empties the item at `url` when `overwrite`. kAlreadyExists for
  // a folder there (or an item without `overwrite`); kParentMissing as for folders.
  virtual Node CreateItem(const std::string& url, bool overwrite) = 0;
  // nullopt for a property the node does not have.
  virtual std::optional<Variant> ReadProperty(NodeId node, const std::string& name) = 0;
  // An empty variant removes the property.
  virtual void WriteProperties(NodeId node, const PropertyValues& values) = 0;
  virtual std::string ReadContent(NodeId node) = 0;
  virtual void WriteContent(NodeId node, const std::string& bytes) = 0;
  // kAlreadyExists when `destination` is taken, kParentMissing without its folder.
  virtual void MoveItem(NodeId node, const std::string& destination) = 0;

  virtual void Begin() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;

  // Where Stream::LoadFromFile reads.
  virtual FileSystem& files() = 0;
};

// The Connection over a session.
std::unique_ptr<Connection> NewSessionConnection(std::unique_ptr<Session> session);

// URL rules shared by the stores. URLs are stored exactly as given, except that one trailing
// "/" (an empty last segment) names the folder before it.
std::string CanonicalUrl(const std::string& url);
// Everything before the last "/"; "" when there is none.
std::string ParentUrl(const std::string& url);

// The folders from `url` upwards that do not exist yet, the topmost last, stopping at the
// mailbox root: what creating the folder with its parents has to create. `kind_at` answers
// what stands at a URL. Throws kAlreadyExists when an item stands where a folder should be.
std::vector<std::string> MissingFolders(
    const std::string& url,
    const std::function<std::optional<NodeKind>(const std::string&)>& kind_at);

}  // namespace corvalith::store

#endif  // CORVALITH_STORE_STORE_SESSION_H_
