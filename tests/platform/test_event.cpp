// Events: how many waiters one Set releases, and waits that time out.
#include "platform/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using platform::Event;
using platform::EventMode;

// Polls until the condition holds; the limit only stops a broken build from hanging.
template <class Condition>
bool Eventually(Condition condition) {
    for (auto waited = 0ms; waited < 10s; waited += 1ms) {
        if (condition()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return condition();
}

// Threads that each wait once on the event and count themselves out. Whoever still waits at
// the end is set free, so a failed check cannot hang the suite.
class Waiters {
public:
    Waiters(Event& event, int count) : m_event(event), m_count(count) {
        for (int i = 0; i < count; ++i)
            m_threads.emplace_back([this] {
                m_event.Wait();
                ++m_released;
            });
    }
    ~Waiters() {
        while (m_released < m_count) {
            m_event.Set();
            std::this_thread::sleep_for(1ms);
        }
    }
    int Released() const { return m_released; }

private:
    Event& m_event;
    const int m_count;
    std::atomic<int> m_released{0};
    std::vector<std::jthread> m_threads;
};

TEST(EventAutoReset, EachSetReleasesExactlyOneWaiter) {
    Event event(EventMode::AutoReset);
    Waiters waiters(event, 4);
    for (int sets = 1; sets <= 4; ++sets) {
        event.Set();
        ASSERT_TRUE(Eventually([&] { return waiters.Released() == sets; }));
        // Give a wrongly released second waiter the chance to show itself.
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(waiters.Released(), sets);
    }
    EXPECT_FALSE(event.IsSet());
}

TEST(EventAutoReset, SetWithoutWaiterStaysSetForOneWaiter) {
    Event event(EventMode::AutoReset);
    event.Set();
    event.Set();  // an event is not a counter: the second Set adds nothing
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.WaitFor(0ms));
    EXPECT_FALSE(event.IsSet());
    EXPECT_FALSE(event.WaitFor(0ms));

    Event initially(EventMode::AutoReset, true);
    EXPECT_TRUE(initially.WaitFor(0ms));
    EXPECT_FALSE(initially.WaitFor(0ms));
}

TEST(EventAutoReset, TimedOutWaiterDoesNotSwallowALaterSet) {
    Event event(EventMode::AutoReset);
    EXPECT_FALSE(event.WaitFor(10ms));
    event.Set();
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.WaitFor(0ms));
}

TEST(EventManualReset, SetReleasesEveryWaiterUntilReset) {
    Event event(EventMode::ManualReset);
    Waiters waiters(event, 4);
    event.Set();
    ASSERT_TRUE(Eventually([&] { return waiters.Released() == 4; }));
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.WaitFor(0ms));
    EXPECT_TRUE(event.WaitFor(0ms));
    event.Reset();
    EXPECT_FALSE(event.IsSet());
    EXPECT_FALSE(event.WaitFor(10ms));
}

TEST(EventWaitFor, TimesOutOnAnEventNobodySets) {
    for (const auto mode : {EventMode::AutoReset, EventMode::ManualReset}) {
        Event event(mode);
        EXPECT_FALSE(event.WaitFor(30ms));
        EXPECT_FALSE(event.WaitFor(0ms));
        EXPECT_FALSE(event.WaitFor(-5ms));
    }
}

TEST(EventWaitFor, ReturnsWhenSetDuringEvenTheLongestWait) {
    for (const auto mode : {EventMode::AutoReset, EventMode::ManualReset}) {
        Event event(mode);
        std::jthread setter([&] {
            std::this_thread::sleep_for(20ms);
            event.Set();
        });
        EXPECT_TRUE(event.WaitFor(std::chrono::milliseconds::max()));
    }
}

}  // namespace
