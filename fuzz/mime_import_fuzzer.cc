// A hostile mail through the store's import, as a delivery does it, and read back as the
// filter reads it: the import never fails on the message itself, and every text property
// the filter gets is valid UTF-8 without NULs, the header block the message's own bytes.
#include <glib.h>

#include <memory>
#include <string>

#include "fuzz_check.h"
#include "logging/testing/recording_logger.h"
#include "mailbox_ops/filter_operations.h"
#include "platform/testing/memory_environment.h"
#include "store/memory/memory_store.h"
#include "store/message_import.h"

namespace corvalith {
namespace {

constexpr char kItem[] = "file://./backofficestorage/fuzz.example/MBX/user/Inbox/fuzz.eml";

// One store for the whole run, as a mail server keeps its store; each input replaces the item.
struct Mailbox {
  testing::MemoryFileSystem files;
  store::MemoryStore store{files};
  std::unique_ptr<store::Connection> connection = store.Connect();

  Mailbox() { store::CreateMailbox(*connection, "fuzz.example", "user"); }
};

// "" for a property the import did not set.
std::string Property(store::Record& item, const char* name) {
  try {
    return item.GetFields().Item(name).Value().ToString();
  } catch (const Failure&) {
    return "";
  }
}

bool CleanText(const std::string& text) {
  return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr) &&
         text.find('\0') == std::string::npos;
}

}  // namespace
}  // namespace corvalith

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvalith;
  static Mailbox* const mailbox = new Mailbox;
  const std::string raw = fuzz::Bytes(data, size);

  store::ImportMessage(*mailbox->connection, kItem, raw, store::Origin::kExternal);

  std::unique_ptr<store::Record> item = mailbox->connection->OpenRecord(
      kItem, store::adModeRead, store::adFailIfNotExists, store::adOpenRecordUnspecified, "", "");
  const std::string header = GetMailHeader(*item);
  FUZZ_CHECK(raw.compare(0, header.size(), header) == 0);
  FUZZ_CHECK(CleanText(GetPlainBody(*item)));
  FUZZ_CHECK(CleanText(GetHtmlBody(*item)));
  FUZZ_CHECK(GetSenderAddrType(*item) == "SMTP");
  const std::string from = Property(*item, store::kFromProperty);
  const std::string subject = Property(*item, store::kSubjectProperty);
  FUZZ_CHECK(CleanText(from));
  FUZZ_CHECK(CleanText(subject));
  testing::RecordingLogger logger;
  const std::string sender = GetSenderAddress(*item, logger);
  FUZZ_CHECK(from.find(sender) != std::string::npos);
  item->Close();
  return 0;
}
