// Encoding and checking of the endpoint request and reply frames.
#include "platform/EndpointProtocol.h"

#include "platform/ByteOrder.h"

namespace platform {

RequestFrame EncodeRequest(const EndpointRequest& request) {
    RequestFrame bytes{};
    StoreLE32(&bytes[0], request.isSend ? kMagicSend : kMagicPost);
    StoreLE32(&bytes[4], request.target);
    StoreLE32(&bytes[8], request.message.msg);
    StoreLE64(&bytes[16], request.message.wParam);
    StoreLE64(&bytes[24], static_cast<std::uint64_t>(request.message.lParam));
    return bytes;
}

std::optional<EndpointRequest> DecodeRequest(
    std::span<const std::uint8_t, kRequestFrameBytes> bytes) {
    const std::uint32_t magic = LoadLE32(&bytes[0]);
    if (magic != kMagicPost && magic != kMagicSend) return std::nullopt;
    EndpointRequest request;
    request.isSend = magic == kMagicSend;
    request.target = LoadLE32(&bytes[4]);
    request.message.msg = LoadLE32(&bytes[8]);
    request.message.wParam = LoadLE64(&bytes[16]);
    request.message.lParam = static_cast<std::int64_t>(LoadLE64(&bytes[24]));
    if (request.target == 0 || LoadLE32(&bytes[12]) != 0) return std::nullopt;
    return request;
}

ReplyFrame EncodeReply(std::int64_t result) {
    ReplyFrame bytes{};
    StoreLE32(&bytes[0], kMagicReply);
    StoreLE64(&bytes[8], static_cast<std::uint64_t>(result));
    return bytes;
}

std::optional<std::int64_t> DecodeReply(std::span<const std::uint8_t, kReplyFrameBytes> bytes) {
    if (LoadLE32(&bytes[0]) != kMagicReply || LoadLE32(&bytes[4]) != 0) return std::nullopt;
    return static_cast<std::int64_t>(LoadLE64(&bytes[8]));
}

}  // namespace platform
