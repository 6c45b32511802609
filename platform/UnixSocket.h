// Non-blocking Unix stream sockets carrying small frames: listen, connect, accept, whole writes,
// incremental reads and waiting with a deadline. Every descriptor made here is close-on-exec, so
// a child process never keeps a parent's socket alive.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/UniqueFd.h"

namespace platform {

using Deadline = std::chrono::steady_clock::time_point;
inline constexpr Deadline kNoDeadline = Deadline::max();

// Each returns 0 or the errno of the step that failed (ENAMETOOLONG for a path that does not fit).
int ListenUnix(const std::string& path, UniqueFd& listener);
int ConnectUnix(const std::string& path, UniqueFd& connection);
// Takes the next waiting connection: 0, EAGAIN when none waits, or another errno.
int AcceptUnix(int listener, UniqueFd& connection);

// Writes all bytes without blocking or raising SIGPIPE; false when they did not all fit.
bool WriteAll(int fd, std::span<const std::uint8_t> bytes);

enum class ReadProgress { Complete, NeedMore, Closed, Failed };
// Reads what the socket holds now into buffer[filled..], never past the buffer's end.
// Closed means the peer ended the stream (with `filled` telling how much came before).
ReadProgress ReadMore(int fd, std::span<std::uint8_t> buffer, std::size_t& filled);

// poll() until something is ready or the deadline passes, resumed after signals.
// The number of ready descriptors, 0 at the deadline, -1 on error.
int PollUntil(std::span<pollfd> fds, Deadline deadline);

Deadline DeadlineAfter(std::chrono::milliseconds timeout);

}  // namespace platform
