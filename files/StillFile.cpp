// Still-writer input checks and staged output.
#include "files/StillFile.h"

#include <new>

#include "files/BitmapGeometry.h"
#include "files/CFileException.h"
#include "files/StagedFile.h"
#include "platform/Log.h"

namespace files {

std::string StillInputProblem(const std::string& path, std::span<const std::uint8_t> bits,
                              int width, int height, std::uint64_t maxImageBytes) {
    const std::uint64_t imageBytes = BitmapBytes(width, height);
    if (imageBytes == 0 || imageBytes > maxImageBytes) {
        return "cannot save an image of " + std::to_string(width) + " x " + std::to_string(height) +
               " pixels";
    }
    if (bits.size() < imageBytes) return "the bitmap is smaller than its size says";
    if (path.empty()) return "no file name given";
    return {};
}

bool StillFailure(std::string* error, std::string text) {
    KX_LOG(Files, Warn) << "still image not saved: " << text;
    if (error) *error = std::move(text);
    return false;
}

bool WriteStill(const std::string& path, std::string* error,
                const std::function<std::string(PosixFile&)>& write) {
    try {
        StagedFile file(path);
        file.Create();
        std::string problem = write(file.File());
        if (!problem.empty()) return StillFailure(error, std::move(problem));
        file.Commit();
        return true;
    } catch (const CFileException& e) {
        return StillFailure(error, e.what());
    } catch (const std::bad_alloc&) {
        return StillFailure(error, "out of memory");
    }
}

}  // namespace files
