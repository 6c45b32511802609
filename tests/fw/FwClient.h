// A bare client of the firewire character devices for tests: raw ioctls and bounded waits for
// events, as any program on the kernel's ABI would use them.
#pragma once

#include <fcntl.h>
#include <linux/firewire-cdev.h>
#include <linux/firewire-constants.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ByteOrder.h"

namespace fwtest {

inline constexpr std::uint64_t kCsr = 0xFFFF'F000'0000;
inline constexpr std::uint64_t kCommand = 0xFFFF'F0F0'0000;

class FwClient {
public:
    explicit FwClient(const std::string& path) : m_fd(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {}
    ~FwClient() {
        if (m_fd >= 0) ::close(m_fd);
    }
    FwClient(const FwClient&) = delete;
    FwClient& operator=(const FwClient&) = delete;

    int Fd() const { return m_fd; }
    // GET_INFO with the caller's ABI version; the reset record lands in reset.
    int Info(std::uint32_t version, fw_cdev_get_info& info, fw_cdev_event_bus_reset& reset,
             std::vector<std::uint32_t>* rom = nullptr) {
        info = {};
        info.version = version;
        if (rom != nullptr) {
            rom->assign(256, 0);
            info.rom = reinterpret_cast<std::uintptr_t>(rom->data());
            info.rom_length = 1024;
        }
        info.bus_reset = reinterpret_cast<std::uintptr_t>(&reset);
        const int result = ::ioctl(m_fd, FW_CDEV_IOC_GET_INFO, &info);
        if (result == 0) m_generation = reset.generation;
        return result;
    }
    // The next event within five seconds, or an empty vector.
    std::vector<std::uint8_t> Event() {
        pollfd ready{m_fd, POLLIN, 0};
        if (::poll(&ready, 1, 5000) != 1 || !(ready.revents & POLLIN)) return {};
        std::vector<std::uint8_t> event(64 * 1024);
        const ssize_t n = ::read(m_fd, event.data(), event.size());
        event.resize(n > 0 ? std::size_t(n) : 0);
        return event;
    }
    static std::uint32_t TypeOf(const std::vector<std::uint8_t>& event) {
        fw_cdev_event_common common{};
        std::memcpy(&common, event.data(), std::min(event.size(), sizeof common));
        return common.type;
    }
    // A request answered by its response event (other events are skipped): the rcode, and the
    // whole event in raw.
    std::uint32_t Request(std::uint32_t tcode, std::uint64_t offset, std::uint32_t length,
                          std::vector<std::uint8_t> payload = {},
                          std::vector<std::uint8_t>* raw = nullptr) {
        fw_cdev_send_request request{};
        request.tcode = tcode;
        request.length = length;
        request.offset = offset;
        request.closure = 0x5EED;
        request.data = reinterpret_cast<std::uintptr_t>(payload.data());
        // A request that met a bus reset is sent again in the new generation, once.
        for (int attempt = 0; attempt < 2; ++attempt) {
            request.generation = m_generation;
            const std::uint32_t rcode = Send(request, raw);
            if (rcode != RCODE_GENERATION || request.generation == m_generation) return rcode;
        }
        return RCODE_GENERATION;
    }
    std::uint32_t Send(fw_cdev_send_request& request, std::vector<std::uint8_t>* raw) {
        if (::ioctl(m_fd, FW_CDEV_IOC_SEND_REQUEST, &request) != 0) return 0xDEAD;
        for (;;) {
            std::vector<std::uint8_t> event = Event();
            if (event.empty()) return 0xDEAD;
            if (TypeOf(event) == FW_CDEV_EVENT_BUS_RESET) {
                fw_cdev_event_bus_reset reset{};
                std::memcpy(&reset, event.data(), sizeof reset);
                m_generation = reset.generation;
                continue;
            }
            if (TypeOf(event) != FW_CDEV_EVENT_RESPONSE) continue;
            fw_cdev_event_response response{};
            std::memcpy(&response, event.data(), sizeof response);
            if (raw != nullptr) *raw = std::move(event);
            return response.rcode;
        }
    }
    std::uint32_t Read(std::uint64_t address, std::uint32_t& value) {
        std::vector<std::uint8_t> raw;
        const std::uint32_t rcode = Request(TCODE_READ_QUADLET_REQUEST, address, 4, {}, &raw);
        value = rcode == RCODE_COMPLETE ? platform::LoadBE32(&raw[20]) : 0;
        return rcode;
    }
    std::uint32_t Write(std::uint64_t address, std::uint32_t value) {
        std::vector<std::uint8_t> payload(4);
        platform::StoreBE32(payload.data(), value);
        return Request(TCODE_WRITE_QUADLET_REQUEST, address, 4, payload);
    }
    void SetGeneration(std::uint32_t generation) { m_generation = generation; }
    std::uint32_t Generation() const { return m_generation; }

private:
    int m_fd;
    std::uint32_t m_generation = 0;
};

}  // namespace fwtest
