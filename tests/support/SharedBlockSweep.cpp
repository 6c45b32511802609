// Teardown sweep of the shared bus block of a test's namespace.
#include "tests/support/SharedBlockSweep.h"

#include "platform/SharedMemory.h"

namespace testsupport {

void SweepSharedBlocks() {
    // Opening as the only holder recreates the block, and closing it as the last one unlinks it.
    constexpr std::size_t kSharedBlockBytes = 2632;
    auto block = platform::SharedMemory::Open("QB1394Class_SharedDataMap", kSharedBlockBytes);
}

}  // namespace testsupport
