// Encoding and checking of the device-socket frame headers.
#include "platform/DeviceProtocol.h"

#include "platform/ByteOrder.h"

namespace platform {

namespace {

std::uint32_t MagicOf(FrameKind kind) {
    switch (kind) {
        case FrameKind::Request:
            return kMagicRequest;
        case FrameKind::SharedRequest:
            return kMagicSharedRequest;
        case FrameKind::Cancel:
            return kMagicCancel;
        case FrameKind::Completion:
            return kMagicCompletion;
    }
    return 0;
}

}  // namespace

FrameHeaderBytes EncodeFrameHeader(const FrameHeader& header) {
    FrameHeaderBytes bytes{};
    const bool completion = header.kind == FrameKind::Completion;
    StoreLE32(&bytes[0], MagicOf(header.kind));
    StoreLE32(&bytes[4], header.id);
    StoreLE32(&bytes[8], header.code);
    StoreLE32(&bytes[12], header.inSize);
    StoreLE32(&bytes[16], completion ? 0 : header.outSize);
    return bytes;
}

std::optional<FrameHeader> DecodeFrameHeader(
    std::span<const std::uint8_t, kFrameHeaderBytes> bytes) {
    FrameHeader header;
    const std::uint32_t magic = LoadLE32(&bytes[0]);
    if (magic == kMagicRequest) {
        header.kind = FrameKind::Request;
    } else if (magic == kMagicSharedRequest) {
        header.kind = FrameKind::SharedRequest;
    } else if (magic == kMagicCancel) {
        header.kind = FrameKind::Cancel;
    } else if (magic == kMagicCompletion) {
        header.kind = FrameKind::Completion;
    } else {
        return std::nullopt;
    }
    header.id = LoadLE32(&bytes[4]);
    header.code = LoadLE32(&bytes[8]);
    header.inSize = LoadLE32(&bytes[12]);
    header.outSize = LoadLE32(&bytes[16]);
    if (header.inSize > kMaxPayload || header.outSize > kMaxPayload) return std::nullopt;
    if (header.kind == FrameKind::Completion && header.outSize != 0) return std::nullopt;
    if (header.kind == FrameKind::Cancel && (header.code | header.inSize | header.outSize) != 0) {
        return std::nullopt;
    }
    return header;
}

FrameHeader MakeRequest(std::uint32_t id, std::uint32_t code, std::uint32_t inSize,
                        std::uint32_t outSize) {
    return {FrameKind::Request, id, code, inSize, outSize};
}

FrameHeader MakeSharedRequest(std::uint32_t id, std::uint32_t code, std::uint32_t inSize,
                              std::uint32_t outSize) {
    return {FrameKind::SharedRequest, id, code, inSize, outSize};
}

FrameHeader MakeCancel(std::uint32_t id) { return {FrameKind::Cancel, id, 0, 0, 0}; }

FrameHeader MakeCompletion(std::uint32_t id, std::uint32_t status, std::uint32_t outLen) {
    return {FrameKind::Completion, id, status, outLen, 0};
}

}  // namespace platform
