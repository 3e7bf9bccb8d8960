// Which passed socket is which, by the names systemd gives them (the socket serving itself is
// tested with the real command, in lmtp_server_test.cc).
#include "lmtp/inherited_sockets.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/failure.h"

namespace corvalith::host {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(ListenerRolesTest, NamesSayWhichSocketIsWhich) {
  EXPECT_THAT(ListenerRoles(2, "lmtp:map"), ElementsAre(ListenerRole::kLmtp, ListenerRole::kMap));
  EXPECT_THAT(ListenerRoles(2, "map:lmtp"), ElementsAre(ListenerRole::kMap, ListenerRole::kLmtp));
  EXPECT_THAT(ListenerRoles(1, "map"), ElementsAre(ListenerRole::kMap));
  // One socket is the LMTP listener, whatever systemd calls it by default.
  for (const char* name : {"", "lmtp", "unknown", "corvalith-lmtp.socket"}) {
    EXPECT_THAT(ListenerRoles(1, name), ElementsAre(ListenerRole::kLmtp)) << name;
  }
}

TEST(ListenerRolesTest, SocketsThatCannotBeToldApartAreRefused) {
  auto refusal = [](size_t count, const char* names) {
    try {
      ListenerRoles(count, names);
    } catch (const Failure& failure) {
      return std::string(failure.what());
    }
    return std::string("accepted");
  };
  // One socket unit with two ListenStream= gives both its one FileDescriptorName.
  EXPECT_THAT(refusal(2, "map:map"), HasSubstr("two sockets named 'map'"));
  EXPECT_THAT(refusal(2, "unknown:unknown"), HasSubstr("socket 3 is named 'unknown'"));
  EXPECT_THAT(refusal(2, "lmtp"), HasSubstr("socket 4 is named ''"));
  EXPECT_THAT(refusal(3, "lmtp:map:lmtp"), HasSubstr("two sockets named 'lmtp'"));
  EXPECT_THAT(refusal(2, "lmtp:\x1b"), HasSubstr("named '\\x1B'"));
}

}  // namespace
}  // namespace corvalith::host
