// Sends commands to the fake kernel's control socket (docs/fake-kernel.md).
#pragma once

#include <string>

namespace fakefw {

// The fake kernel's thread that renders and delivers the cameras' packets: the emulated camera
// and DMA, whose processor time a benchmark keeps apart from the bridge's.
inline constexpr const char* kBusThreadName = "fakefw-bus";

// Sends one command line and returns the answer line ("ok ..." or "error ..."), or
// "error <why>" when the socket cannot be reached.
std::string SendCommand(const std::string& socketPath, const std::string& command);

}  // namespace fakefw
