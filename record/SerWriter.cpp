// Writing SER files.
#include "record/SerWriter.h"

#include <fcntl.h>

#include <array>
#include <cstring>
#include <ctime>

#include "files/CFileException.h"
#include "record/TimeText.h"

namespace kestrix::record {

namespace {

// Ticks of 100 ns from 0001-01-01 to 1970-01-01.
constexpr std::int64_t kUnixEpochTicks = 621'355'968'000'000'000;
constexpr std::size_t kCountOffset = 38;

// The header's colour id: mono, the four Bayer layouts, RGB.
int ColorId(const FrameFormat& format) {
    if (format.coding == FrameFormat::Rgb8 || format.coding == FrameFormat::Rgb16) return 100;
    if (format.coding != FrameFormat::Raw8) return 0;
    switch (format.bayer) {
        case BayerPattern::Rggb:
            return 8;
        case BayerPattern::Grbg:
            return 9;
        case BayerPattern::Gbrg:
            return 10;
        case BayerPattern::Bggr:
            return 11;
        default:
            return 0;  // a mosaic of unknown layout reads as grey
    }
}

void Put32(std::uint8_t* at, std::int32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = std::uint8_t(std::uint32_t(value) >> (8 * i));
}

void Put64(std::uint8_t* at, std::int64_t value) {
    for (int i = 0; i < 8; ++i) at[i] = std::uint8_t(std::uint64_t(value) >> (8 * i));
}

std::array<std::uint8_t, SerWriter::kHeaderBytes> Header(const FrameFormat& format) {
    std::array<std::uint8_t, SerWriter::kHeaderBytes> h{};
    std::memcpy(h.data(), "LUCAM-RECORDER", 14);
    Put32(&h[18], ColorId(format));
    // 16-bit samples stay in the camera's big-endian order: the flag says so.
    Put32(&h[22], 0);
    Put32(&h[26], format.width);
    Put32(&h[30], format.height);
    Put32(&h[34], format.BitDepth());
    std::memcpy(&h[82], "KestrixView", 11);  // the instrument field
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t utc = SerWriter::Ticks(std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec);
    std::tm local{};
    const std::time_t t = now.tv_sec;
    ::localtime_r(&t, &local);
    Put64(&h[162], utc + std::int64_t(local.tm_gmtoff) * 10'000'000);
    Put64(&h[170], utc);
    return h;
}

}  // namespace

std::int64_t SerWriter::Ticks(std::int64_t utcNs) { return kUnixEpochTicks + utcNs / 100; }

SerWriter::SerWriter(const std::string& path, const FrameFormat& format, std::string& error)
    : m_nFrameBytes(format.frameBytes) {
    if (format.BitDepth() == 0) {
        error = "SER stores mono, raw and RGB frames; " + format.Name() + " is none of them";
        return;
    }
    try {
        m_file.Open(path, O_WRONLY | O_CREAT | O_TRUNC);
        const auto header = Header(format);
        m_file.Write(0, header);
    } catch (const files::CFileException& e) {
        error = e.what();
    }
}

bool SerWriter::Write(std::span<const std::uint8_t> frame, const session::FrameMetadata& meta,
                      std::string& error) {
    if (m_bFailed) return false;
    const std::uint64_t at = kHeaderBytes + std::uint64_t(m_nFrameBytes) * m_Times.size();
    try {
        m_file.Write(at, frame.first(m_nFrameBytes));
        m_Times.push_back(Ticks(FrameUtcNs(meta)));
        std::array<std::uint8_t, 4> count{};
        Put32(count.data(), std::int32_t(m_Times.size()));
        m_file.Write(kCountOffset, count);
        return true;
    } catch (const files::CFileException& e) {
        m_bFailed = true;
        error = e.what();
        // A partial frame would make the file's size disagree with its count.
        try {
            m_file.Truncate(at);
        } catch (const files::CFileException&) {
        }
        return false;
    }
}

bool SerWriter::Finish(std::string& error) {
    if (!m_file.IsOpen()) return true;
    try {
        if (!m_bFailed) {
            std::vector<std::uint8_t> trailer(m_Times.size() * 8);
            for (std::size_t i = 0; i < m_Times.size(); ++i) Put64(&trailer[i * 8], m_Times[i]);
            m_file.Write(kHeaderBytes + std::uint64_t(m_nFrameBytes) * m_Times.size(), trailer);
        }
        m_file.Close();
        return true;
    } catch (const files::CFileException& e) {
        error = std::string(e.what()) + " (the frames are in the file, their times are not)";
        return false;
    }
}

}  // namespace kestrix::record
