// The bridge's bus in process over the fake kernel's bus: answers kept by (client, request id),
// the watched descriptors pumped by hand, frames sent when the test says.
#pragma once

#include <poll.h>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "InProcessKernel.h"
#include "fw/FwBus.h"
#include "tests/simbus/BusRecords.h"

namespace fwtest {

using simbustest::Bytes;

class FwHarness : public simbus::CompletionSink, public fw::FwBus::Host {
public:
    explicit FwHarness(unsigned cameras)
        : kernel(cameras), bus(kernel, *this, *this, InProcessKernel::kDir) {}

    void Complete(simbus::Completion&& completion) override {
        answers[{completion.client, completion.id}] = std::move(completion);
    }
    bool Publish(simbus::UnitId unit) override { return units.insert(unit).second; }
    void Withdraw(simbus::UnitId unit) override { units.erase(unit); }
    void Watch(int fd, std::function<void()> onReadable) override { watched[fd] = std::move(onReadable); }
    void Unwatch(int fd) override { watched.erase(fd); }
    void Tell(const std::string& message) override { told.push_back(message); }

    // Runs the handlers of readable descriptors until none is.
    void Pump() {
        for (int round = 0; round < 100; ++round) {
            std::vector<pollfd> fds;
            for (const auto& [fd, handler] : watched) fds.push_back({fd, POLLIN, 0});
            if (::poll(fds.data(), fds.size(), 0) <= 0) return;
            for (const pollfd& p : fds) {
                const auto it = watched.find(p.fd);
                if (p.revents != 0 && it != watched.end()) std::function<void()>(it->second)();
            }
        }
    }

    std::uint32_t Send(simbus::ClientId client, std::uint32_t code, const Bytes& in,
                       std::optional<std::uint32_t> outSize = std::nullopt, int memoryFd = -1) {
        const std::uint32_t id = nextId++;
        bus.Submit({client, id, code, in, outSize.value_or(std::uint32_t(in.size())),
                    memoryFd >= 0, memoryFd});
        return id;
    }
    std::optional<simbus::Completion> Take(simbus::ClientId client, std::uint32_t id) {
        const auto it = answers.find({client, id});
        if (it == answers.end()) return std::nullopt;
        simbus::Completion completion = std::move(it->second);
        answers.erase(it);
        return completion;
    }
    // Sends a request, lets the kernel answer, and returns its status (997 while it pends).
    std::uint32_t Call(simbus::ClientId client, std::uint32_t code, const Bytes& in,
                       Bytes* out = nullptr) {
        const std::uint32_t id = Send(client, code, in);
        Pump();
        const auto answer = Take(client, id);
        if (!answer) return platform::kErrorIoPending;
        if (out) *out = simbustest::BusHarness::Payload(*answer);
        return answer->status;
    }
    std::uint32_t ReadQuadlet(simbus::ClientId client, std::uint64_t address, std::uint32_t& value) {
        Bytes out;
        const std::uint32_t status =
            Call(client, simbus::kIoctlAsyncRead, simbustest::AsyncRecord(Node(client), address, 4), &out);
        if (status == 0) value = platform::LoadBE32(&out[simbustest::wire::kAsyncHeader]);
        return status;
    }
    // The client's camera's node address, as the bus layer asks for it.
    std::uint16_t Node(simbus::ClientId client) {
        Bytes out;
        Call(client, simbus::kIoctlNodeAddress, simbustest::Words({0, 0}), &out);
        return std::uint16_t(simbustest::Word(out, 4));
    }
    std::uint64_t CommandBase(simbus::ClientId client) {
        return simbustest::ReadCommandBase(
            [&](std::uint32_t code, Bytes& buffer) { return Call(client, code, buffer, &buffer); });
    }

    // A command as the fake's control socket takes it (docs/fake-kernel.md); true for "ok".
    bool Control(const std::string& command) { return kernel.Bus().Execute(command) == "ok"; }
    // A count the fake's status line reports: requests, contexts, bandwidth (units left), files.
    unsigned long Status(std::string_view name) {
        const std::string status = kernel.Bus().Execute("status");
        const std::size_t at = status.find(" " + std::string(name) + "=");
        return at == std::string::npos ? ~0ul : std::stoul(status.substr(at + name.size() + 2));
    }
    // Sets the client's camera sending Format 0 mode 0 (160 x 120 YUV 4:4:4) at 30 fps, 240
    // packets of 240 bytes, on channel at S400.
    bool StartCamera(simbus::ClientId client, std::uint32_t channel) {
        const std::uint64_t base = CommandBase(client);
        for (const auto& [offset, value] :
             {std::pair{simbustest::kCurFormat, 0u}, {simbustest::kCurMode, 0u},
              {simbustest::kCurFrameRate, 4u << 29},
              {simbustest::kIsoChannelSpeed, channel << 28 | 2u << 24},
              {simbustest::kIsoEnable, 0x8000'0000u}}) {
            if (Call(client, simbus::kIoctlAsyncWrite,
                     simbustest::AsyncWrite(Node(client), base + offset, {value})) != 0)
                return false;
        }
        return true;
    }

    InProcessKernel kernel;
    std::map<std::pair<simbus::ClientId, std::uint32_t>, simbus::Completion> answers;
    std::set<simbus::UnitId> units;
    std::map<int, std::function<void()>> watched;
    std::vector<std::string> told;
    std::uint32_t nextId = 1;
    fw::FwBus bus;
};

}  // namespace fwtest
