// JPEG still writer through the 6b compression interface, its fatal errors turned into JpegErr.
#include "files/JpegWriter.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <limits>
#include <new>
#include <vector>

// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>

#include "files/BitmapGeometry.h"
#include "files/CFileException.h"
#include "files/JpegErr.h"
#include "files/StillFile.h"

namespace files {

namespace {

// The standard error manager with the text of the fatal error kept for the caller.
struct ErrorManager {
    jpeg_error_mgr standard;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void ThrowFatal(j_common_ptr cinfo) {
    auto* manager = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, manager->message);
    throw kJpegLibraryError;
}

void DropMessage(j_common_ptr) {}

// Owns the compressor, so that it is destroyed on every way out.
class Compressor {
public:
    Compressor() {
        m_info.err = jpeg_std_error(&m_errors.standard);
        m_errors.standard.error_exit = ThrowFatal;
        m_errors.standard.output_message = DropMessage;  // warnings and traces are dropped
        m_errors.message[0] = '\0';
    }
    ~Compressor() { jpeg_destroy_compress(&m_info); }
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    jpeg_compress_struct* operator->() { return &m_info; }
    jpeg_compress_struct* get() { return &m_info; }
    const char* Message() const { return m_errors.message; }

private:
    ErrorManager m_errors{};
    jpeg_compress_struct m_info{};
};

// A stdio stream on a duplicate of the staged file's descriptor, as the stdio destination wants.
class Stream {
public:
    explicit Stream(PosixFile& file) : m_file(file) {
        const int fd = ::dup(file.Descriptor());
        if (fd < 0) throw CFileException(file.Name(), errno);
        m_stream = ::fdopen(fd, "wb");
        if (!m_stream) {
            const int error = errno;
            ::close(fd);
            throw CFileException(file.Name(), error);
        }
    }
    ~Stream() {
        if (m_stream) std::fclose(m_stream);
    }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    FILE* get() { return m_stream; }
    // Flushes and closes; a write error that stdio held back surfaces here.
    void Close() {
        const bool failed = std::ferror(m_stream) != 0;
        const bool closeFailed = std::fclose(m_stream) != 0;
        const int error = errno;
        m_stream = nullptr;
        if (failed || closeFailed) throw CFileException(m_file.Name(), closeFailed ? error : EIO);
    }

private:
    PosixFile& m_file;
    FILE* m_stream = nullptr;
};

// Copies bitmap row (height - 1 - top) into an RGB row: the JPEG holds the top row first.
void FillRow(std::span<const std::uint8_t> bits, int width, int height, int top,
             std::vector<JSAMPLE>& row) {
    const std::uint8_t* source =
        bits.data() + std::size_t(BitmapStride(width)) * (height - 1 - top);
    for (int x = 0; x < width; ++x, source += 3) {
        row[3 * x] = source[2];
        row[3 * x + 1] = source[1];
        row[3 * x + 2] = source[0];
    }
}

void Compress(Compressor& jpeg, FILE* out, std::span<const std::uint8_t> bits, int width,
              int height, int quality, bool progressive, bool grayscale) {
    jpeg_create_compress(jpeg.get());
    jpeg_stdio_dest(jpeg.get(), out);
    jpeg->image_width = JDIMENSION(width);
    jpeg->image_height = JDIMENSION(height);
    jpeg->input_components = 3;
    jpeg->in_color_space = JCS_RGB;
    jpeg_set_defaults(jpeg.get());
    jpeg_set_quality(jpeg.get(), quality, TRUE);
    if (grayscale) jpeg_set_colorspace(jpeg.get(), JCS_GRAYSCALE);
    if (progressive) jpeg_simple_progression(jpeg.get());
    jpeg_start_compress(jpeg.get(), TRUE);
    std::vector<JSAMPLE> row;
    try {
        row.resize(3 * std::size_t(width));
    } catch (const std::bad_alloc&) {
        throw kJpegNoMemory;
    }
    JSAMPROW rows[1] = {row.data()};
    for (int top = 0; top < height; ++top) {
        FillRow(bits, width, height, top, row);
        jpeg_write_scanlines(jpeg.get(), rows, 1);
    }
    jpeg_finish_compress(jpeg.get());
}

}  // namespace

bool SaveJpegFile(const std::string& path, std::span<const std::uint8_t> bits, int width,
                  int height, int quality, bool progressive, bool grayscale, std::string* error) {
    std::string problem =
        StillInputProblem(path, bits, width, height, std::numeric_limits<std::uint64_t>::max());
    if (!problem.empty()) return StillFailure(error, std::move(problem));
    return WriteStill(path, error, [&](PosixFile& file) {
        Stream stream(file);
        Compressor jpeg;
        try {
            Compress(jpeg, stream.get(), bits, width, height, quality, progressive, grayscale);
        } catch (JpegErr code) {
            return path + ": " + (code == kJpegNoMemory ? "out of memory" : jpeg.Message());
        }
        stream.Close();
        return std::string();
    });
}

}  // namespace files
