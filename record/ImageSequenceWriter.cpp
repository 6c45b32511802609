// Writing one image file per frame.
#include "record/ImageSequenceWriter.h"

#include <fcntl.h>

#include <cctype>
#include <filesystem>

#include "files/CFileException.h"
#include "files/PosixFile.h"
#include "record/TiffWriter.h"

namespace kestrix::record {

std::optional<std::string> ImageSequenceWriter::FileName(const std::string& pattern,
                                                         std::uint64_t index) {
    std::string name;
    int conversions = 0;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') {
            name += pattern[i];
            continue;
        }
        if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
            name += '%';
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        const bool zeros = j < pattern.size() && pattern[j] == '0';
        if (zeros) ++j;
        std::size_t width = 0;
        while (j < pattern.size() && std::isdigit(static_cast<unsigned char>(pattern[j])) &&
               width < 100) {
            width = width * 10 + std::size_t(pattern[j++] - '0');
        }
        if (j >= pattern.size() || pattern[j] != 'd' || width >= 100) return {};
        const std::string digits = std::to_string(index);
        if (digits.size() < width) name.append(width - digits.size(), zeros ? '0' : ' ');
        name += digits;
        ++conversions;
        i = j;
    }
    if (conversions != 1) return {};
    return name;
}

ImageSequenceWriter::ImageSequenceWriter(const std::string& pattern, const FrameFormat& format,
                                         bool tiff, std::string& error)
    : m_strPattern(pattern), m_format(format), m_bTiff(tiff) {
    if (!m_bTiff) m_pPng = std::make_unique<AvEncoder>(format, "png", AVRational{1, 1}, false, error);
    if (!error.empty()) return;
    const auto first = FileName(pattern, 0);
    if (!first) {
        error = "'" + pattern + "' needs exactly one %d (as in frames/%06d.png)";
        return;
    }
    const std::filesystem::path folder = std::filesystem::path(*first).parent_path();
    std::error_code made;
    if (!folder.empty()) std::filesystem::create_directories(folder, made);
    if (made) error = "cannot make the folder " + folder.string() + ": " + made.message();
}

bool ImageSequenceWriter::Write(std::span<const std::uint8_t> frame,
                                const session::FrameMetadata& meta, std::string& error) {
    const std::string path = *FileName(m_strPattern, m_nIndex);
    if (m_bTiff) {
        TiffWriter page(path, m_format, 1, error);
        if (!error.empty() || !page.Write(frame, meta, error) || !page.Finish(error)) return false;
    } else if (!WritePng(path, frame, error)) {
        return false;
    }
    ++m_nIndex;
    return true;
}

bool ImageSequenceWriter::WritePng(const std::string& path, std::span<const std::uint8_t> frame,
                                   std::string& error) {
    // A still: each frame is the encoder's first, and the one packet it gives is the file.
    const auto save = [&path](AVPacket& packet, std::string& why) {
        try {
            files::PosixFile file;
            file.Open(path, O_WRONLY | O_CREAT | O_TRUNC);
            file.Write(0, std::span<const std::uint8_t>(packet.data, std::size_t(packet.size)));
            file.Close();
            return true;
        } catch (const files::CFileException& e) {
            why = e.what();
            std::error_code ignored;
            std::filesystem::remove(path, ignored);  // half a PNG is no frame
            return false;
        }
    };
    return m_pPng->Encode(frame, std::int64_t(m_nIndex), save, error);
}

}  // namespace kestrix::record
