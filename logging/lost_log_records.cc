#include "logging/lost_log_records.h"

#include <atomic>
#include <mutex>

#include "platform/no_destructor.h"

namespace corvalith {

namespace {

struct LostRecords {
  std::atomic<uint64_t> count{0};
  std::mutex mutex;
  std::string latest_failure;
};

LostRecords& Lost() {
  static NoDestructor<LostRecords> lost;
  return *lost;
}

}  // namespace

void NoteLostLogRecord(const Failure& failure) {
  LostRecords& lost = Lost();
  {
    std::lock_guard<std::mutex> lock(lost.mutex);
    lost.latest_failure = failure.description();
  }
  // Counted after the description is in place: whoever sees the count finds its reason.
  lost.count.fetch_add(1, std::memory_order_release);
}

uint64_t LostLogRecordCount() { return Lost().count.load(std::memory_order_acquire); }

std::string LatestLostLogRecordFailure() {
  LostRecords& lost = Lost();
  std::lock_guard<std::mutex> lock(lost.mutex);
  return lost.latest_failure;
}

}  // namespace corvalith
