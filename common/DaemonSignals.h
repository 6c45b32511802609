// How the bus daemons end: SIGTERM or SIGINT stops the server's loop, and the daemon then exits
// with the shell's status for that signal.
#pragma once

#include <atomic>

class DaemonSignals {
public:
    // From now on SIGTERM and SIGINT call server.Stop() (which must be async-signal-safe), and
    // SIGPIPE is ignored, so that a client gone mid-answer is an error on its socket only.
    template <class Server>
    static void StopOn(Server& server) {
        Install(&server, [](void* target) { static_cast<Server*>(target)->Stop(); });
    }
    // Forgets the server before it goes; a later signal only records itself.
    static void Forget() { s_target.store(nullptr); }
    // 128 plus the signal that stopped the daemon (130 SIGINT, 143 SIGTERM); 0 without one.
    static int ExitStatus();

private:
    static void Install(void* target, void (*stop)(void*));
    static void OnSignal(int signal);

    static inline std::atomic<void*> s_target{nullptr};
    static inline std::atomic<void (*)(void*)> s_stop{nullptr};
    static inline std::atomic<int> s_signal{0};
};
