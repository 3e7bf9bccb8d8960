// User-move learning: a user who moves a mail into or out of a spam folder corrects the
// filter. A move that contradicts the mail's marker makes the engine relearn the mail and
// reverses the marker; a mail rescued from the spam folder may whitelist its sender.
#include "mailbox_ops/filter_operations.h"
#include "mailbox_ops/item_url.h"
#include "provisioning/data_layout.h"
#include "sink/exchange_filter.h"
#include "whitelist/whitelist.h"

namespace corvalith {

void ExchangeFilter::LearnFromUserMove(EventContext& event) {
  store::Record& record = event.record();
  store::Connection& connection = event.EventConnection();
  Variant parent_name = record.GetFields().Item(store::kDavParentName).Value();
  std::string waste_basket = GetWasteBasket(connection, event.domain, event.user, log_);
  // A parent name without a value never equals anything.
  if (!parent_name.IsNull() && SameFolderUrl(parent_name.ToString(), waste_basket)) {
    AppendSuffix(event, " to Deleted Items - leave untouched");
    event.outcome.reason = "deleted items";
    return;
  }

  int32_t marker = GetMailMarker(record, log_);
  std::string parent_url = record.ParentURL();
  bool in_spam_folder =
      (event.junk_folder_found && SameFolderUrl(parent_url, event.junk_folder_url)) ||
      SameFolderUrl(parent_url, event.spam_folder_url);

  if (in_spam_folder) {
    if (marker == kMarkerHam) {
      ThrowIfFailed(Engine(event).Relearn(event.paths.user_data_path, GetMailHeader(record),
                                          GetMailBody(record), true));
      SetMailMarker(record, kMarkerSpam, log_);
      AppendSuffix(event, " was swapped to SPAM");
      event.outcome.reason = "swapped";
    } else if (marker == kMarkerSpam) {
      AppendSuffix(event, " already parsed as SPAM");
      event.outcome.reason = "already";
    } else {
      AppendSuffix(event, " has no MM - leave");
      event.outcome.reason = "no marker";
    }
    return;
  }

  if (marker == kMarkerSpam) {
    ThrowIfFailed(Engine(event).Relearn(event.paths.user_data_path, GetMailHeader(record),
                                        GetMailBody(record), false));
    SetMailMarker(record, kMarkerHam, log_);
    AppendSuffix(event, " was swapped to HAM (FP?)");
    event.outcome.reason = "swapped";
    if ((event.auto_white_list & event.use_white_list) != 0) WhiteListRescuedSender(event);
  } else if (marker == kMarkerHam) {
    AppendSuffix(event, " already parsed as HAM");
    event.outcome.reason = "already";
  } else {
    AppendSuffix(event, " has no MM - leave");
    event.outcome.reason = "no marker";
  }
}

void ExchangeFilter::WhiteListRescuedSender(EventContext& event) {
  store::Record& record = event.record();
  FileSystem& files = env_.file_system();
  event.sender_address = GetSenderAddress(record, log_);
  // Asked even for an empty address, as the list's own error line tells the administrator
  // that the user has no list yet.
  const std::string list = UserWhiteListPath(event.paths.user_data_path);
  bool listed = InWhiteList(files, log_, record.Source(), list, event.sender_address);
  if (event.sender_address.empty() || listed) return;
  if (AddToWhiteList(files, log_, record.Source(), list, event.sender_address) && DebugLevel > 1) {
    log_.Log("Sender Address " + event.sender_address + " added to WhiteList.");
  }
}

}  // namespace corvalith
