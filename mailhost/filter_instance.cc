#include "mailhost/filter_instance.h"

#include "config/constructor_string.h"
#include "mailhost/filter_health.h"
#include "sink/server.h"

namespace corvalith::host {

namespace {

// The host's one store, as the application server names it in OnMDBStartup.
constexpr char kStoreGuid[] = "{00000000-0000-0000-0000-000000000001}";
constexpr char kStoreName[] = "Corvalith host store";

// The directory the constructed filter works in: a constructor string that names none leaves
// the filter in the current directory.
std::string FilterDataDirectory(const std::string& construct_string) {
  try {
    return DataDirectoryFromConstructString(construct_string);
  } catch (const Failure&) {
    return "";
  }
}

void Check(HRESULT hr, const char* step) {
  if (Failed(hr)) {
    Failure failure = FailureFromStatus(hr);
    throw Failure(std::string(step) + " failed: " + failure.description(), failure.number());
  }
}

}  // namespace

SaveEventInfo::SaveEventInfo(store::Connection& connection, std::string url)
    : connection_(connection), url_(std::move(url)) {}

SaveEventInfo::SaveEventInfo(store::Connection& connection, store::Record& record)
    : connection_(connection), url_(record.Source()), record_(&record) {}

HRESULT SaveEventInfo::QueryInterface(const IID& iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid != IID_IUnknown && iid != IID_IExStoreDispEventInfo) {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  *object = static_cast<IExStoreDispEventInfo*>(this);
  return S_OK;
}

store::Record& SaveEventInfo::EventRecord() {
  if (record_ == nullptr) {
    owned_ = connection_.OpenRecord(url_, store::adModeReadWrite, store::adFailIfNotExists,
                                    store::adOpenRecordUnspecified, "", "");
    record_ = owned_.get();
  }
  return *record_;
}

FilterInstance::FilterInstance(const std::string& construct_string) {
  ComPtr<IClassFactory> factory;
  Check(DllGetClassObject(CLSID_ExchangeFilter, IID_IClassFactory, factory.put_void()),
        "DllGetClassObject");
  ComPtr<IUnknown> unknown;
  Check(factory->CreateInstance(nullptr, IID_IUnknown, unknown.put_void()), "CreateInstance");

  ComPtr<IObjectConstruct> construct;
  Check(unknown->QueryInterface(IID_IObjectConstruct, construct.put_void()),
        "QueryInterface(IObjectConstruct)");
  ConstructionObject construction(construct_string);
  Check(construct->Construct(&construction), "Construct");

  Check(unknown->QueryInterface(IID_IExStoreSyncEvents, sync_.put_void()),
        "QueryInterface(IExStoreSyncEvents)");
  Check(unknown->QueryInterface(IID_IExStoreSystemEvents, system_.put_void()),
        "QueryInterface(IExStoreSystemEvents)");
  Check(system_->OnMDBStartup(kStoreGuid, kStoreName, 0), "OnMDBStartup");
  watch_ =
      std::make_unique<FilterWatch>(FilterDataDirectory(construct_string), ProcessFilterAlarm());
}

FilterInstance::~FilterInstance() {
  // A failing shutdown notice has no one left to tell.
  if (system_) system_->OnMDBShutdown(kStoreGuid, 0);
}

void FilterInstance::Save(SaveEventInfo& info, const std::string& url, int32_t flags) {
  Check(sync_->OnSyncSave(&info, url, flags), "OnSyncSave");
  watch_->AfterSave();
}

}  // namespace corvalith::host
