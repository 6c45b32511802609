// The peer process of the cross-process bus tests: opens a bus object, registers a client
// window, and reports on stdout what it hears; commands come on stdin ("close", "quit").
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bus/CFirewireComm.h"
#include "bus/DriverCodes.h"
#include "platform/MessageEndpoint.h"
#include "platform/MessageQueue.h"

namespace {

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

}  // namespace

int main() {
    CFirewireComm comm;
    auto client = platform::MessageEndpoint::Create([](const platform::Message& message) {
        Say("client " + std::to_string(message.msg));
        return std::int64_t{0};
    });
    const bool opened = client && comm.Open();
    if (opened) comm.RegisterClient(client->Handle(), bus::kWmCameraDeviceList);
    Say(std::string(opened ? "open " : "failed ") + std::to_string(comm.GetSafeHwnd()) + " " +
        std::to_string(comm.GetDevicePathCount()));

    auto& queue = platform::MessageQueue::ForCurrentThread();
    std::string pending;
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {queue.Fd(), POLLIN, 0}};
        if (::poll(fds, 2, 1000) < 0) continue;
        queue.DispatchPending();
        if (!(fds[0].revents & (POLLIN | POLLHUP))) continue;
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) return 0;
        pending.append(buffer, std::size_t(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::string command = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (command == "close") {
                comm.Close();
                Say("closed");
            } else if (command == "quit") {
                return 0;
            }
        }
    }
}
