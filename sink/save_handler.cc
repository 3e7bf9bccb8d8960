// OnSyncSave: sorts the save by its flags, takes the settings snapshot, prepares the domain
// and the user, hands the event to new-mail classification or user-move learning, and writes
// one summary record. Its guard turns every failure into one error line and success: the
// store must save the mail whatever happened here.
#include <optional>

#include "config/shared_settings.h"
#include "logging/control_characters.h"
#include "mailbox_ops/filter_operations.h"
#include "mailbox_ops/item_url.h"
#include "platform/failure_styles.h"
#include "platform/text.h"
#include "provisioning/data_layout.h"
#include "sink/exchange_filter.h"

namespace corvalith {

namespace {

std::optional<EventKind> KindOfEvent(int32_t lFlags) {
  switch (lFlags) {
    case EVT_SYNC_BEGIN | EVT_IS_DELIVERED:
    case EVT_SYNC_BEGIN | EVT_INITNEW | EVT_IS_DELIVERED:
      return EventKind::kNewMail;
    case EVT_SYNC_BEGIN | EVT_INITNEW | EVT_NEW_ITEM:
    case EVT_SYNC_BEGIN | EVT_MOVE:
    case EVT_SYNC_BEGIN | EVT_INITNEW | EVT_MOVE:
      return EventKind::kUserMove;
    default:
      // Commit and abort phases, and saves with any further bit, are not ours.
      return std::nullopt;
  }
}

IExStoreDispEventInfo* EventInformation(IUnknown* pEventInfo, ComPtr<IExStoreDispEventInfo>* keep) {
  if (pEventInfo == nullptr) throw Failure("Object variable or With block variable not set", 91);
  HRESULT hr = pEventInfo->QueryInterface(IID_IExStoreDispEventInfo, keep->put_void());
  if (Failed(hr)) throw Failure("Type mismatch: no store event information", kErrTypeMismatch);
  return keep->get();
}

}  // namespace

HRESULT ExchangeFilter::OnSyncSave(IUnknown* pEventInfo, const std::string& bstrURLItem,
                                   int32_t lFlags) {
  EventContext event;
  event.start_tick = env_.clock().TickCount();
  event.item_url = bstrURLItem;
  event.flags = lFlags;
  std::optional<EventKind> kind = KindOfEvent(lFlags);
  if (!kind) return S_OK;
  event.kind = *kind;
  event.summary = event.kind == EventKind::kNewMail ? "New Mail" : "Mail moved by User";

  ComPtr<IExStoreDispEventInfo> event_info;
  StopAndLog(
      [&] {
        DebugLevel = SharedSetting(kDebugLevel).ToInt32();
        event.hide_spam = SharedSetting(kHideSpam).ToInt32();
        event.provider_mode = SharedSetting(kProviderMode).ToInt32();
        event.junk_folder_found = false;
        event.junk_folder_url = SharedSetting(kUseJunkMailFolder).ToString();
        event.use_white_list = SharedSetting(kUseWhiteList).ToInt32();
        event.auto_white_list = SharedSetting(kAutoWhiteList).ToInt32();
        event.event_info = EventInformation(pEventInfo, &event_info);
        event.event_record = &event.event_info->EventRecord();
        HandleSave(event);
      },
      [&](const Failure& failure) {
        // Before the event record exists there is no item to name: the line has an empty
        // source.
        std::string source;
        if (event.event_record != nullptr) {
          try {
            source = event.event_record->Source();
          } catch (const Failure&) {
            // A record that cannot name itself leaves the source empty: the failure that ended
            // the event is the one to report, not this one.
          }
        }
        log_.Log_Err("Corvalith Extension failed: " + failure.description(), failure.number(),
                     source);
      });
  if (SaveOutcome* receiver = CurrentSaveOutcomeReceiver()) *receiver = event.outcome;
  return S_OK;
}

void ExchangeFilter::HandleSave(EventContext& event) {
  SplitItemUrl(event.item_url, &event.domain, &event.user, &event.item_name);
  // Domain and user become parts of file paths: a crafted URL must not reach outside the
  // data directory.
  CheckPathComponent("domain", event.domain);
  CheckPathComponent("user", event.user);
  event.spam_folder_url = SpamFolderUrl(event.domain, event.user);
  SearchJunkMailFolder(event);

  event.paths.domain_directory = DomainDirectory(DataDirectory, event.domain);
  event.paths.user_data_path = UserDataPath(DataDirectory, event.domain, event.user);
  Admission admission =
      PrepareDomainAndUser(env_.file_system(), env_.event_log(), log_, event.domain, event.paths,
                           event.provider_mode, event.kind == EventKind::kNewMail, &event.summary);
  if (admission == Admission::kRefused) return;  // no summary either
  event.user_announced = admission == Admission::kAnnounced;

  if (event.kind == EventKind::kNewMail) {
    ClassifyNewMail(event);
  } else {
    LearnFromUserMove(event);
  }

  if (DebugLevel == 0) return;
  // Unsigned subtraction: the tick counter wraps after 49.7 days, and an event that spans
  // the wrap must still report its few milliseconds.
  uint32_t elapsed = env_.clock().TickCount() - event.start_tick;
  event.summary += " : " + std::to_string(static_cast<int32_t>(elapsed)) + "ms";
  if (DebugLevel > 1) AppendDetailsReport(event);
  log_.Log(event.summary);
}

void ExchangeFilter::SearchJunkMailFolder(EventContext& event) {
  if (event.junk_folder_url.empty()) return;
  std::vector<std::string> names = SplitText(event.junk_folder_url, ';');
  for (std::string& name : names) {
    name = std::string(TrimSpaces(name));
    event.junk_folder_url = JunkMailFolderUrl(event.domain, event.user, name);
    // An empty name yields the mailbox root + "/", which opens, but is no junk-mail folder.
    if (OpenJunkMailFolder(event.EventConnection(), event.junk_folder_url) && !name.empty()) {
      if (DebugLevel != 0)
        log_.Log("Found JunkMail folder '" + EscapeControlCharacters(event.junk_folder_url) + "'");
      event.junk_folder_found = true;
      return;
    }
  }
}

IClassifierEngine& ExchangeFilter::Engine(EventContext& event) {
  if (!event.engine) {
    ThrowIfFailed(env_.objects().CreateInstance(CLSID_ClassifierEngine, IID_IClassifierEngine,
                                                event.engine.put_void()));
  }
  return *event.engine.get();
}

void ExchangeFilter::AppendSuffix(EventContext& event, const char* suffix) {
  if (DebugLevel != 0) event.summary += suffix;
}

}  // namespace corvalith
