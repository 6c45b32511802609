// The bus driver's control codes, record flags and the physical limits of the simulated bus.
#pragma once

#include <cstdint>

namespace simbus {

inline constexpr std::uint32_t kCodeAsyncRead = 0x222008;
inline constexpr std::uint32_t kCodeAsyncWrite = 0x22200C;
inline constexpr std::uint32_t kCodeAllocateBandwidth = 0x222014;
inline constexpr std::uint32_t kCodeAllocateChannel = 0x222018;
inline constexpr std::uint32_t kCodeAllocateResources = 0x22201C;
inline constexpr std::uint32_t kCodeAttachBuffers = 0x222020;
inline constexpr std::uint32_t kCodeDetachBuffers = 0x222024;
inline constexpr std::uint32_t kCodeFreeBandwidth = 0x222028;
inline constexpr std::uint32_t kCodeFreeChannel = 0x22202C;
inline constexpr std::uint32_t kCodeFreeResources = 0x222030;
inline constexpr std::uint32_t kCodeListen = 0x222034;
inline constexpr std::uint32_t kCodeStop = 0x222044;
inline constexpr std::uint32_t kCodeTalk = 0x222048;
inline constexpr std::uint32_t kCodeHostInfo = 0x22204C;
inline constexpr std::uint32_t kCodeNodeAddress = 0x222050;
inline constexpr std::uint32_t kCodeMaxSpeed = 0x222058;
inline constexpr std::uint32_t kCodeConfigInfo = 0x222060;
inline constexpr std::uint32_t kCodeIsochRead = 0x222094;
inline constexpr std::uint32_t kCodeHostMemoryRead = 0x2220A8;
inline constexpr std::uint32_t kCodeHostMemoryWrite = 0x2220AC;
inline constexpr std::uint32_t kCodeBusResetWait = 0x2220C8;

// Resource flags.
inline constexpr std::uint32_t kResourceListen = 0x01;
inline constexpr std::uint32_t kResourceTalk = 0x02;
inline constexpr std::uint32_t kResourceCircular = 0x04;
inline constexpr std::uint32_t kResourceStripHeader = 0x08;
inline constexpr std::uint32_t kResourcePacketBased = 0x40;
inline constexpr std::uint32_t kResourceKnownFlags = 0x4F;

// Host capability bits.
inline constexpr std::uint32_t kHostCapPacketBased = 1u << 0;
inline constexpr std::uint32_t kHostCapStripHeader = 1u << 4;
inline constexpr std::uint32_t kHostCapsConfigurable = kHostCapPacketBased | kHostCapStripHeader;

// Descriptor flags (bit 31 is the caller's marker and carries no meaning here).
inline constexpr std::uint32_t kDescriptorModeMask = 0xFF;
inline constexpr std::uint32_t kDescriptorSync = 0x09;
inline constexpr std::uint32_t kDescriptorTag = 0x0A;
inline constexpr std::uint32_t kDescriptorMarker = 0x8000'0000;

// Speed codes.
inline constexpr std::uint32_t kSpeed100 = 1;
inline constexpr std::uint32_t kSpeed200 = 2;
inline constexpr std::uint32_t kSpeed400 = 4;

inline constexpr unsigned kChannelCount = 64;
inline constexpr std::uint32_t kLocalBus = 1023;
// Node 63 is the broadcast address, so a bus holds at most 63 nodes.
inline constexpr unsigned kMaxNodes = 63;
// Tag that IIDC cameras put on their stream packets.
inline constexpr unsigned kCameraTag = 1;
// The SY value that marks the first packet of a camera frame.
inline constexpr unsigned kFrameStartSy = 1;

}  // namespace simbus
