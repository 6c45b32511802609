// kestrix-busd against clients that try to make it hold without limit: huge announced payloads,
// answers nobody reads, more connections than descriptors, idle control connections.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <regex>
#include <thread>

#include "driver/RequestCodes.h"
#include "platform/DeviceProtocol.h"
#include "platform/UniqueFd.h"
#include "simbus/ControlProtocol.h"
#include "tests/simbus/BusRecords.h"
#include "tests/support/SimulatedBus.h"

namespace {

using namespace simbustest;
using namespace std::chrono_literals;
using platform::UniqueFd;
using testsupport::SimulatedBus;

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

UniqueFd ConnectTo(const std::string& path) {
    UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return {};
    return socket;
}

bool SendAll(int fd, std::span<const std::uint8_t> bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += std::size_t(n);
    }
    return true;
}

// The daemon's own figures from the status line "daemon: resident N KiB, connections U unit ...".
struct DaemonFigures {
    long residentKib = -1;
    long unitConnections = -1;
};

DaemonFigures Figures(const SimulatedBus& bus) {
    const auto status = bus.Busctl({"status"});
    static const std::regex line(R"(daemon: resident (\d+) KiB, connections (\d+) unit)");
    std::smatch match;
    if (!status.Ok() || !std::regex_search(status.output, match, line)) return {};
    return {std::stol(match[1]), std::stol(match[2])};
}

// CPU time the process has used, in clock ticks.
long CpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) user = std::stol(field);
        if (i == 15) system = std::stol(field);
    }
    return user + system;
}

TEST(BusdBounds, WhatClientsSendOrLeaveUnreadDoesNotGrowItWithoutLimit) {
    SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    const long before = Figures(bus).residentKib;
    ASSERT_GT(before, 0);
    const std::string unit = bus.UnitPaths().at(0);

    // Headers that announce the largest payload, and never send it.
    std::vector<UniqueFd> announcers;
    for (int i = 0; i < 20; ++i) {
        announcers.push_back(ConnectTo(unit));
        const auto header = platform::EncodeFrameHeader(platform::MakeRequest(
            1, simbus::kIoctlHostMemoryWrite, platform::kMaxPayload, platform::kMaxPayload));
        ASSERT_TRUE(SendAll(announcers.back().Get(), header));
    }
    // 64 KiB host-memory reads, pipelined, whose answers are never read.
    UniqueFd greedy = ConnectTo(unit);
    constexpr std::uint32_t kRead = 64 * 1024;
    const Bytes record = Words({0, kRead, 0});
    std::vector<std::uint8_t> requests;
    for (std::uint32_t id = 1; id <= 3000; ++id) {
        const auto header = platform::EncodeFrameHeader(platform::MakeRequest(
            id, simbus::kIoctlHostMemoryRead, std::uint32_t(record.size()), 12 + kRead + 4));
        requests.insert(requests.end(), header.begin(), header.end());
        requests.insert(requests.end(), record.begin(), record.end());
    }
    ASSERT_TRUE(SendAll(greedy.Get(), requests));

    // Answers coming back show the daemon at work on the reads.
    char byte = 0;
    ASSERT_EQ(::recv(greedy.Get(), &byte, 1, MSG_PEEK), 1);
    // Held: the announced payloads and 3000 answers of 64 KiB, 500 MB and more unbounded.
    for (int look = 0; look < 3; ++look) {
        std::this_thread::sleep_for(200ms);
        const DaemonFigures after = Figures(bus);
        EXPECT_EQ(after.unitConnections, 21);
        // ThreadSanitizer's shadow memory grows with the daemon's, several times over.
        if (!kThreadSanitizer) {
            EXPECT_LT(after.residentKib - before, 160 * 1024) << "from " << before << " KiB";
        }
    }
}

TEST(BusdBounds, OutOfDescriptorsItNeitherSpinsNorStopsAnswering) {
    // The daemon inherits a limit of 64 descriptors; this process keeps its own.
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = 64;
    ::setrlimit(RLIMIT_NOFILE, &low);
    SimulatedBus bus(1);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(bus.IsRunning());

    std::vector<UniqueFd> clients;
    for (int i = 0; i < 80; ++i) clients.push_back(ConnectTo(bus.UnitPaths().at(0)));
    const auto outOf = [&] {
        return bus.Busctl({"status"}).output.find("out of descriptors") != std::string::npos;
    };
    // The daemon meets the limit on the last ones.
    const auto limitMet = std::chrono::steady_clock::now() + 20s;
    while (!outOf() && std::chrono::steady_clock::now() < limitMet)
        std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(outOf());
    const long start = CpuTicks(bus.Pid());
    const auto wall = std::chrono::steady_clock::now();
    const DaemonFigures figures = Figures(bus);
    EXPECT_GT(figures.unitConnections, 0);
    EXPECT_LT(figures.unitConnections, 64);
    std::this_thread::sleep_for(1s);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    // Spinning on the waiting connections would take a whole core: about 100 ticks a second.
    EXPECT_LT(double(CpuTicks(bus.Pid()) - start), 0.5 * seconds * double(::sysconf(_SC_CLK_TCK)));
    clients.clear();
    EXPECT_TRUE(bus.Busctl({"status"}).Ok());
    // Once the daemon has closed them, it says so no more.
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (Figures(bus).unitConnections != 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_FALSE(outOf());
}

TEST(BusdBounds, ClosesAControlConnectionThatSendsNothing) {
    SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    UniqueFd idle = ConnectTo(simbus::ControlProtocol::SocketPath(bus.Dir()).string());
    ASSERT_TRUE(idle);
    const timeval bound{15, 0};
    ::setsockopt(idle.Get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    char byte = 0;
    EXPECT_EQ(::recv(idle.Get(), &byte, 1, 0), 0) << "the daemon did not close it";
}

}  // namespace
