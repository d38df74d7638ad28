#include "instrument/platform_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

namespace tavex {
namespace {

// The exchange threads' pattern many times over: a flag is taken, a new detached thread does
// its work and clears the flag, and the starter blocks until it is clear. A thread that never
// runs or a lost wake-up hangs the test (ctest's time limit ends it); a wait that returns
// before the change shows as missing work.
TEST(PlatformThread, EveryThreadRunsAndEveryClearWakesTheWaiter) {
    constexpr int kRounds = 2000;
    struct Shared {
        std::atomic<std::uint8_t> flag{0};
        int work = 0;  // written by the thread before the flag clears
    };
    auto shared = std::make_shared<Shared>();
    for (int round = 0; round < kRounds; ++round) {
        shared->flag.store(1, std::memory_order_release);
        ASSERT_TRUE(StartDetachedThread([shared] {
            ++shared->work;
            shared->flag.store(0, std::memory_order_release);
            WakeFlagWaiters(shared->flag);
        }));
        while (shared->flag.load(std::memory_order_acquire) != 0) {
            WaitForFlagChange(shared->flag, 1);
        }
        ASSERT_EQ(shared->work, round + 1);
    }
}

// The end of a program waits for its threads to be gone, captures and all, and says so when
// one is still running after the limit.
TEST(PlatformThread, TheProgramsEndWaitsForEveryThreadToLeave) {
    using std::chrono::milliseconds;
    auto held = std::make_shared<std::atomic<std::uint8_t>>(1);
    ASSERT_TRUE(StartDetachedThread([held] {
        while (held->load(std::memory_order_acquire) != 0) WaitForFlagChange(*held, 1);
    }));
    EXPECT_FALSE(WaitForDetachedThreadsToEnd(milliseconds(50)));
    held->store(0, std::memory_order_release);
    WakeFlagWaiters(*held);
    ASSERT_TRUE(WaitForDetachedThreadsToEnd(milliseconds(10000)));
    EXPECT_EQ(held.use_count(), 1);
    EXPECT_TRUE(WaitForDetachedThreadsToEnd(milliseconds(0)));
}

}  // namespace
}  // namespace tavex
