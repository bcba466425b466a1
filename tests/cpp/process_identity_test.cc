// Whether an owner still runs: a killed process is seen dead (as a zombie
// already, and after its pid could be reused), however recently it was seen
// alive, and another start time under the same pid is another process.
#include "veskline_core/shm/process_identity.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "test_support.h"

namespace vesk {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

TEST(ProcessIdentity, AKilledOwnerIsSeenDeadHoweverRecentlyItWasSeenAlive) {
  test::Child child([] {
    ::pause();
    return 0;
  });
  ASSERT_TRUE(child.started());
  const ProcessIdentity owner = process_identity(child.pid());
  ASSERT_EQ(owner.pid, static_cast<uint32_t>(child.pid()));
  ASSERT_NE(owner.start, 0u);
  EXPECT_TRUE(process_alive(owner));
  EXPECT_FALSE(process_alive({owner.pid, owner.start + 1}));  // a reused pid

  ASSERT_EQ(::kill(child.pid(), SIGKILL), 0);
  std::this_thread::sleep_for(nanoseconds(kAliveCacheNs) + milliseconds(20));
  EXPECT_FALSE(process_alive(owner));  // a zombie, not yet reaped
  child.wait_for(milliseconds(5000));
  EXPECT_FALSE(process_alive(owner));
}

}  // namespace
}  // namespace vesk
