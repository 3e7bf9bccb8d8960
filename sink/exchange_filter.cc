#include "sink/exchange_filter.h"

#include <optional>

#include "config/constructor_string.h"
#include "config/shared_settings.h"
#include "logging/log_file.h"
#include "logging/lost_log_records.h"
#include "platform/failure_styles.h"

namespace corvalith {

std::atomic<int>& LiveObjectCount() {
  static std::atomic<int> count{0};
  return count;
}

ExchangeFilter* ExchangeFilter::Create(Environment& environment) {
  return new ExchangeFilter(environment);
}

ExchangeFilter::ExchangeFilter(Environment& environment) : env_(environment), log_(*this) {
  ++LiveObjectCount();
}

ExchangeFilter::~ExchangeFilter() { --LiveObjectCount(); }

HRESULT ExchangeFilter::QueryInterface(const IID& iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID__ExchangeFilter) {
    *object = static_cast<_ExchangeFilter*>(this);
  } else if (iid == IID_IExStoreSyncEvents) {
    *object = static_cast<IExStoreSyncEvents*>(this);
  } else if (iid == IID_IExStoreSystemEvents) {
    *object = static_cast<IExStoreSystemEvents*>(this);
  } else if (iid == IID_IObjectConstruct) {
    *object = static_cast<IObjectConstruct*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

uint32_t ExchangeFilter::AddRef() { return ++references_; }

uint32_t ExchangeFilter::Release() {
  uint32_t left = --references_;
  if (left == 0) delete this;
  return left;
}

void ExchangeFilter::InstanceLog::Log(const std::string& sLog) {
  AppendLogRecord(filter_.env_.file_system(), filter_.env_.clock(), filter_.DataDirectory, sLog);
}

void ExchangeFilter::InstanceLog::Log_Err(const std::string& sErr, int32_t nErr,
                                          const std::string& source) {
  CarryOn on;
  on([&] { Log(ErrorRecordText(sErr, nErr, source)); });
  // The record is lost, as the filter's contract has it; the host learns that, and why.
  if (on.failed()) NoteLostLogRecord(on.error());
}

HRESULT ExchangeFilter::Log(const std::string& sLog) {
  return ReturnStatus([&] { log_.Log(sLog); });
}

HRESULT ExchangeFilter::Log_Err(const std::string& sErr, int32_t nErr, const std::string& source) {
  log_.Log_Err(sErr, nErr, source);
  return S_OK;
}

Variant ExchangeFilter::SharedSetting(const std::string& name) {
  return LookUpSharedSetting(env_.shared_properties(), env_.registry(), log_, name);
}

HRESULT ExchangeFilter::GetSharedProp(const std::string& SP_Corvalith, Variant* result) {
  if (result == nullptr) return E_POINTER;
  *result = SharedSetting(SP_Corvalith);
  return S_OK;
}

HRESULT ExchangeFilter::OnSyncDelete(IUnknown*, const std::string&, int32_t) { return S_OK; }

HRESULT ExchangeFilter::OnTimer(const std::string&, int32_t) { return S_OK; }

HRESULT ExchangeFilter::OnMDBStartup(const std::string&, const std::string&, int32_t) {
  return ReturnStatus([&] {
    if (DebugLevel != 0) log_.Log("CorvalithFilter (c) started.");
  });
}

HRESULT ExchangeFilter::OnMDBShutdown(const std::string&, int32_t) {
  return ReturnStatus([&] {
    if (DebugLevel != 0) log_.Log("CorvalithFilter (c) stopped.");
  });
}

namespace {

std::string ReadConstructString(IUnknown* pCtorObj) {
  if (pCtorObj == nullptr) throw Failure("Object variable or With block variable not set", 91);
  ComPtr<IObjectConstructString> ctor;
  HRESULT hr = pCtorObj->QueryInterface(IID_IObjectConstructString, ctor.put_void());
  if (Failed(hr)) throw Failure("Object doesn't support this property or method", 438);
  std::string text;
  ThrowIfFailed(ctor->get_ConstructString(&text));
  return text;
}

}  // namespace

HRESULT ExchangeFilter::Construct(IUnknown* pCtorObj) {
  ComPtr<IUnknown> keep_alive;
  if (pCtorObj != nullptr) {
    pCtorObj->AddRef();
    keep_alive = ComPtr<IUnknown>::Attach(pCtorObj);
  }
  // A construction object that cannot be read at all fails the guard's own second read too;
  // that failure goes back to COM+ as a failure status.
  return ReturnStatus([&] {
    StopAndLog(
        [&] {
          DebugLevel = 0;
          DataDirectory = DataDirectoryFromConstructString(ReadConstructString(pCtorObj));
        },
        [&](const Failure& failure) {
          log_.Log_Err("Parsing constructor string failed: " + failure.description(),
                       failure.number(), ReadConstructString(pCtorObj));
        });
  });
}

}  // namespace corvalith
