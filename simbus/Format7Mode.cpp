// Register behaviour and stream shape of the camera's Format 7 mode 0.
#include "simbus/Format7Mode.h"

#include <algorithm>

#include "simbus/IidcRegisterMap.h"

namespace simbus {
namespace {

using Access = CameraModel::Access;
using namespace iidc;

constexpr std::uint32_t kCodingsOffered = InqBit(unsigned(ColorCoding::Mono8)) |
                                          InqBit(unsigned(ColorCoding::Yuv422)) |
                                          InqBit(unsigned(ColorCoding::Rgb8));

// The pattern index (0 RGGB .. 3 BGGR) the sensor is mosaicked with.
unsigned MosaicOf(BayerFilter filter) {
    return filter >= BayerFilter::Rggb && filter <= BayerFilter::Bggr
               ? unsigned(filter) - unsigned(BayerFilter::Rggb)
               : 0;
}
constexpr unsigned kS400 = 2;

constexpr std::uint32_t Pair(std::uint32_t high, std::uint32_t low) {
    return high << 16 | (low & 0xFFFF);
}

}  // namespace

std::uint32_t Format7Mode::MaxBytesPerPacket(unsigned speed) {
    return 1024u << std::min(speed, kS400);
}

Format7Mode::Format7Mode(BayerFilter filter)
    : m_bytesPerPacket(MaxBytesPerPacket(kS400)),
      m_filter(filter),
      m_codings(kCodingsOffered |
                (filter == BayerFilter::None ? 0 : InqBit(unsigned(ColorCoding::Raw8)))) {}

FrameFormat Format7Mode::Format() const {
    return {m_size >> 16,     m_size & 0xFFFF,     ColorCoding(m_coding),
            m_position >> 16, m_position & 0xFFFF, kMaxWidth,
            kMaxHeight,       MosaicOf(m_filter)};
}

Access Format7Mode::Read(std::uint32_t offset, unsigned speed, std::uint32_t& value) const {
    const FrameFormat f = Format();
    const std::uint64_t total = std::uint64_t{f.width} * f.height * BitsPerPixel(f.coding) / 8;
    const std::uint32_t max = MaxBytesPerPacket(speed);
    switch (offset) {
        case kMaxImageSizeInq:
            value = Pair(kMaxWidth, kMaxHeight);
            break;
        case kUnitSizeInq:
        case kUnitPositionInq:
            value = Pair(kUnitWidth, kUnitHeight);
            break;
        case kImagePosition:
            value = m_position;
            break;
        case kImageSize:
            value = m_size;
            break;
        case kColorCodingId:
            value = m_coding << 24;
            break;
        case kColorCodingInq:
            value = m_codings;
            break;
        case kColorFilterId:
            if (m_filter == BayerFilter::None || m_filter == BayerFilter::Unlisted)
                return Access::Unmapped;
            value = MosaicOf(m_filter) << 24;
            break;
        case kPixelNumberInq:
            value = f.width * f.height;
            break;
        case kTotalBytesHiInq:
            value = std::uint32_t(total >> 32);
            break;
        case kTotalBytesLoInq:
            value = std::uint32_t(total);
            break;
        case kPacketParaInq:
            value = Pair(kPacketUnit, max);
            break;
        case kBytePerPacket:
            value = Pair(m_bytesPerPacket, max);
            break;  // recommended: max
        case kPacketPerFrameInq:
            value = m_bytesPerPacket == 0
                        ? 0
                        : std::uint32_t((total + m_bytesPerPacket - 1) / m_bytesPerPacket);
            break;
        default:
            return Access::Unmapped;
    }
    return Access::Ok;
}

Access Format7Mode::Write(std::uint32_t offset, std::uint32_t value) {
    switch (offset) {
        case kImagePosition:
            m_position = value;
            break;
        case kImageSize:
            m_size = value;
            break;
        case kColorCodingId:
            m_coding = value >> 24;
            break;
        case kBytePerPacket:
            m_bytesPerPacket = value >> 16;
            break;  // low half is read-only
        default: {
            std::uint32_t ignored = 0;
            return Read(offset, kS400, ignored) == Access::Ok ? Access::ReadOnly : Access::Unmapped;
        }
    }
    return Access::Ok;
}

void Format7Mode::FollowSpeed(unsigned speed) {
    m_bytesPerPacket = std::min(m_bytesPerPacket, MaxBytesPerPacket(speed));
}

std::optional<StreamShape> Format7Mode::Shape(unsigned speed) const {
    const FrameFormat f = Format();
    const bool codingOk = m_coding < 32 && (m_codings & InqBit(m_coding));
    const bool windowOk = f.width > 0 && f.height > 0 && f.width % kUnitWidth == 0 &&
                          f.height % kUnitHeight == 0 && f.left % kUnitWidth == 0 &&
                          f.top % kUnitHeight == 0 && f.left + f.width <= kMaxWidth &&
                          f.top + f.height <= kMaxHeight;
    const bool packetOk = speed <= kS400 && m_bytesPerPacket > 0 &&
                          m_bytesPerPacket % kPacketUnit == 0 &&
                          m_bytesPerPacket <= MaxBytesPerPacket(speed);
    if (!codingOk || !windowOk || !packetOk) return std::nullopt;
    StreamShape shape;
    shape.format = f;
    shape.frameBytes = FrameBytes(f);
    shape.bytesPerPacket = m_bytesPerPacket;
    shape.packetsPerFrame = (shape.frameBytes + m_bytesPerPacket - 1) / m_bytesPerPacket;
    shape.cyclesNum = shape.packetsPerFrame;  // one packet per cycle
    shape.cyclesDen = 1;
    return shape;
}

}  // namespace simbus
