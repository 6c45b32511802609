#include "common/DaemonSignals.h"

#include <csignal>

namespace {
constexpr int kExitSignal = 128;
}

void DaemonSignals::Install(void* target, void (*stop)(void*)) {
    s_stop.store(stop);
    s_target.store(target);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void DaemonSignals::OnSignal(int signal) {
    s_signal.store(signal);
    auto* stop = s_stop.load();
    if (void* target = s_target.load(); target != nullptr && stop != nullptr) stop(target);
}

int DaemonSignals::ExitStatus() {
    const int signal = s_signal.load();
    return signal != 0 ? kExitSignal + signal : 0;
}
