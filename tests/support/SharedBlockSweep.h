// Removes the bus layer's shared block of the current namespace when no live process holds it.
// A holder killed with SIGKILL leaves the block for the next opener to reset; a per-test
// namespace never sees that opener, so tests sweep at teardown.
#pragma once

namespace testsupport {

void SweepSharedBlocks();

}  // namespace testsupport
