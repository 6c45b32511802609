// Wire frames between a sender and an endpoint's socket. Each Post or Send opens its own
// connection and carries one request; a Send's connection then carries the one reply back.
// All fields are little-endian; frames have fixed sizes, so nothing variable is ever read.
//
//   sender -> endpoint  request  magic 'KXMP' (post) or 'KXMS' (send), target handle, msg, 0,
//                                wParam (8 bytes), lParam (8 bytes)                  32 bytes
//   endpoint -> sender  reply    magic 'KXMR', 0, result (8 bytes)                   16 bytes
//
// A Send whose endpoint goes away before answering is closed without a reply.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/MessageEndpoint.h"

namespace platform {

inline constexpr std::uint32_t kMagicPost = 0x504D584B;   // "KXMP"
inline constexpr std::uint32_t kMagicSend = 0x534D584B;   // "KXMS"
inline constexpr std::uint32_t kMagicReply = 0x524D584B;  // "KXMR"

inline constexpr std::size_t kRequestFrameBytes = 32;
inline constexpr std::size_t kReplyFrameBytes = 16;

using RequestFrame = std::array<std::uint8_t, kRequestFrameBytes>;
using ReplyFrame = std::array<std::uint8_t, kReplyFrameBytes>;

struct EndpointRequest {
    bool isSend = false;
    EndpointHandle target = 0;
    Message message;
};

RequestFrame EncodeRequest(const EndpointRequest& request);
// Empty for a bad magic, a zero target or a non-zero spare word.
std::optional<EndpointRequest> DecodeRequest(
    std::span<const std::uint8_t, kRequestFrameBytes> bytes);

ReplyFrame EncodeReply(std::int64_t result);
std::optional<std::int64_t> DecodeReply(std::span<const std::uint8_t, kReplyFrameBytes> bytes);

}  // namespace platform
