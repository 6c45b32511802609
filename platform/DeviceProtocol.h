// Wire framing between a device handle and the bus driver's unit socket.
//
// One stream connection per device handle. Every frame starts with a 20-byte header of five
// little-endian 32-bit words; a frame's payload follows its header directly.
//
//   client -> driver  Request     magic 'KXRQ', id, code, inSize, outSize   + inSize bytes
//   client -> driver  Request     magic 'KXRM': the same, with one descriptor (a memfd the
//                                 driver fills in place) passed on its first byte
//   client -> driver  Cancel      magic 'KXCN', id (0 = every pending), 0, 0, 0
//   driver -> client  Completion  magic 'KXCP', id, status, outLen, 0       + outLen bytes
//
// The driver answers each request exactly once (a cancelled one with kErrorOperationAborted),
// in any order; outLen never exceeds the request's outSize. Sizes are checked before a byte is
// read: a frame with a bad magic or a size above kMaxPayload breaks the connection.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace platform {

inline constexpr std::uint32_t kMagicRequest = 0x5152584B;        // "KXRQ"
inline constexpr std::uint32_t kMagicSharedRequest = 0x4D52584B;  // "KXRM"
inline constexpr std::uint32_t kMagicCancel = 0x4E43584B;         // "KXCN"
inline constexpr std::uint32_t kMagicCompletion = 0x5043584B;     // "KXCP"

inline constexpr std::size_t kFrameHeaderBytes = 20;
// Largest payload either side accepts: a 1360 x 1024 RGB 16 frame with its records fits.
inline constexpr std::uint32_t kMaxPayload = 16u << 20;

enum class FrameKind { Request, SharedRequest, Cancel, Completion };

struct FrameHeader {
    FrameKind kind = FrameKind::Request;
    std::uint32_t id = 0;
    std::uint32_t code = 0;     // Request: control code; Completion: status
    std::uint32_t inSize = 0;   // Request: payload bytes; Completion: payload (outLen) bytes
    std::uint32_t outSize = 0;  // Request: room the caller has for the answer

    // Bytes of payload that follow this header on the wire.
    std::uint32_t PayloadBytes() const { return kind == FrameKind::Cancel ? 0 : inSize; }
};

using FrameHeaderBytes = std::array<std::uint8_t, kFrameHeaderBytes>;

FrameHeaderBytes EncodeFrameHeader(const FrameHeader& header);
// Empty for a bad magic, a payload above kMaxPayload or a non-zero spare word.
std::optional<FrameHeader> DecodeFrameHeader(
    std::span<const std::uint8_t, kFrameHeaderBytes> bytes);

FrameHeader MakeRequest(std::uint32_t id, std::uint32_t code, std::uint32_t inSize,
                        std::uint32_t outSize);
FrameHeader MakeSharedRequest(std::uint32_t id, std::uint32_t code, std::uint32_t inSize,
                              std::uint32_t outSize);
FrameHeader MakeCancel(std::uint32_t id);
FrameHeader MakeCompletion(std::uint32_t id, std::uint32_t status, std::uint32_t outLen);

}  // namespace platform
