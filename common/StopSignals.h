// How the programs end on a signal: SIGINT, SIGTERM, SIGHUP and SIGQUIT are recorded instead of
// killing the program, so that it finishes its file and puts the camera back first, and a closed
// pipe becomes a failed write rather than a sudden death.
#pragma once

#include <atomic>
#include <csignal>

class StopSignals {
public:
    // Installs the handlers; the returned flag holds the signal that asked to stop, 0 while none
    // came.
    static const std::atomic<int>& Catch();

private:
    static void OnSignal(int signal);
    // Atomic, not a plain sig_atomic_t: the handler may run on any thread while another reads it.
    static inline std::atomic<int> s_signal{0};
};
