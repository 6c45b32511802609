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
    constexpr int kRounds = 2000;
    TransferState state{IsochState::kStateCreated};
    // The two sides take turns: each waits for the other's state, then answers with its own.
    std::thread other([&] {
        for (int n = 0; n < kRounds; ++n) {
            state.WaitWhile([](IsochState s) { return s != IsochState::kStateArmed; });
            state = IsochState::kStateRunning;
        }
    });
    for (int n = 0; n < kRounds; ++n) {
        state = IsochState::kStateArmed;
        EXPECT_EQ(state.WaitWhile([](IsochState s) { return s != IsochState::kStateRunning; }),
                  IsochState::kStateRunning);
    }
    other.join();
    EXPECT_EQ(state.WaitWhile([](IsochState) { return true; }, std::chrono::milliseconds(1)),
              IsochState::kStateRunning);
}

}  // namespace
