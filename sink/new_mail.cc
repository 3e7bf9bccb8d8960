// New-mail classification: where spam goes for this mailbox, the manual for a new user,
// trust for internal and whitelisted senders, and otherwise the engine's verdict, stamped on
// the mail before spam is hidden and moved.
#include <optional>

#include "mailbox_ops/filter_operations.h"
#include "platform/failure.h"
#include "provisioning/data_layout.h"
#include "sink/exchange_filter.h"
#include "whitelist/whitelist.h"

namespace corvalith {

namespace {

// The score behind the engine's last verdict, when the engine tells it.
std::optional<double> LastVerdictProbability(IClassifierEngine& engine) {
  ComPtr<IClassifierVerdictScore> score;
  if (Failed(engine.QueryInterface(IID_IClassifierVerdictScore, score.put_void()))) {
    return std::nullopt;
  }
  double probability = 0;
  if (Failed(score->LastVerdictProbability(&probability))) return std::nullopt;
  return probability;
}

}  // namespace

void ExchangeFilter::ClassifyNewMail(EventContext& event) {
  // The folder found by the search may have gone since; the test is made either way.
  bool junk_folder_open = OpenJunkMailFolder(event.EventConnection(), event.junk_folder_url);
  if (event.junk_folder_found && !junk_folder_open) {
    if (DebugLevel != 0) {
      log_.Log(
          "The use of Junk Mail folder is enabled but the folder does not exists! Try to create "
          "the Spambox...");
    }
    event.junk_folder_found = false;
  }

  if (!event.junk_folder_found &&
      !OpenSpambox(event.EventConnection(), event.spam_folder_url, log_)) {
    event.spam_folder_missing = true;
  }

  DeliverManualToNewUser(env_.file_system(), log_, event.paths, event.item_url, DataDirectory,
                         [&]() -> store::Connection& { return event.EventConnection(); });

  DecideTrust(event);

  store::Record& record = event.record();
  std::string header = GetMailHeader(record);
  std::string body = GetMailBody(record);
  bool spam = false;
  if (event.trusted) {
    ThrowIfFailed(Engine(event).Learn(event.paths.user_data_path, header, body, false));
  } else {
    ThrowIfFailed(Engine(event).Classify(event.paths.user_data_path, header, body, &spam));
    event.outcome.score = LastVerdictProbability(Engine(event));
  }
  // The engine has now stored the mail for the user; a failure before this point keeps the
  // announcement for the next mail.
  if (event.user_announced) RetireCreationMarker(env_.file_system(), log_, event.paths);
  if (!spam) {
    SetMailMarker(record, kMarkerHam, log_);
    AppendSuffix(event, event.trusted ? " forced to HAM" : " parsed as HAM");
    event.outcome.reason = event.trusted ? "forced" : "parsed";
    return;
  }
  SetMailMarker(record, kMarkerSpam, log_);
  AppendSuffix(event, " recognized as SPAM");
  event.outcome.reason = "recognised";
  // A spam folder created in this very event takes no mail yet: the mail stays visible where
  // it was delivered.
  if (event.hide_spam != 0 && !event.spam_folder_missing) {
    store::Fields& fields = record.GetFields();
    fields.Item(store::kHiddenProperty).SetValue(Variant::Bool(true));
    fields.Update();
  }
  if (event.junk_folder_found) {
    event.outcome.moved =
        MoveSpam(record, event.junk_folder_url, event.item_name, env_.clock(), log_);
  } else if (!event.spam_folder_missing) {
    event.outcome.moved =
        MoveSpam(record, event.spam_folder_url, event.item_name, env_.clock(), log_);
  }
}

void ExchangeFilter::DecideTrust(EventContext& event) {
  store::Record& record = event.record();
  if (GetSenderAddrType(record) == store::kInternalAddressType && GetMailHeader(record).empty()) {
    event.trusted = true;
    event.outcome.trusted = "EA";
    AppendSuffix(event, " (EA)");
    return;
  }
  if (event.use_white_list == 0) return;
  event.sender_address = GetSenderAddress(record, log_);
  if (event.sender_address.empty()) return;
  FileSystem& files = env_.file_system();
  if (InWhiteList(files, log_, record.Source(), DomainWhiteListPath(event.paths.domain_directory),
                  event.sender_address)) {
    event.trusted = true;
    event.outcome.trusted = "GWL";
    AppendSuffix(event, " (GWL)");
  } else if (InWhiteList(files, log_, record.Source(),
                         UserWhiteListPath(event.paths.user_data_path), event.sender_address)) {
    event.trusted = true;
    event.outcome.trusted = "WL";
    AppendSuffix(event, " (WL)");
  }
}

}  // namespace corvalith
