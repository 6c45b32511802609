// A level flag on an eventfd.
#include "platform/PollFlag.h"

#include <sys/eventfd.h>

#include <cstdint>

namespace platform {

PollFlag::PollFlag() : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void PollFlag::Raise() {
    const std::uint64_t one = 1;
    // A full counter (never reached in practice) is still readable, so a failed write is harmless.
    [[maybe_unused]] const ssize_t n = ::write(m_fd.Get(), &one, sizeof(one));
}

void PollFlag::Clear() {
    std::uint64_t count;
    [[maybe_unused]] const ssize_t n = ::read(m_fd.Get(), &count, sizeof(count));
}

}  // namespace platform
