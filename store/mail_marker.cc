#include "platform/failure_styles.h"
#include "store/filter_operations.h"

namespace corvalith {

int32_t GetMailMarker(store::Record& record, Logger& logger) {
  int32_t result = kMarkerNone;
  StopAndLog(
      [&] {
        store::Fields& fields = record.GetFields();
        if (fields.Item(store::kMailMarkerProperty).Status() == store::adFieldDoesNotExist) {
          return;
        }
        result = fields.Item(store::kMailMarkerProperty).Value().ToInt32();
      },
      [&](const Failure& failure) {
        logger.Log_Err("MailMarker (Get) failed: " + failure.description(), failure.number(),
                       record.Source());
      });
  return result;
}

void SetMailMarker(store::Record& record, int32_t marker, Logger& logger) {
  StopAndLog(
      [&] {
        store::Fields& fields = record.GetFields();
        fields.Item(store::kMailMarkerProperty).SetValue(Variant::Int32(marker));
        fields.Update();
      },
      [&](const Failure& failure) {
        logger.Log_Err("MailMarker (Set) failed: " + failure.description(), failure.number(),
                       record.Source());
      });
}

}  // namespace corvalith
