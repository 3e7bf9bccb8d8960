#include "report/stored_mail.h"

#include "mailbox_ops/filter_operations.h"
#include "mailhost/message_score.h"
#include "store/record.h"

namespace corvalith::report {

std::optional<Explanation> ExplainStoredMail(host::MailHost& host,
                                             const std::string& data_directory,
                                             const FalsePositive& mail) {
  try {
    const host::MailboxAddress mailbox = host::ParseMailboxAddress(mail.mailbox);
    const host::ItemLocation location{mailbox, mail.folder, mail.item};
    const std::string url = location.FolderUrl() + "/" + mail.item;
    // The file is not trusted: its names must make exactly this item's URL in this mailbox,
    // nothing above or beside it.
    const host::ItemLocation parsed = host::ParseItemUrl(url);
    if (parsed.mailbox != mailbox || parsed.folder_path != mail.folder ||
        parsed.item_name != mail.item) {
      return std::nullopt;
    }
    const std::optional<store::Store::ItemInfo> item = host.store().FindItem(url);
    if (!item || static_cast<uint64_t>(item->size) > host::kMaxMailBytes) return std::nullopt;
    std::unique_ptr<store::Record> record = host.store().Connect()->OpenRecord(
        url, store::adModeRead, store::adFailIfNotExists, store::adOpenRecordUnspecified, "", "");
    const host::EngineInput input{GetMailHeader(*record), GetMailBody(*record)};
    return host::ExplainInput(data_directory, mailbox, input, kExplainedFeatures);
  } catch (const Failure&) {
    return std::nullopt;
  }
}

}  // namespace corvalith::report
