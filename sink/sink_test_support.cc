#include "sink/sink_test_support.h"

#include "mailbox_ops/item_url.h"
#include "platform/text.h"

namespace corvalith::testing {

HRESULT ScriptedEngine::QueryInterface(const IID& iid, void** object) {
  if (iid != IID_IUnknown && iid != IID_IClassifierEngine) return E_NOINTERFACE;
  *object = static_cast<IClassifierEngine*>(this);
  AddRef();
  return S_OK;
}

HRESULT ScriptedEngine::Record(Call call) {
  calls.push_back(call);
  if (fail_with != S_OK || call.op == fail_op) {
    HRESULT hr = fail_with != S_OK ? fail_with : E_FAIL;
    fail_with = S_OK;
    SetErrorInfo("engine broke");
    return hr;
  }
  if (call.op != "GetStatistics") files_.WriteFile(call.key, "db");
  return S_OK;
}

HRESULT ScriptedEngine::Classify(const std::string& key, const std::string& header,
                                 const std::string& body, bool* spam) {
  HRESULT hr = Record({"Classify", key, header, body, false});
  if (Succeeded(hr)) *spam = verdict;
  return hr;
}

HRESULT ScriptedEngine::Learn(const std::string& key, const std::string& header,
                              const std::string& body, bool spam) {
  return Record({"Learn", key, header, body, spam});
}

HRESULT ScriptedEngine::Relearn(const std::string& key, const std::string& header,
                                const std::string& body, bool spam) {
  return Record({"Relearn", key, header, body, spam});
}

HRESULT ScriptedEngine::GetStatistics(const std::string& key, int32_t* ham, int32_t* spam) {
  HRESULT hr = Record({"GetStatistics", key, "", "", false});
  if (Succeeded(hr)) {
    *ham = ham_count;
    *spam = spam_count;
  }
  return hr;
}

FakeEventInfo::FakeEventInfo(std::unique_ptr<store::Connection> connection, const std::string& url)
    : connection_(std::move(connection)), url_(url) {}

HRESULT FakeEventInfo::QueryInterface(const IID& iid, void** object) {
  if (iid != IID_IUnknown && iid != IID_IExStoreDispEventInfo) return E_NOINTERFACE;
  *object = static_cast<IExStoreDispEventInfo*>(this);
  return S_OK;
}

store::Record& FakeEventInfo::EventRecord() {
  if (fail_record) throw Failure("EventRecord unavailable", E_FAIL);
  if (!record_) {
    record_ = connection_->OpenRecord(url_, store::adModeReadWrite, store::adFailIfNotExists,
                                      store::adOpenRecordUnspecified, "", "");
  }
  return *record_;
}

store::Connection& FakeEventInfo::EventConnection() {
  ++connection_reads;
  if (fail_connection) throw Failure("EventConnection unavailable", E_FAIL);
  return *connection_;
}

HRESULT ConstructionObject::QueryInterface(const IID& iid, void** object) {
  if (iid != IID_IUnknown && iid != IID_IObjectConstructString) return E_NOINTERFACE;
  *object = static_cast<IObjectConstructString*>(this);
  AddRef();
  return S_OK;
}

HRESULT ConstructionObject::get_ConstructString(std::string* value) {
  if (unreadable) {
    SetErrorInfo("Object doesn't support this property or method");
    return static_cast<HRESULT>(0x800A01B6);
  }
  *value = text_;
  return S_OK;
}

SinkTest::SinkTest() : store_(env_.files), engine_(env_.files) {
  env_.files.AddDirectory("/data");
  env_.files.WriteFile("/data/cvusrmnl.sys", "Subject: Manual\r\n\r\nRead me.\r\n");
  env_.classes.Register(CLSID_ClassifierEngine, [this](const IID& iid, void** object) {
    if (fail_engine_creation_) {
      SetErrorInfo("engine not installed");
      return static_cast<HRESULT>(0x80040154);
    }
    return engine_.QueryInterface(iid, object);
  });
  store_.CreateFolder(kRoot);
  for (const char* folder : {"Inbox", "Sent Items", "Deleted Items", "Junk E-mail"}) {
    store_.CreateFolder(kRoot + "/" + folder);
  }
  store_.PutItem(kRoot, {{store::kDeletedItemsProperty, Variant::String(kDeletedItems)}});
  filter_ = ExchangeFilter::Create(env_);
  ConstructionObject construction("/data");
  EXPECT_EQ(filter_->Construct(&construction), S_OK);
}

SinkTest::~SinkTest() { filter_->Release(); }

void SinkTest::SetSettings(int32_t debug_level, int32_t hide_spam, int32_t provider_mode,
                           const std::string& junk, int32_t use_white_list,
                           int32_t auto_white_list) {
  env_.registry_.SetDword("DebugLevel", static_cast<uint32_t>(debug_level));
  env_.registry_.SetDword("HideSpam", static_cast<uint32_t>(hide_spam));
  env_.registry_.SetDword("ProviderMode", static_cast<uint32_t>(provider_mode));
  env_.registry_.SetString("UseJunkMailFolder", junk);
  env_.registry_.SetDword("UseWhiteList", static_cast<uint32_t>(use_white_list));
  env_.registry_.SetDword("AutoWhiteList", static_cast<uint32_t>(auto_white_list));
}

std::string SinkTest::PutMail(const std::string& folder_url, const std::string& name,
                              const std::string& from, std::map<std::string, Variant> extra) {
  std::string url = folder_url + "/" + name;
  std::map<std::string, Variant> properties = {
      {store::kFromProperty, Variant::String(from)},
      {store::kHeaderBlockProperty, Variant::String("Received: from outside\r\nFrom: " + from)},
      {store::kPlainBodyProperty, Variant::String("plain body")},
      {store::kAddressTypeProperty, Variant::String("SMTP")},
  };
  for (auto& [k, v] : extra) properties[k] = v;
  store_.PutItem(url, properties);
  return url;
}

void SinkTest::AddKnownUser() {
  env_.files.AddDirectory("/data/example.com");
  env_.files.WriteFile(kUserData, "db");
}

HRESULT SinkTest::Save(const std::string& url, int32_t flags) {
  FakeEventInfo info(store_.Connect(), url);
  return filter_->OnSyncSave(&info, url, flags);
}

std::string SinkTest::Deliver(const std::string& name, const std::string& from,
                              std::map<std::string, Variant> extra) {
  std::string url = PutMail(kInbox, name, from, std::move(extra));
  EXPECT_EQ(Save(url, kNewMailFlags), S_OK);
  return url;
}

std::string SinkTest::MoveByUser(const std::string& url, const std::string& folder_url) {
  auto connection = store_.Connect();
  auto record = connection->OpenRecord(url, store::adModeReadWrite, store::adFailIfNotExists,
                                       store::adOpenRecordUnspecified, "", "");
  std::string name = url.substr(url.rfind('/') + 1);
  std::string moved =
      record->MoveRecord(url, folder_url + "/" + name, "", "", store::adMoveUnspecified, false);
  record.reset();
  EXPECT_EQ(Save(moved, kUserMoveFlags), S_OK);
  return moved;
}

std::vector<std::string> SinkTest::LogRecords() const {
  std::vector<std::string> records;
  std::optional<std::string> text = env_.files.Contents("/data/Corvalith.log");
  if (!text) return records;
  // A record starts with "YYYY-MM-DD HH:MM:SS <ticks> "; continuation lines of a multi-line
  // record do not.
  size_t pos = 0;
  while (pos < text->size()) {
    size_t end = text->find("\r\n", pos);
    if (end == std::string::npos) end = text->size();
    std::string line = text->substr(pos, end - pos);
    pos = end + 2;
    bool starts_record = line.size() > 20 && line[4] == '-' && line[7] == '-' && line[10] == ' ' &&
                         line[13] == ':' && line[16] == ':' && line[19] == ' ';
    if (starts_record) {
      size_t after_ticks = line.find(' ', 20);
      records.push_back(line.substr(after_ticks + 1));
    } else if (!records.empty()) {
      records.back() += "\r\n" + line;
    }
  }
  return records;
}

std::string SinkTest::Summary() const {
  const std::string last = LogRecords().back();
  return last.substr(0, last.rfind(" : "));
}

int32_t SinkTest::Marker(const std::string& url) const {
  std::optional<Variant> marker = store_.Property(url, store::kMailMarkerProperty);
  return marker ? marker->ToInt32() : 0;
}

}  // namespace corvalith::testing
