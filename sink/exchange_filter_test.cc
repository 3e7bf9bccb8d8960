// The component's own operations: construction, the log operations, the lifecycle events.
#include "sink/exchange_filter.h"

#include <gtest/gtest.h>

#include "logging/lost_log_records.h"
#include "sink/sink_test_support.h"

namespace corvalith::testing {
namespace {

class ExchangeFilterTest : public SinkTest {
 protected:
  ExchangeFilter* Fresh() {
    ExchangeFilter* filter = ExchangeFilter::Create(env_);
    fresh_.push_back(filter);
    return filter;
  }
  ~ExchangeFilterTest() override {
    for (ExchangeFilter* f : fresh_) f->Release();
  }
  std::vector<ExchangeFilter*> fresh_;
};

TEST_F(ExchangeFilterTest, ConstructTakesTheDataDirectoryAndResetsTheDebugLevel) {
  SetSettings(3);
  Deliver("M.EML");
  ASSERT_EQ(filter_->debug_level(), 3);
  ConstructionObject construction(" /srv/corvalith ;second");
  EXPECT_EQ(filter_->Construct(&construction), S_OK);
  EXPECT_EQ(filter_->data_directory(), "/srv/corvalith/");
  EXPECT_EQ(filter_->debug_level(), 0);
  EXPECT_EQ(construction.references(), 0);  // no reference kept after the call
}

TEST_F(ExchangeFilterTest, EmptyConstructorStringLogsIndexFailureToTheCurrentDirectory) {
  ExchangeFilter* filter = Fresh();
  ConstructionObject construction("");
  EXPECT_EQ(filter->Construct(&construction), S_OK);
  EXPECT_EQ(filter->data_directory(), "");
  EXPECT_EQ(env_.files.Contents("Corvalith.log"),
            "2026-01-02 03:04:05 1000 Err: Parsing constructor string failed: Subscript out of "
            "range 0x9 Source: \r\n");
}

TEST_F(ExchangeFilterTest, UnreadableConstructionObjectIsAFailureStatus) {
  ExchangeFilter* filter = Fresh();
  ConstructionObject construction("/data");
  construction.unreadable = true;
  EXPECT_TRUE(Failed(filter->Construct(&construction)));
  EXPECT_TRUE(Failed(filter->Construct(nullptr)));
  EXPECT_EQ(filter->data_directory(), "");
}

TEST_F(ExchangeFilterTest, StartAndStopLinesOnlyAfterASaveEventSetTheLevel) {
  SetSettings(5);
  EXPECT_EQ(filter_->OnMDBStartup("{guid}", "First Storage Group", 0), S_OK);
  EXPECT_TRUE(LogRecords().empty());
  SetSettings(1);
  Deliver("M.EML");
  size_t before = LogRecords().size();
  EXPECT_EQ(filter_->OnMDBStartup("{guid}", "First Storage Group", 0), S_OK);
  EXPECT_EQ(filter_->OnMDBShutdown("{guid}", 0), S_OK);
  std::vector<std::string> records = LogRecords();
  ASSERT_EQ(records.size(), before + 2);
  EXPECT_EQ(records[before], "CorvalithFilter (c) started.");
  EXPECT_EQ(records[before + 1], "CorvalithFilter (c) stopped.");
}

TEST_F(ExchangeFilterTest, StartupWithoutDataDirectoryFailsOnlyWhenItHasALineToWrite) {
  SetSettings(1);
  Deliver("M.EML");
  ConstructionObject construction("/missing");
  filter_->Construct(&construction);
  EXPECT_EQ(filter_->OnMDBStartup("", "", 0), S_OK);  // level 0 after Construct
  SetSettings(1);
  Save(PutMail(kInbox, "N.EML"), kNewMailFlags);  // sets the level; its lines fail
  EXPECT_EQ(filter_->debug_level(), 1);
  EXPECT_TRUE(Failed(filter_->OnMDBStartup("", "", 0)));
  EXPECT_TRUE(Failed(filter_->OnMDBShutdown("", 0)));
  EXPECT_FALSE(env_.files.IsDirectory("/missing"));
}

TEST_F(ExchangeFilterTest, DeleteAndTimerDoNothing) {
  SetSettings(5);
  Deliver("M.EML");
  size_t before = LogRecords().size();
  EXPECT_EQ(filter_->OnSyncDelete(nullptr, "anything", -1), S_OK);
  EXPECT_EQ(filter_->OnTimer("", 0x7fffffff), S_OK);
  EXPECT_EQ(LogRecords().size(), before);
}

TEST_F(ExchangeFilterTest, LogAndLogErr) {
  const uint64_t lost_before = LostLogRecordCount();
  EXPECT_EQ(filter_->Log("x"), S_OK);
  EXPECT_EQ(filter_->Log_Err("M", 13, ""), S_OK);
  EXPECT_EQ(filter_->Log_Err("M", -1, "src"), S_OK);
  EXPECT_EQ(LogRecords(), (std::vector<std::string>{
                              "x", "Err: M 0xD Source: ", "Err: M 0xFFFFFFFF Source: src"}));
  EXPECT_EQ(LostLogRecordCount(), lost_before) << "written records are not lost ones";
  ConstructionObject construction("/missing");
  filter_->Construct(&construction);
  EXPECT_TRUE(Failed(filter_->Log("x")));
  EXPECT_EQ(filter_->Log_Err("M", 1, ""), S_OK);
  EXPECT_FALSE(env_.files.Contents("/missing/Corvalith.log").has_value());
  // The lost error record leaves its reason for the host to report.
  EXPECT_EQ(LostLogRecordCount(), lost_before + 1);
  EXPECT_NE(LatestLostLogRecordFailure().find("/missing/Corvalith.log"), std::string::npos)
      << LatestLostLogRecordFailure();
}

TEST_F(ExchangeFilterTest, GetSharedPropIsTheCachedSetting) {
  env_.registry_.SetDword("HideSpam", 1);
  Variant v;
  EXPECT_EQ(filter_->GetSharedProp("HideSpam", &v), S_OK);
  EXPECT_EQ(v, Variant::Int32(1));
  EXPECT_TRUE(LogRecords().empty());  // a fresh instance is at level 0
}

TEST_F(ExchangeFilterTest, QueryInterfaceAnswersTheFourInterfacesOfOneObject) {
  for (const IID& iid : {IID_IUnknown, IID__ExchangeFilter, IID_IExStoreSyncEvents,
                         IID_IExStoreSystemEvents, IID_IObjectConstruct}) {
    void* p = nullptr;
    ASSERT_EQ(filter_->QueryInterface(iid, &p), S_OK);
    static_cast<IUnknown*>(p)->Release();
  }
  void* p = nullptr;
  EXPECT_EQ(filter_->QueryInterface(IID_IClassFactory, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
}

}  // namespace
}  // namespace corvalith::testing
