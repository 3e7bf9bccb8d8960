// The event information the store passes to a save handler: the saved item as a record
// and the event's connection. Either may fail (throws Failure).
#ifndef CORVALITH_STORE_EVENT_INFO_H_
#define CORVALITH_STORE_EVENT_INFO_H_

#include "platform/com.h"
#include "store/record.h"

namespace corvalith {

// {6F3C2D1A-5B4E-4C7D-9A8B-1E2F3A4B5C6D}
inline constexpr IID IID_IExStoreDispEventInfo = {
    0x6F3C2D1A, 0x5B4E, 0x4C7D, {0x9A, 0x8B, 0x1E, 0x2F, 0x3A, 0x4B, 0x5C, 0x6D}};

class IExStoreDispEventInfo : public IUnknown {
 public:
  virtual store::Record& EventRecord() = 0;
  virtual store::Connection& EventConnection() = 0;

 protected:
  ~IExStoreDispEventInfo() = default;
};

}  // namespace corvalith

#endif  // CORVALITH_STORE_EVENT_INFO_H_
