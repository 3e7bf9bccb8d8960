// ExchangeFilter: the store event sink. The store calls OnSyncSave synchronously on every
// save in a registered mailbox; the handler classifies new mail, learns from the user's
// moves, and never vetoes a save: every failure its guard handles ends in success, so the
// store keeps the mail whatever the filter did.
//
// Start reading here. The pipeline of one save event is spread over save_handler.cc
// (dispatch and summary), new_mail.cc, user_move.cc and details_report.cc.
//
// Apartment-threaded: an instance is called by one thread at a time and takes no locks.
// Instances share only the process-wide settings cache and the log file.
#ifndef CORVALITH_SINK_EXCHANGE_FILTER_H_
#define CORVALITH_SINK_EXCHANGE_FILTER_H_

#include <atomic>
#include <string>

#include "engine/classifier_engine.h"
#include "logging/logger.h"
#include "platform/environment.h"
#include "sink/event_context.h"
#include "sink/interfaces.h"

namespace corvalith {

class ExchangeFilter final : public _ExchangeFilter,
                             public IExStoreSyncEvents,
                             public IExStoreSystemEvents,
                             public IObjectConstruct {
 public:
  // A new instance holding one reference, working through `environment`, which must
  // outlive it.
  static ExchangeFilter* Create(Environment& environment);

  // IUnknown
  HRESULT QueryInterface(const IID& iid, void** object) override;
  uint32_t AddRef() override;
  uint32_t Release() override;

  // _ExchangeFilter
  HRESULT Log(const std::string& sLog) override;
  HRESULT Log_Err(const std::string& sErr, int32_t nErr, const std::string& source) override;
  HRESULT GetSharedProp(const std::string& SP_Corvalith, Variant* result) override;

  // IExStoreSyncEvents
  HRESULT OnSyncSave(IUnknown* pEventInfo, const std::string& bstrURLItem, int32_t lFlags) override;
  HRESULT OnSyncDelete(IUnknown* pEventInfo, const std::string& bstrURLItem,
                       int32_t lFlags) override;

  // IExStoreSystemEvents
  HRESULT OnTimer(const std::string& bstrBindingGuid, int32_t lFlags) override;
  HRESULT OnMDBStartup(const std::string& bstrMDBGuid, const std::string& bstrMDBName,
                       int32_t lFlags) override;
  HRESULT OnMDBShutdown(const std::string& bstrMDBGuid, int32_t lFlags) override;

  // IObjectConstruct
  HRESULT Construct(IUnknown* pCtorObj) override;

  // The instance fields, for the host and for tests.
  const std::string& data_directory() const { return DataDirectory; }
  int32_t debug_level() const { return DebugLevel; }

 private:
  // The log as the private operations see it: Log throws, Log_Err never fails (a record it
  // cannot write is lost, and the loss noted for the host: logging/lost_log_records.h).
  class InstanceLog : public Logger {
   public:
    explicit InstanceLog(ExchangeFilter& filter) : filter_(filter) {}
    void Log(const std::string& sLog) override;
    void Log_Err(const std::string& sErr, int32_t nErr, const std::string& source) override;
    int32_t debug_level() const override { return filter_.DebugLevel; }

   private:
    ExchangeFilter& filter_;
  };

  explicit ExchangeFilter(Environment& environment);
  ~ExchangeFilter();

  Variant SharedSetting(const std::string& name);
  void HandleSave(EventContext& event);
  void SearchJunkMailFolder(EventContext& event);
  void ClassifyNewMail(EventContext& event);
  void DecideTrust(EventContext& event);
  void LearnFromUserMove(EventContext& event);
  void WhiteListRescuedSender(EventContext& event);
  void AppendDetailsReport(EventContext& event);
  IClassifierEngine& Engine(EventContext& event);
  void AppendSuffix(EventContext& event, const char* suffix);

  Environment& env_;
  InstanceLog log_;
  std::atomic<uint32_t> references_{1};

  // The data directory, ending in the separator once Construct has run.
  std::string DataDirectory;
  // The logging level: 0 after Construct, then the setting's value from each save event on.
  // Atomic: the saves of a store's threads set and read it at the same time.
  std::atomic<int32_t> DebugLevel = 0;
};

// Live objects and server locks of the library, for DllCanUnloadNow.
std::atomic<int>& LiveObjectCount();

}  // namespace corvalith

#endif  // CORVALITH_SINK_EXCHANGE_FILTER_H_
