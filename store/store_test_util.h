// Helpers shared by the store's tests.
#ifndef CORVALITH_STORE_STORE_TEST_UTIL_H_
#define CORVALITH_STORE_STORE_TEST_UTIL_H_

#include <cstdint>

#include "platform/failure.h"
#include "store/store_errors.h"

namespace corvalith::store {

// The number of the failure `body` throws, 0 when it throws none.
template <class Body>
int32_t FailureNumber(Body&& body) {
  try {
    body();
  } catch (const Failure& failure) {
    return failure.number();
  }
  return 0;
}

inline int32_t Number(StoreError kind) { return StoreErrorNumber(kind); }

}  // namespace corvalith::store

#endif  // CORVALITH_STORE_STORE_TEST_UTIL_H_
