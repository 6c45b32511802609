// Laying out the configuration-information answer.
#include "driver/ConfigInfoAnswer.h"

#include <algorithm>

#include "driver/RequestDecoder.h"
#include "platform/ByteOrder.h"
#include "platform/ErrorCodes.h"

namespace driver {

std::uint32_t AnswerConfigInfo(const Request& request, std::span<const std::uint8_t> busInfo,
                               const RomPieces& pieces, std::vector<std::uint8_t>& out) {
    ConfigInfoRecord record;
    if (const std::uint32_t status =
            RequestDecoder::ConfigInfo(request.in, request.outSize, record)) {
        return status;
    }
    std::size_t total = kConfigHeaderBytes;
    for (std::size_t i = 0; i < 4; ++i) {
        // The second call must ask for exactly what the first one reported.
        if (!record.AskingSizes() && record.sizes[i] != pieces[i]->size())
            return platform::kErrorInvalidParameter;
        total += pieces[i]->size();
    }
    if (record.AskingSizes()) total = kConfigHeaderBytes;
    if (request.outSize < total) return platform::kErrorInsufficientBuffer;

    out = Echo(request, total);
    std::copy_n(busInfo.begin(), std::min<std::size_t>(24, busInfo.size()), out.begin());
    const std::size_t sizeOffsets[4] = {24, 40, 56, 60};
    std::size_t at = kConfigHeaderBytes;
    for (std::size_t i = 0; i < 4; ++i) {
        platform::StoreLE32(&out[sizeOffsets[i]], std::uint32_t(pieces[i]->size()));
        if (record.AskingSizes()) continue;
        std::copy(pieces[i]->begin(), pieces[i]->end(), out.begin() + std::ptrdiff_t(at));
        at += pieces[i]->size();
    }
    return platform::kErrorSuccess;
}

}  // namespace driver
