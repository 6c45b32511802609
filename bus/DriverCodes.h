// Control codes of the bus driver's requests and the private notices of the bus windows.
#pragma once

#include <cstdint>

namespace bus {

// Requests sent on a plain handle that is opened for the one request.
inline constexpr std::uint32_t kIoctlAsyncRead = 0x222008;
inline constexpr std::uint32_t kIoctlAsyncWrite = 0x22200C;
inline constexpr std::uint32_t kIoctlNodeAddress = 0x222050;
inline constexpr std::uint32_t kIoctlMaxSpeed = 0x222058;
inline constexpr std::uint32_t kIoctlConfigInfo = 0x222060;
inline constexpr std::uint32_t kIoctlHostMemoryRead = 0x2220A8;
inline constexpr std::uint32_t kIoctlHostMemoryWrite = 0x2220AC;

// Requests on the long-lived handle of a transfer or bus-reset thread.
inline constexpr std::uint32_t kIoctlAllocateBandwidth = 0x222014;
inline constexpr std::uint32_t kIoctlAllocateChannel = 0x222018;
inline constexpr std::uint32_t kIoctlAllocateResources = 0x22201C;
inline constexpr std::uint32_t kIoctlAttachBuffers = 0x222020;
inline constexpr std::uint32_t kIoctlDetachBuffers = 0x222024;
inline constexpr std::uint32_t kIoctlFreeBandwidth = 0x222028;
inline constexpr std::uint32_t kIoctlFreeChannel = 0x22202C;
inline constexpr std::uint32_t kIoctlFreeResources = 0x222030;
inline constexpr std::uint32_t kIoctlListen = 0x222034;
inline constexpr std::uint32_t kIoctlStop = 0x222044;
inline constexpr std::uint32_t kIoctlTalk = 0x222048;
inline constexpr std::uint32_t kIoctlHostInfo = 0x22204C;
inline constexpr std::uint32_t kIoctlIsochRead = 0x222094;
inline constexpr std::uint32_t kIoctlBusResetWait = 0x2220C8;

// The request's name, for log lines.
constexpr const char* RequestName(std::uint32_t code) {
    switch (code) {
        case kIoctlAsyncRead:
            return "async-read";
        case kIoctlAsyncWrite:
            return "async-write";
        case kIoctlNodeAddress:
            return "node-address";
        case kIoctlMaxSpeed:
            return "max-speed";
        case kIoctlConfigInfo:
            return "config-info";
        case kIoctlHostMemoryRead:
            return "host-memory-read";
        case kIoctlHostMemoryWrite:
            return "host-memory-write";
        case kIoctlAllocateBandwidth:
            return "allocate-bandwidth";
        case kIoctlAllocateChannel:
            return "allocate-channel";
        case kIoctlAllocateResources:
            return "allocate-resources";
        case kIoctlAttachBuffers:
            return "attach-buffers";
        case kIoctlDetachBuffers:
            return "detach-buffers";
        case kIoctlFreeBandwidth:
            return "free-bandwidth";
        case kIoctlFreeChannel:
            return "free-channel";
        case kIoctlFreeResources:
            return "free-resources";
        case kIoctlListen:
            return "listen";
        case kIoctlStop:
            return "stop";
        case kIoctlTalk:
            return "talk";
        case kIoctlHostInfo:
            return "host-info";
        case kIoctlIsochRead:
            return "isoch-read";
        case kIoctlBusResetWait:
            return "bus-reset-wait";
        default:
            return "unknown request";
    }
}

// Speed codes.
inline constexpr std::uint32_t kSpeed100 = 1;
inline constexpr std::uint32_t kSpeed200 = 2;
inline constexpr std::uint32_t kSpeed400 = 4;

// Resource flags of the allocate-resources request.
inline constexpr std::uint32_t kResourceListen = 0x01;
inline constexpr std::uint32_t kResourceTalk = 0x02;
inline constexpr std::uint32_t kResourceCircular = 0x04;
inline constexpr std::uint32_t kResourceStripHeader = 0x08;
inline constexpr std::uint32_t kResourcePacketBased = 0x40;

// Capability bits of the host-information answer.
inline constexpr std::uint32_t kHostCapPacketBased = 1u << 0;
inline constexpr std::uint32_t kHostCapStripHeader = 1u << 4;

// Messages of the hidden bus window. A client registered with message m receives m for a
// device-list change and m + 1 for a bus reset.
inline constexpr std::uint32_t kWmDestroy = 0x0002;
inline constexpr std::uint32_t kWmCameraDeviceList = 0x052D;
inline constexpr std::uint32_t kWmCameraBusReset = 0x052E;

}  // namespace bus
