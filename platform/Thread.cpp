// Worker threads that are joined by their owner, with a best-effort scheduling priority.
#include "platform/Thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <system_error>
#include <utility>

namespace platform {

namespace {

// Lowers this thread's nice value; refused without the privilege, which is fine.
void TryNice(int value) { (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), value); }

void ApplyPriority(ThreadPriority priority) {
    switch (priority) {
        case ThreadPriority::Normal:
            return;
        case ThreadPriority::AboveNormal:
            TryNice(-2);
            return;
        case ThreadPriority::TimeCritical: {
            // The lowest real-time priority already outranks every normal thread; going higher
            // would only let a busy receive loop starve the system's own real-time work.
            sched_param param{};
            param.sched_priority = sched_get_priority_min(SCHED_RR);
            if (pthread_setschedparam(pthread_self(), SCHED_RR, &param) != 0) TryNice(-10);
            return;
        }
    }
}

}  // namespace

Thread::Thread(std::function<void()> body, ThreadPriority priority) {
    try {
        m_thread = std::thread([body = std::move(body), priority] {
            ApplyPriority(priority);
            body();
        });
    } catch (const std::system_error&) {
        // No thread could be made: the object stays empty and Joinable() says so.
    }
}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        Join();
        m_thread = std::move(other.m_thread);
    }
    return *this;
}

Thread::~Thread() { Join(); }

void Thread::Join() {
    if (!m_thread.joinable()) return;
    // A thread cannot wait for itself: when its own body drops the object, let it run out.
    if (IsCurrent())
        m_thread.detach();
    else
        m_thread.join();
}

bool Thread::IsCurrent() const { return m_thread.get_id() == std::this_thread::get_id(); }

}  // namespace platform
