// The control socket: one command per line, one answer line each (docs/fake-kernel.md).
#pragma once

#include <string>

namespace fakefw {

class FakeBus;

// Serves path on a thread of its own until the process ends; a path it cannot take is
// reported on stderr once.
void StartControlServer(FakeBus& bus, const std::string& path);

}  // namespace fakefw
