// The control socket's thread and the commands it carries out.
#include "tests/support/fakefw/ControlServer.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <thread>

#include "tests/support/fakefw/FakeBus.h"
#include "tests/support/fakefw/RealLibc.h"

namespace fakefw {
namespace {

void Serve(FakeBus& bus, int client) {
    std::string line;
    char chunk[256];
    for (;;) {
        const auto n = real::read(client, chunk, sizeof chunk);
        if (n <= 0) break;
        line.append(chunk, std::size_t(n));
        for (std::size_t end; (end = line.find('\n')) != std::string::npos;) {
            std::string answer = bus.Execute(std::string_view(line).substr(0, end)) + "\n";
            line.erase(0, end + 1);
            (void)real::write(client, answer.data(), answer.size());
        }
    }
    real::close(client);
}

}  // namespace

void StartControlServer(FakeBus& bus, const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (path.size() >= sizeof address.sun_path || listener < 0) {
        std::fprintf(stderr, "libkestrix_fakefw: cannot serve %s\n", path.c_str());
        if (listener >= 0) real::close(listener);
        return;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());  // left behind by a process that died
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 8) != 0) {
        std::fprintf(stderr, "libkestrix_fakefw: cannot serve %s: %s\n", path.c_str(),
                     std::strerror(errno));
        real::close(listener);
        return;
    }
    std::thread([&bus, listener] {
        for (;;) {
            const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0)
                std::thread(Serve, std::ref(bus), client).detach();
            else if (errno != EINTR && errno != ECONNABORTED)
                return;
        }
    }).detach();
}

std::string FakeBus::Execute(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
    const std::size_t space = line.find(' ');
    const std::string_view verb = line.substr(0, space);
    long value = 0;
    bool hasNumber = false;
    if (space != std::string_view::npos) {
        const std::string_view text = line.substr(space + 1);
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        hasNumber = error == std::errc() && end == text.data() + text.size() &&
                    value <= long(UINT32_MAX) && (value >= 0 || verb == "cycle-jump");
        if (!hasNumber) return "error bad number '" + std::string(text) + "'";
    }
    const auto n = unsigned(value);
    std::lock_guard lock(m_mutex);
    auto camera = [&]() -> int {
        return hasNumber && n >= 1 && n <= m_cameraSlot.size() ? int(n) : 0;
    };
    if (verb == "status" && !hasNumber) {
        std::string nodes;
        for (const auto& node : m_nodes)
            if (node) nodes += (nodes.empty() ? "fw" : ",fw") + std::to_string(node->slot);
        return "ok generation=" + std::to_string(m_generation) + " nodes=" + nodes +
               " requests=" + std::to_string(m_requests) + " contexts=" +
               std::to_string(m_contexts) + " bandwidth=" + std::to_string(m_irm.bandwidth) +
               " files=" + std::to_string(m_files.size());
    }
    if (verb == "reset" && !hasNumber) {
        if (m_config.resetDelayUs == 0) {
            Reset();
        } else {
            ScheduleReset();
        }
        return "ok";
    }
    if (!hasNumber) return "error '" + std::string(verb) + "' needs a number, or is unknown";
    if (verb == "unplug" || verb == "plug") {
        if (camera() == 0)
            return "error no camera " + std::to_string(n) + " (1 to " +
                   std::to_string(m_cameraSlot.size()) + ")";
        const bool plugged = m_cameraSlot[n - 1] >= 0;
        if (verb == "unplug" ? !plugged : plugged)
            return "error camera " + std::to_string(n) + (plugged ? " is plugged" : " is unplugged");
        if (verb == "unplug") {
            Unplug(int(n));
        } else if (Plug(int(n)) < 0) {
            return "error no free node file";
        }
        Note(std::string(verb) + " camera " + std::to_string(n));
        Reset();
        return "ok";
    }
    if (verb == "cycle-jump") {
        if (value < -127 || value > 127) return "error from -127 to 127 seconds";
        m_cycleJumpAtReset = value;
        return "ok";
    }
    if (verb == "bandwidth-after-reset") {
        if (n > 4915) return "error at most 4915 units";
        m_bandwidthAfterReset = n;
        return "ok";
    }
    if (verb == "deny" || verb == "allow") {
        if (n >= m_denied.size()) return "error no fw" + std::to_string(n);
        m_denied[n] = verb == "deny";
        return "ok";
    }
    unsigned* counter = verb == "busy"             ? &m_busy
                        : verb == "generation"     ? &m_wrongGeneration
                        : verb == "lose-packets"   ? &m_lose
                        : verb == "short-packets"  ? &m_short
                        : verb == "pass-packets"   ? &m_pass
                                                   : nullptr;
    if (counter == nullptr) return "error unknown command '" + std::string(verb) + "'";
    *counter = n;
    return "ok";
}

}  // namespace fakefw
