#include "provisioning/user_manual.h"

#include <memory>

#include "mailbox_ops/item_url.h"
#include "platform/failure_styles.h"
#include "provisioning/data_layout.h"

namespace corvalith {

void CreateUserManual(FileSystem& files, store::Connection& connection,
                      const std::string& folder_url, const std::string& data_directory,
                      Logger& logger) {
  StopAndLog(
      [&] {
        std::string content =
            files.ReadFile(ManualTemplatePath(data_directory), kMaxManualTemplateBytes);
        std::unique_ptr<store::Record> item =
            connection.OpenRecord(ManualItemUrl(folder_url), store::adModeReadWrite,
                                  store::adCreateOverwrite, store::adOpenRecordUnspecified, "", "");
        {
          std::unique_ptr<store::Stream> stream =
              item->GetFields().Item(store::adDefaultStream).StreamValue();
          stream->SetCharset("US-ASCII");
          stream->SetType(store::adTypeBinary);
          stream->Write(content);
          stream->Flush();
        }
        store::Fields& fields = item->GetFields();
        fields.Item(store::kMessageClassProperty)
            .SetValue(Variant::String(store::kMessageClassNote));
        fields.Item(store::kMessageFlagsProperty).SetValue(Variant::Int16(kManualMessageFlags));
        fields.Update();
        item->Close();
      },
      [&](const Failure& failure) {
        logger.Log_Err("Creation of user manual failed: " + failure.description(), failure.number(),
                       folder_url);
      });
}

}  // namespace corvalith
