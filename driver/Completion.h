// A request as the bus receives it and its answer on the way back, and where answers go.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "driver/BufferStorage.h"

namespace driver {

using ClientId = std::uint32_t;

struct Request {
    ClientId client = 0;
    std::uint32_t id = 0;
    std::uint32_t code = 0;
    std::span<const std::uint8_t> in;  // valid only while the request is being handled
    std::uint32_t outSize = 0;         // room the caller has for the answer
    // A shared-buffer request: memoryFd is the memfd that came with it (-1 when none came),
    // valid only while the request is being handled.
    bool shared = false;
    int memoryFd = -1;
};

struct Completion {
    ClientId client = 0;
    std::uint32_t id = 0;
    std::uint32_t status = 0;
    // The answer is head followed by the first bodyLength bytes of body. A stream buffer travels
    // as body, shared with the pool it came from, so that it is not copied on the way out.
    std::vector<std::uint8_t> head;
    std::shared_ptr<const BufferStorage> body;
    std::uint32_t bodyLength = 0;

    std::uint32_t Length() const { return std::uint32_t(head.size()) + bodyLength; }
};

inline Completion Answer(const Request& request, std::uint32_t status,
                         std::vector<std::uint8_t> head = {}) {
    return {request.client, request.id, status, std::move(head), nullptr, 0};
}

// The first bytes of the request, as the start of an answer that overwrites the caller's buffer.
inline std::vector<std::uint8_t> Echo(const Request& request, std::size_t bytes) {
    std::vector<std::uint8_t> out(bytes);
    std::copy_n(request.in.begin(), std::min(bytes, request.in.size()), out.begin());
    return out;
}

class CompletionSink {
public:
    virtual ~CompletionSink() = default;
    virtual void Complete(Completion&& completion) = 0;
};

}  // namespace driver
