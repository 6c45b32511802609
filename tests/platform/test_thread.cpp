// Worker threads: joined by their owner, best-effort priority, dropped from inside.
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "platform/Event.h"

namespace {

using namespace std::chrono_literals;
using platform::Thread;
using platform::ThreadPriority;

TEST(Thread, DestructorJoins) {
    std::atomic<bool> done{false};
    {
        Thread thread([&] {
            std::this_thread::sleep_for(20ms);
            done = true;
        });
        EXPECT_TRUE(thread.Joinable());
    }
    EXPECT_TRUE(done);
}

TEST(Thread, MoveAssignJoinsTheThreadItReplaces) {
    std::atomic<bool> first{false};
    std::atomic<bool> second{false};
    Thread thread([&] {
        std::this_thread::sleep_for(20ms);
        first = true;
    });
    thread = Thread([&] { second = true; });
    EXPECT_TRUE(first);
    thread.Join();
    EXPECT_TRUE(second);
    EXPECT_FALSE(thread.Joinable());
    thread.Join();  // a second Join is harmless
}

TEST(Thread, IsCurrentOnlyOnTheThreadItself) {
    std::atomic<bool> insideCurrent{false};
    platform::Event started(platform::EventMode::ManualReset);
    Thread* self = nullptr;
    Thread thread([&] {
        started.Wait();
        insideCurrent = self->IsCurrent();
    });
    self = &thread;
    started.Set();
    EXPECT_FALSE(thread.IsCurrent());
    thread.Join();
    EXPECT_TRUE(insideCurrent);
}

TEST(Thread, EveryPriorityRunsTheBodyEvenWhenRefused) {
    for (const auto priority :
         {ThreadPriority::Normal, ThreadPriority::AboveNormal, ThreadPriority::TimeCritical}) {
        std::atomic<bool> ran{false};
        Thread thread([&] { ran = true; }, priority);
        thread.Join();
        EXPECT_TRUE(ran);
    }
}

TEST(Thread, DroppedByItsOwnBodyDoesNotDeadlock) {
    auto owned = std::make_unique<Thread>();
    platform::Event handedOver(platform::EventMode::ManualReset);
    auto finished = std::make_shared<platform::Event>(platform::EventMode::ManualReset);
    *owned = Thread([&owned, &handedOver, finished] {
        handedOver.Wait();
        owned.reset();
        finished->Set();
    });
    handedOver.Set();
    EXPECT_TRUE(finished->WaitFor(30s));
}

}  // namespace
