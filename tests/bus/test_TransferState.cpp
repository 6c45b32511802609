// The transfer state that start and stop wait on: every change reaches a waiter on another
// thread (a lost wake-up would hang the exchange below), and a timed wait gives up with the state
// it found.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "bus/TransferState.h"

namespace {

TEST(TransferState, EveryChangeReachesTheOtherThread) {
    constexpr std::uint32_t kRounds = 2000;
    TransferState state{0};
    // Each side waits for the other's number, then answers with the next one.
    std::thread odd([&] {
        for (std::uint32_t n = 1; n < 2 * kRounds; n += 2) {
            state.WaitWhile([n](std::uint32_t s) { return s != n - 1; });
            state = n;
        }
    });
    for (std::uint32_t n = 2; n <= 2 * kRounds; n += 2) {
        EXPECT_EQ(state.WaitWhile([n](std::uint32_t s) { return s != n - 1; }), n - 1);
        state = n;
    }
    odd.join();
    EXPECT_EQ(state.WaitWhile([](std::uint32_t) { return true; }, std::chrono::milliseconds(1)),
              2 * kRounds);
}

}  // namespace
