#include "mailbox_ops/filter_operations.h"
#include "mailbox_ops/item_url.h"
#include "platform/failure_styles.h"

namespace corvalith {

namespace {
constexpr int kMaxRetries = 99;
}

bool MoveSpam(store::Record& record, const std::string& folder_url, const std::string& item_name,
              Clock& clock, Logger& logger) {
  CarryOn on;
  auto move_to = [&](const std::string& destination) {
    record.MoveRecord(record.Source(), destination, "", "", store::adMoveUnspecified, false);
  };
  on([&] { move_to(MoveDestinationUrl(folder_url, item_name)); });
  // Any failure, not only a clash, leads to the retries: the store does not tell a clash
  // from other refusals reliably, and a retry costs little next to losing the move.
  for (int counter = 0; on.failed() && counter < kMaxRetries; ++counter) {
    on.Clear();
    int32_t ticks = SignedTicks(clock.TickCount());
    on([&] { move_to(ClashFreeMoveDestinationUrl(folder_url, item_name, ticks)); });
  }
  if (!on.failed()) return true;
  Failure failure = on.error();
  on([&] {
    logger.Log_Err("Cannot move Spam to " + folder_url + ": " + failure.description(),
                   failure.number(), record.Source());
  });
  return false;
}

}  // namespace corvalith
