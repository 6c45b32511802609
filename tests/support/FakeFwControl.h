// Sends commands to the fake kernel's control socket (docs/fake-kernel.md).
#pragma once

#include <string>

namespace fakefw {

// Sends one command line and returns the answer line ("ok ..." or "error ..."), or
// "error <why>" when the socket cannot be reached.
std::string SendCommand(const std::string& socketPath, const std::string& command);

}  // namespace fakefw
