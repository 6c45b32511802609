// The base of the file writers' camera suites: a camera object on a private kestrix-busd that
// streams at the real rate, a folder for the files, and the modes the suites use.
#pragma once

#include <algorithm>
#include <string>

#include "tests/camera/CameraTestSupport.h"
#include "tests/support/FrameStamps.h"
#include "tests/support/TempDir.h"

namespace camerafiles {

inline constexpr int kYuv422Vga = 3;
inline constexpr int kRgbVga = 4;
inline constexpr int kRate15 = 3;
inline constexpr int kFormat7Mode0 = 24;

class CameraFilesTest : public cameratest::CameraTest {
protected:
    // Recordings check that no frame is missing, and the bus drops a frame a late reader did not
    // take: they record at the real rate, which a loaded machine still keeps up with (at four
    // times it, 1360 x 1024 frames lost one in two beside other work), and sanitized builds,
    // whose copies of large frames are slow, at half of it; ThreadSanitizer's daemon renders
    // them slower still.
    CameraFilesTest()
        : CameraTest(1, cameratest::kSanitized ? std::min(0.5, testsupport::kLargeFrameRate) : 1) {}

    std::string Path(const std::string& name) const { return (m_dir.Path() / name).string(); }

    testsupport::TempDir m_dir{"kestrix-camera-files"};
};

}  // namespace camerafiles
