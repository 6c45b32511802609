// The counters the simulated camera stamps into its frames, checked for order. Where a process
// may be too slow to take every frame (ThreadSanitizer slows each one several times over), a
// frame lost to slowness is no fault: one that came twice or out of order still is.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kEveryFrameArrives = false;
#else
inline constexpr bool kEveryFrameArrives = true;
#endif

// The rate a camera making the largest frames runs at: a ThreadSanitizer daemon renders a frame
// several times slower, and one that falls behind answers no request in time.
inline constexpr double kLargeFrameRate = kEveryFrameArrives ? 1 : 0.125;

// Each stamp one more than the one before; rising at least, where frames may be lost.
inline void ExpectStampsInOrder(const std::vector<std::uint32_t>& stamps) {
    for (std::size_t i = 1; i < stamps.size(); ++i) {
        if (kEveryFrameArrives) {
            EXPECT_EQ(stamps[i], stamps[i - 1] + 1) << "frame " << i;
        } else {
            EXPECT_GT(stamps[i], stamps[i - 1]) << "frame " << i;
        }
    }
}

}  // namespace testsupport
