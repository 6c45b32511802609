// How the programs end on a signal: SIGINT, SIGTERM, SIGHUP and SIGQUIT are recorded instead of
// killing the program, so that it finishes its file and puts the camera back first, and a closed
// pipe becomes a failed write rather than a sudden death.
#pragma once

#include <csignal>

class StopSignals {
public:
    // Installs the handlers; the returned flag holds the signal that asked to stop, 0 while none
    // came.
    static const volatile std::sig_atomic_t& Catch();

private:
    static void OnSignal(int signal);
    static inline volatile std::sig_atomic_t s_signal = 0;
};
