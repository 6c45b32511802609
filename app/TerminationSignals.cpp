// The self-pipe behind TerminationSignals.
#include "app/TerminationSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>

namespace {

constexpr std::array kSignals{SIGTERM, SIGINT, SIGHUP};

// The handler's only state: the pipe's write end, -1 while no object listens.
std::atomic<int> g_writeFd{-1};

void OnSignal(int signal) {
    const int saved = errno;
    const int fd = g_writeFd.load();
    const auto byte = static_cast<unsigned char>(signal);
    if (fd >= 0 && ::write(fd, &byte, 1) != 1) {
        // A full pipe already holds a signal to handle.
    }
    errno = saved;
}

}  // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    m_readEnd.Reset(fds[0]);
    m_writeEnd.Reset(fds[1]);
    g_writeFd.store(m_writeEnd.Get());
    m_pNotifier = new QSocketNotifier(m_readEnd.Get(), QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &TerminationSignals::OnReadable);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    m_bValid = true;
    for (const int signal : kSignals)
        m_bValid = ::sigaction(signal, &action, nullptr) == 0 && m_bValid;
}

TerminationSignals::~TerminationSignals() {
    for (const int signal : kSignals) std::signal(signal, SIG_DFL);
    g_writeFd.store(-1);
}

void TerminationSignals::OnReadable() {
    unsigned char byte = 0;
    while (::read(m_readEnd.Get(), &byte, 1) == 1) emit Received(byte);
}
