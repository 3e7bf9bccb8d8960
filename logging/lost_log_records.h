// Log records the component could not write. The filter never fails a save for its log: an
// error record the log cannot take is lost (Log_Err). Lost without a trace, though, it would
// leave an administrator with no log, no event and no error while the filter does nothing;
// so whoever loses a record notes it here, process-wide, and the host that runs the filter
// tells the administrator.
#ifndef CORVALITH_LOGGING_LOST_LOG_RECORDS_H_
#define CORVALITH_LOGGING_LOST_LOG_RECORDS_H_

#include <cstdint>
#include <string>

#include "platform/failure.h"

namespace corvalith {

// Notes that a record was lost, and the failure that lost it. Thread-safe.
void NoteLostLogRecord(const Failure& failure);

// How many records the process has lost so far: one atomic load, cheap enough to ask after
// every save.
uint64_t LostLogRecordCount();

// The description of the failure that lost the latest record; empty while none was lost.
std::string LatestLostLogRecordFailure();

}  // namespace corvalith

#endif  // CORVALITH_LOGGING_LOST_LOG_RECORDS_H_
