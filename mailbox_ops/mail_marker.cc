#include "mailbox_ops/filter_operations.h"
#include "platform/failure_styles.h"

namespace corvalith {

int32_t GetMailMarker(store::Record& record, Logger& logger) {
  int32_t result = kMarkerNone;
  StopAndLog(
      [&] { result = DecodeMailMarker(record.GetFields().Item(store::kMailMarkerProperty)); },
      [&](const Failure& failure) {
        logger.Log_Err("MailMarker (Get) failed: " + failure.description(), failure.number(),
                       record.Source());
      });
  return result;
}

int32_t DecodeMailMarker(const store::Field& field) {
  if (field.Status() == store::adFieldDoesNotExist) return kMarkerNone;
  return field.Value().ToInt32();
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
