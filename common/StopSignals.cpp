// Catching the signals that ask a program to stop.
#include "common/StopSignals.h"

#include <initializer_list>

void StopSignals::OnSignal(int signal) { s_signal = signal; }

const std::atomic<int>& StopSignals::Catch() {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // A closed terminal (SIGHUP) or a quit key ends the run as an interrupt does.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return s_signal;
}
