// Helpers shared by the store's tests.
#ifndef CORVALITH_STORE_STORE_TEST_UTIL_H_
#define CORVALITH_STORE_STORE_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "platform/failure.h"
#include "store/store_errors.h"

namespace corvalith::store {

// Runs SQL on a database file as another program would.
inline void Sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
      << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

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
