// open(simulate=True): the private simulated bus that kestrix-capture --simulate also starts,
// kept for the rest of the process (or until StopSimulation).
#pragma once

#include <string>

namespace kxpy {

// Starts kestrix-busd (the program at daemon) with one camera in a private device directory
// unless a daemon serves the device directory already. Before the camera library is opened only:
// the library reads the directory when it opens. Throws Error on failure.
void StartSimulation(const std::string& daemon);
// Stops the private daemon, if one was started; every camera must be closed.
void StopSimulation();

}  // namespace kxpy
