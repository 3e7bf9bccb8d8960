// The component as the application server hosts it: created through the library's class
// factory, constructed with the constructor string, told when the store starts and stops,
// and called synchronously on every save.
//
// One instance serves one thread at a time (the class is apartment-threaded).
#ifndef CORVALITH_MAILHOST_FILTER_INSTANCE_H_
#define CORVALITH_MAILHOST_FILTER_INSTANCE_H_

#include <memory>
#include <string>

#include "platform/com.h"
#include "sink/interfaces.h"
#include "store/event_info.h"
#include "store/record.h"

namespace corvalith::host {

class FilterWatch;

// The store's event flags of the two saves the host makes.
inline constexpr int32_t kDeliveryFlags = EVT_SYNC_BEGIN | EVT_IS_DELIVERED;
inline constexpr int32_t kUserMoveFlags = EVT_SYNC_BEGIN | EVT_MOVE;

// The event information of one save: the saved item, opened on the event's connection when
// first asked for, so that what the filter does to it (a move) shows in the host's record.
class SaveEventInfo final : public IExStoreDispEventInfo {
 public:
  SaveEventInfo(store::Connection& connection, std::string url);
  // Takes a record the host opened already (a moved item).
  SaveEventInfo(store::Connection& connection, store::Record& record);

  HRESULT QueryInterface(const IID& iid, void** object) override;
  // Lives on the host's stack for exactly one save: references are not counted.
  uint32_t AddRef() override { return 1; }
  uint32_t Release() override { return 1; }
  store::Record& EventRecord() override;
  store::Connection& EventConnection() override { return connection_; }

 private:
  store::Connection& connection_;
  std::string url_;
  std::unique_ptr<store::Record> owned_;
  store::Record* record_ = nullptr;
};

// The COM+ construction object: hands the constructor string to Construct.
class ConstructionObject final : public IObjectConstructString {
 public:
  explicit ConstructionObject(std::string text) : text_(std::move(text)) {}
  HRESULT QueryInterface(const IID& iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid != IID_IUnknown && iid != IID_IObjectConstructString) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<IObjectConstructString*>(this);
    return S_OK;
  }
  uint32_t AddRef() override { return 1; }
  uint32_t Release() override { return 1; }
  HRESULT get_ConstructString(std::string* value) override {
    if (value == nullptr) return E_POINTER;
    *value = text_;
    return S_OK;
  }

 private:
  std::string text_;
};

class FilterInstance {
 public:
  // Creates the instance through DllGetClassObject, constructs it and sends OnMDBStartup.
  // Throws Failure when any step fails. A data directory in which the filter cannot work is
  // reported (filter_health.h), once per process.
  explicit FilterInstance(const std::string& construct_string);
  // Sends OnMDBShutdown and releases the instance.
  ~FilterInstance();
  FilterInstance(const FilterInstance&) = delete;
  FilterInstance& operator=(const FilterInstance&) = delete;

  // OnSyncSave; a failure status (which the filter never answers by design) throws, so that
  // the host rolls the save back as the store would.
  void Save(SaveEventInfo& info, const std::string& url, int32_t flags);

 private:
  ComPtr<IExStoreSyncEvents> sync_;
  ComPtr<IExStoreSystemEvents> system_;
  std::unique_ptr<FilterWatch> watch_;
};

}  // namespace corvalith::host

#endif  // CORVALITH_MAILHOST_FILTER_INSTANCE_H_
