#include <memory>

#include "mailbox_ops/filter_operations.h"
#include "platform/failure_styles.h"

namespace corvalith {

namespace {

// The read-only test-open of a folder: no fields or stream are fetched, it only has to exist.
std::unique_ptr<store::Record> TestOpen(store::Connection& connection, const std::string& url) {
  return connection.OpenRecord(url, store::adModeRead, store::adFailIfNotExists,
                               store::adDelayFetchStream + store::adDelayFetchFields, "", "");
}

}  // namespace

bool OpenJunkMailFolder(store::Connection& connection, const std::string& folder_url) {
  CarryOn on;
  std::unique_ptr<store::Record> record;
  on([&] { record = TestOpen(connection, folder_url); });
  if (on.failed()) return false;
  on([&] { record->Close(); });
  return true;
}

bool OpenSpambox(store::Connection& connection, const std::string& folder_url, Logger& logger) {
  CarryOn on;
  std::unique_ptr<store::Record> record;
  on([&] { record = TestOpen(connection, folder_url); });
  if (!on.failed()) {
    on([&] { record->Close(); });
    return true;
  }
  on.Clear();
  on([&] {
    record = connection.OpenRecord(folder_url, store::adModeReadWrite, store::adCreateCollection,
                                   store::adOpenRecordUnspecified, "", "");
  });
  if (!on.failed()) {
    on([&] {
      record->GetFields()
          .Item(store::kDavContentClass)
          .SetValue(Variant::String(store::kFolderContentClass));
    });
    on([&] {
      record->GetFields()
          .Item(store::kOutlookFolderClass)
          .SetValue(Variant::String(store::kMailFolderClass));
    });
    on([&] { record->GetFields().Update(); });
    if (!on.failed()) {
      on([&] { record->Close(); });
      return false;
    }
  }
  logger.Log_Err("Open Spambox failed: " + on.error().description(), on.error().number(),
                 folder_url);
  return false;
}

}  // namespace corvalith
