// Frame buffers, and a frame's conversions and stills.
#include "python/src/FrameData.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <stdexcept>

#include "camera/FrameConverter.h"
#include "files/BmpWriter.h"
#include "files/JpegWriter.h"
#include "python/src/Errors.h"

namespace kxpy {
namespace {

// Frames outlive their camera object, so they convert with a converter of their own, set up as
// the camera library sets up its own.
const FrameConverter& Converter() {
    static const FrameConverter converter = [] {
        FrameConverter c;
        c.SetColorTables(false, false, 10);
        return c;
    }();
    return converter;
}

std::string Lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

}  // namespace

std::shared_ptr<const FrameFormat> FrameFormat::Of(const CameraModes::Mode& mode,
                                                  std::size_t slotBytes) {
    auto format = std::make_shared<FrameFormat>();
    format->mode = mode.name;
    format->width = mode.width;
    format->height = mode.height;
    format->coding = mode.colorCoding;
    format->bayer = mode.bayer;
    format->frameBytes = FrameConverter::FrameBytes(mode.colorCoding, mode.width, mode.height);
    format->slotBytes = slotBytes;
    return format;
}

void FrameData::SetMeta(const kestrix::session::FrameMetadata& meta) {
    sequence = meta.sequence;
    timestampNs = meta.arrivalNs;
    lostBefore = meta.lostBefore + meta.droppedBefore;
    cycleTime = meta.cycleTime;
    sentNs = meta.sentNs;
    sentUtcNs = meta.sentUtcNs;
    flags = meta.flags;
}

std::unique_ptr<std::uint8_t[]> FramePool::Take() {
    {
        std::scoped_lock lock(m_lock);
        if (!m_free.empty()) {
            auto buffer = std::move(m_free.back());
            m_free.pop_back();
            return buffer;
        }
    }
    // Every byte is overwritten by the copy out of the ring.
    return std::make_unique_for_overwrite<std::uint8_t[]>(m_nBytes);
}

void FramePool::Give(std::unique_ptr<std::uint8_t[]> buffer) {
    std::scoped_lock lock(m_lock);
    if (buffer && m_free.size() < m_nKeep) m_free.push_back(std::move(buffer));
}

FrameData::FrameData(std::shared_ptr<FramePool> pool, std::shared_ptr<const FrameFormat> format)
    : m_pPool(std::move(pool)), m_pFormat(std::move(format)), m_pBytes(m_pPool->Take()) {}

FrameData::~FrameData() { m_pPool->Give(std::move(m_pBytes)); }

std::vector<std::uint8_t> FrameData::ToBitmap() const {
    const FrameFormat& f = *m_pFormat;
    std::vector<std::uint8_t> bits(FrameConverter::BitmapBytes(f.width, f.height));
    if (!Converter().ConvertToBitmap(f.coding, bits, {Data(), f.frameBytes}, f.width, f.height,
                                     f.bayer)) {
        throw Error("frames of " + f.mode + " cannot be converted");
    }
    return bits;
}

std::vector<std::uint8_t> FrameData::ToRgb() const {
    const FrameFormat& f = *m_pFormat;
    const std::vector<std::uint8_t> bits = ToBitmap();
    const std::size_t stride = std::size_t(FrameConverter::Stride(f.width));
    const std::size_t row = std::size_t(f.width) * 3;
    std::vector<std::uint8_t> rgb(row * std::size_t(f.height));
    // The bitmap keeps its bottom row first and blue first.
    for (int y = 0; y < f.height; ++y) {
        const std::uint8_t* src = bits.data() + std::size_t(f.height - 1 - y) * stride;
        std::uint8_t* dst = rgb.data() + std::size_t(y) * row;
        for (std::size_t x = 0; x < row; x += 3) {
            dst[x] = src[x + 2];
            dst[x + 1] = src[x + 1];
            dst[x + 2] = src[x];
        }
    }
    return rgb;
}

void FrameData::Save(const std::string& path, int quality) const {
    const std::string extension = Lowercase(std::filesystem::path(path).extension().string());
    const bool jpeg = extension == ".jpg" || extension == ".jpeg";
    if (!jpeg && extension != ".bmp") {
        throw std::invalid_argument("cannot tell the still format of " + path +
                                    ": name it .bmp, .jpg or .jpeg");
    }
    if (jpeg && (quality < 1 || quality > 100)) {
        throw std::invalid_argument("JPEG quality must be 1 to 100, not " +
                                    std::to_string(quality));
    }
    const FrameFormat& f = *m_pFormat;
    const std::vector<std::uint8_t> bits = ToBitmap();
    std::string error;
    const bool saved =
        jpeg ? files::SaveJpegFile(path, bits, f.width, f.height, quality, false, false, &error)
             : files::SaveBmpFile(path, bits, f.width, f.height, &error);
    if (!saved) throw FileError(error.empty() ? "cannot write " + path : error);
}

}  // namespace kxpy
