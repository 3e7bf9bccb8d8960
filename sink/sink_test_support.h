// The pieces every save-pipeline test needs: a scripted engine that records its calls, the
// store's event information, and a fixture with one mailbox in the in-memory store.
#ifndef CORVALITH_SINK_SINK_TEST_SUPPORT_H_
#define CORVALITH_SINK_SINK_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/classifier_engine.h"
#include "platform/testing/memory_environment.h"
#include "sink/exchange_filter.h"
#include "store/event_info.h"
#include "store/memory/memory_store.h"

namespace corvalith::testing {

// Answers with a set verdict; Classify, Learn and Relearn create the database file at the
// key, as the real engine does, so that the filter sees the user as known afterwards.
class ScriptedEngine final : public IClassifierEngine {
 public:
  struct Call {
    std::string op;
    std::string key;
    std::string header;
    std::string body;
    bool spam = false;
    bool operator==(const Call&) const = default;
  };

  explicit ScriptedEngine(MemoryFileSystem& files) : files_(files) {}

  HRESULT QueryInterface(const IID& iid, void** object) override;
  uint32_t AddRef() override { return ++references_; }
  uint32_t Release() override { return --references_; }

  HRESULT Classify(const std::string& key, const std::string& header, const std::string& body,
                   bool* spam) override;
  HRESULT Learn(const std::string& key, const std::string& header, const std::string& body,
                bool spam) override;
  HRESULT Relearn(const std::string& key, const std::string& header, const std::string& body,
                  bool spam) override;
  HRESULT Forget(const std::string&, const std::string&, const std::string&) override {
    return E_NOTIMPL;
  }
  HRESULT Score(const std::string&, const std::string&, const std::string&, double*) override {
    return E_NOTIMPL;
  }
  HRESULT Compact(const std::string&) override { return E_NOTIMPL; }
  HRESULT GetStatistics(const std::string& key, int32_t* ham, int32_t* spam) override;

  bool verdict = false;
  int32_t ham_count = 0;
  int32_t spam_count = 0;
  // The next call answers this status with the description "engine broke".
  HRESULT fail_with = S_OK;
  // Every call of this operation fails with E_FAIL.
  std::string fail_op;
  std::vector<Call> calls;
  int references() const { return references_; }

 private:
  HRESULT Record(Call call);

  MemoryFileSystem& files_;
  int references_ = 0;
};

// The event information of one save: the saved item as a record and the connection.
class FakeEventInfo final : public IExStoreDispEventInfo {
 public:
  FakeEventInfo(std::unique_ptr<store::Connection> connection, const std::string& url);

  HRESULT QueryInterface(const IID& iid, void** object) override;
  uint32_t AddRef() override { return 1; }
  uint32_t Release() override { return 1; }
  store::Record& EventRecord() override;
  store::Connection& EventConnection() override;

  bool fail_record = false;
  bool fail_connection = false;
  int connection_reads = 0;

 private:
  std::unique_ptr<store::Connection> connection_;
  std::unique_ptr<store::Record> record_;
  std::string url_;
};

// The COM+ construction object with a constructor string, or one that cannot be read.
class ConstructionObject final : public IObjectConstructString {
 public:
  explicit ConstructionObject(std::string text) : text_(std::move(text)) {}
  HRESULT QueryInterface(const IID& iid, void** object) override;
  uint32_t AddRef() override { return ++references_; }
  uint32_t Release() override { return --references_; }
  HRESULT get_ConstructString(std::string* value) override;

  bool unreadable = false;
  int references() const { return references_; }

 private:
  std::string text_;
  int references_ = 0;
};

inline constexpr int32_t kNewMailFlags = 0x01000008;
inline constexpr int32_t kUserMoveFlags = 0x01000100;

class SinkTest : public ::testing::Test {
 protected:
  static constexpr char kData[] = "/data/";
  const std::string kRoot = "file://./backofficestorage/example.com/MBX/alice";
  const std::string kInbox = kRoot + "/Inbox";
  const std::string kSpambox = kRoot + "/Spambox";
  const std::string kDeletedItems = kRoot + "/Deleted Items";
  const std::string kUserData = "/data/example.com/alice.dat";

  SinkTest();
  ~SinkTest() override;

  // Makes alice a known user: her domain directory and her data file exist.
  void AddKnownUser();
  // Registry values for the settings; call before the first event of the test.
  void SetSettings(int32_t debug_level, int32_t hide_spam = 0, int32_t provider_mode = 0,
                   const std::string& junk = "Junk E-mail", int32_t use_white_list = 1,
                   int32_t auto_white_list = 1);

  // Puts a mail from outside into the folder and saves it as new mail; answers its URL.
  std::string PutMail(const std::string& folder_url, const std::string& name,
                      const std::string& from = "Bob <bob@spam.example>",
                      std::map<std::string, Variant> extra = {});
  HRESULT Save(const std::string& url, int32_t flags);
  std::string Deliver(const std::string& name, const std::string& from = "Bob <bob@spam.example>",
                      std::map<std::string, Variant> extra = {});
  // Moves the item into the folder as a user would and saves it as a user move; answers the
  // new URL.
  std::string MoveByUser(const std::string& url, const std::string& folder_url);

  // Log records without their timestamp and tick count.
  std::vector<std::string> LogRecords() const;
  // The last record without its elapsed time: the event kind and the suffixes.
  std::string Summary() const;
  int32_t Marker(const std::string& url) const;

  MemoryEnvironment env_;
  store::MemoryStore store_;
  ScriptedEngine engine_;
  ExchangeFilter* filter_ = nullptr;
  bool fail_engine_creation_ = false;
};

}  // namespace corvalith::testing

#endif  // CORVALITH_SINK_SINK_TEST_SUPPORT_H_
