// Camera AVI writer: format choice by colour coding, recording policy, provisional refreshes.
#include "files/CDcamAviFile.h"

#include <array>

#include "files/BitmapGeometry.h"
#include "files/CFileException.h"

namespace files {

namespace {

// Bits per pixel of raw frames by colour coding; 0 where frames have no known layout (7 is
// "none", 8 a signed coding never set).
constexpr std::array<std::uint16_t, 10> kRawBitCounts{8, 12, 16, 24, 24, 16, 48, 0, 0, 8};
constexpr std::uint16_t kConvertedBitCount = 24;
constexpr std::uint32_t kConvertedHandler = CRiffFile::FourCC("DIB ");

constexpr std::array<std::uint32_t, 7> kMicrosecondsPerFrame{533333, 266666, 133333, 66666,
                                                             33333,  16666,  500000};

// Bit 31 of a standard-index size marks a frame that is not a key frame.
constexpr std::uint64_t kMaxFrameBytes = 0x7FFFFFFF;

}  // namespace

CDcamAviFile::CDcamAviFile() : m_clock([] { return std::chrono::steady_clock::now(); }) {}

CDcamAviFile::~CDcamAviFile() {
    if (IsOpen()) Finish();
}

std::uint32_t CDcamAviFile::MicrosecondsPerFrame(int rateIndex) {
    if (rateIndex < 0 || rateIndex >= int(kMicrosecondsPerFrame.size())) return 0;
    return kMicrosecondsPerFrame[std::size_t(rateIndex)];
}

std::uint32_t CDcamAviFile::MicrosecondsPerFormat7Frame(std::uint32_t packetsPerFrame) {
    return packetsPerFrame <= 0xFFFFFFFFu / 125 ? packetsPerFrame * 125 : 0;
}

bool CDcamAviFile::Open(const std::string& path) {
    if (IsOpen()) return CRiffFile::Open(path);  // refused, with the reason noted
    m_nFrameBytes = 0;
    m_bStarted = m_bFailed = m_bFull = false;
    return CRiffFile::Open(path);
}

bool CDcamAviFile::SetFormat(int colorCoding, int width, int height,
                             std::uint32_t microsecondsPerFrame, bool convert, RawFourCC fourcc) {
    if (m_bStarted) return Refuse("the recording has already begun");
    // Converted frames are 24-bit whatever the camera sends; raw frames need a known layout.
    const std::uint16_t rawBits = colorCoding >= 0 && colorCoding < int(kRawBitCounts.size())
                                      ? kRawBitCounts[std::size_t(colorCoding)]
                                      : 0;
    if (!convert && rawBits == 0) {
        return Refuse("cannot record raw frames of colour coding " + std::to_string(colorCoding));
    }
    if (!IsValidImageSize(width, height)) {
        return Refuse("cannot record frames of " + std::to_string(width) + " x " +
                      std::to_string(height) + " pixels");
    }
    if (microsecondsPerFrame == 0) return Refuse("cannot record a frame period of 0 microseconds");
    const std::uint16_t bitCount = convert ? kConvertedBitCount : rawBits;
    const std::uint64_t frameBytes =
        convert ? BitmapBytes(width, height)
                : std::uint64_t(width) * std::uint32_t(height) * bitCount / 8;
    if (frameBytes > kMaxFrameBytes) return Refuse("frames too large for an AVI file");

    m_nFrameBytes = std::uint32_t(frameBytes);
    m_nRiffsRefreshed = 0;
    m_nDropped = 0;
    RestartSequence();
    const std::uint32_t tag = convert ? 0 : RawFourCCFor(colorCoding, fourcc);
    SetStream({convert ? kConvertedHandler : tag, tag, bitCount, width, height,
               microsecondsPerFrame, m_nFrameBytes});
    return true;
}

CDcamAviFile::WriteResult CDcamAviFile::WriteFrame(std::span<const std::uint8_t> frame) {
    if (m_bFull) return WriteResult::IndexFull;
    if (m_bFailed) return WriteResult::Failed;
    if (!IsOpen() || m_nFrameBytes == 0) return Fail("no AVI file is open and formatted");
    if (frame.size() < m_nFrameBytes) return WriteResult::BadFrame;
    m_bStarted = true;
    try {
        if (!AppendFrame(frame.first(m_nFrameBytes))) {
            m_bFull = true;
            return WriteResult::IndexFull;
        }
        const auto now = m_clock();
        if (RefreshDue(now)) {
            WriteHeaders(false);
            m_lastRefresh = now;
            m_nRiffsRefreshed = GetRiffCount();
        }
    } catch (const CFileException& e) {
        return Fail(e.what());
    }
    return WriteResult::Written;
}

bool CDcamAviFile::Finish() {
    if (!IsOpen()) return Refuse("no AVI file is open");
    bool complete = !m_bFailed;
    try {
        if (GetFrameCount() > 0) WriteHeaders(true);
        // Whatever a failed write left past the last whole chunk goes.
        if (m_bFailed) TruncateFile(GetFrameCount() > 0 ? GetFileEnd() : 0);
    } catch (const CFileException& e) {
        NoteError(std::string("the file could not be finished: ") + e.what());
        complete = false;
    }
    return Close() && complete;
}

std::uint32_t CDcamAviFile::NoteSequence(std::uint16_t sequence) {
    const int previous = m_nLastSequence;
    m_nLastSequence = sequence;
    if (previous < 0) return 0;
    const std::uint32_t missed = FramesMissing(std::uint16_t(previous), sequence);
    m_nDropped.fetch_add(missed, std::memory_order_relaxed);
    return missed;
}

std::uint32_t CDcamAviFile::FramesMissing(std::uint16_t previous, std::uint16_t current) {
    // The same number again is the same frame, not 65535 lost ones.
    return current == previous ? 0 : std::uint16_t(current - previous - 1);
}

bool CDcamAviFile::Refuse(const std::string& text) {
    NoteError(text);
    return false;
}

CDcamAviFile::WriteResult CDcamAviFile::Fail(const std::string& text) {
    m_bFailed = true;
    NoteError(text);
    return WriteResult::Failed;
}

bool CDcamAviFile::RefreshDue(std::chrono::steady_clock::time_point now) const {
    return GetFrameCount() == 1 || GetRiffCount() != m_nRiffsRefreshed ||
           now - m_lastRefresh >= kRefreshInterval;
}

}  // namespace files
