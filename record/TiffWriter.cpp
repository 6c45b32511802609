// Writing TIFF pages with libtiff.
#include "record/TiffWriter.h"

#include <fcntl.h>
#include <tiffio.h>

#include <bit>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "record/TimeText.h"

namespace kestrix::record {

namespace {

// Past this a classic TIFF's 32-bit offsets run out; the margin is the directories'.
constexpr std::uint64_t kClassicLimit = 4'000'000'000;

}  // namespace

void TiffWriter::Cleanup::operator()(tiff* file) const { TIFFCleanup(file); }

TiffWriter::TiffWriter(const std::string& path, const FrameFormat& format,
                       std::uint64_t expectedFrames, std::string& error)
    : m_format(format), m_strPath(path) {
    if (format.BitDepth() == 0) {
        error = "TIFF stores mono, raw and RGB frames; " + format.Name() + " is none of them";
        return;
    }
    m_fd.Reset(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!m_fd) {
        error = path + ": " + std::strerror(errno);
        return;
    }
    const bool big = expectedFrames == 0 || expectedFrames * format.frameBytes > kClassicLimit;
    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, &TiffWriter::OnError, this);
    m_pTiff.reset(TIFFFdOpenExt(m_fd.Get(), path.c_str(), big ? "w8" : "w", options));
    TIFFOpenOptionsFree(options);
    if (!m_pTiff) Failed(error);
}

int TiffWriter::OnError(tiff*, void* self, const char*, const char* format, va_list args) {
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    auto& writer = *static_cast<TiffWriter*>(self);
    if (writer.m_strError.empty()) writer.m_strError = text;
    return 1;
}

bool TiffWriter::Failed(std::string& error) {
    error = m_strPath + ": " + (m_strError.empty() ? "libtiff failed" : m_strError);
    // What is linked in already stays; the failed page is never added.
    m_pTiff.reset();
    return false;
}

bool TiffWriter::Write(std::span<const std::uint8_t> frame, const session::FrameMetadata& meta,
                       std::string& error) {
    if (!m_pTiff) {
        error = m_strPath + ": the file took no more pages";
        return false;
    }
    tiff* t = m_pTiff.get();
    const int bits = m_format.BitDepth();
    const int channels = m_format.Channels();
    const std::int64_t utc = FrameUtcNs(meta);
    const std::string description = "index=" + std::to_string(m_nPages) +
                                    " sequence=" + std::to_string(meta.sequence) +
                                    " sent_utc=" + IsoUtc(utc);
    TIFFSetField(t, TIFFTAG_SUBFILETYPE, m_nPages == 0 ? 0 : FILETYPE_PAGE);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, std::uint32_t(m_format.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, std::uint32_t(m_format.height));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, channels);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, channels == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, std::uint32_t(m_format.height));
    TIFFSetField(t, TIFFTAG_DATETIME, TiffDateTime(utc).c_str());
    TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
    TIFFSetField(t, TIFFTAG_SOFTWARE, "KestrixView");
    std::span<const std::uint8_t> pixels = frame.first(m_format.frameBytes);
    if (bits == 16 && std::endian::native == std::endian::little) {
        // The camera sends 16-bit samples big-endian; TIFF readers expect the file's order.
        m_Swapped.resize(pixels.size());
        for (std::size_t i = 0; i + 1 < pixels.size(); i += 2) {
            m_Swapped[i] = pixels[i + 1];
            m_Swapped[i + 1] = pixels[i];
        }
        pixels = m_Swapped;
    }
    if (TIFFWriteEncodedStrip(t, 0, const_cast<std::uint8_t*>(pixels.data()),
                              tmsize_t(pixels.size())) < 0 ||
        !TIFFWriteDirectory(t)) {
        return Failed(error);
    }
    ++m_nPages;
    return true;
}

bool TiffWriter::Finish(std::string& error) {
    if (!m_pTiff) return true;
    const bool flushed = TIFFFlush(m_pTiff.get()) == 1;
    m_pTiff.reset();
    if (!flushed) return Failed(error);
    if (::close(m_fd.Release()) != 0) {
        error = m_strPath + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace kestrix::record
