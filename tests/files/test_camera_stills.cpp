// SaveBitmap and SaveJpeg on a live capture from kestrix-busd: the files hold exactly (BMP) or
// nearly (JPEG) the display conversion of the slot asked for, upright; and nothing is written
// without a mode, a frame or a geometry the camera can tell.
#include <gtest/gtest.h>

#include <cstdlib>

#include "files/BitmapGeometry.h"
#include "files/CameraFiles.h"
#include "tests/files/CameraFilesTest.h"
#include "tests/files/FilesTestSupport.h"

namespace {

using namespace cameratest;
using namespace camerafiles;

class CameraStills : public CameraFilesTest {
protected:
    // Captures frames frames into a ring of 5 slots; the transmission is over on return.
    bool Capture(int modeIndex, int rateOrCoding, int frames) {
        const CDcamCaptureThread* thread = Start(modeIndex, rateOrCoding, 5);
        return thread != nullptr && m_cam.StartTransmission(0, frames) &&
               WaitForStored(*thread, std::uint64_t(frames));
    }
    // The display conversion of one slot, as the viewer paints it.
    std::vector<std::uint8_t> Converted(int slot, int coding, int width, int height) {
        std::vector<std::uint8_t> raw(m_cam.GetCaptureThread(0)->GetSlotSize());
        std::vector<std::uint8_t> bits(files::BitmapBytes(width, height));
        EXPECT_GE(m_cam.GetFrame(0, raw.data(), slot), 0);
        EXPECT_TRUE(m_cam.ConvertToBitmap(coding, bits.data(), raw.data(), width, height));
        return bits;
    }
};

TEST_F(CameraStills, BitmapsHoldTheConvertedSlot) {
    for (const auto& [mode, coding] : {std::pair{kRgbVga, kRgb8}, {kYuv422Vga, kYuv422}}) {
        SCOPED_TRACE(mode);
        ASSERT_TRUE(Capture(mode, kRate15, 7));
        const std::string newest = Path("newest.bmp");
        const std::string oldest = Path("oldest.bmp");
        ASSERT_TRUE(files::SaveBitmap(m_cam, 0, newest.c_str(), -1));
        // Slot 7 is slot 2 of five: after seven frames, the oldest one held.
        ASSERT_TRUE(files::SaveBitmap(m_cam, 0, oldest.c_str(), 7));
        EXPECT_EQ(std::filesystem::file_size(newest), 921654u);
        EXPECT_EQ(filestest::ReadAt(newest, 54, 921600), Converted(-1, coding, 640, 480));
        EXPECT_EQ(filestest::ReadAt(oldest, 54, 921600), Converted(2, coding, 640, 480));
        EXPECT_NE(filestest::ReadAt(newest, 54, 921600), filestest::ReadAt(oldest, 54, 921600));
        ASSERT_TRUE(m_cam.StopCapture(0));
    }
}

TEST_F(CameraStills, JpegsDecodeToTheConvertedSlotUpright) {
    ASSERT_TRUE(Capture(kYuv422Vga, kRate15, 2));
    const std::string path = Path("still.jpg");
    ASSERT_TRUE(files::SaveJpeg(m_cam, 0, path.c_str(), 100, false, false, -1));
    const auto bits = Converted(-1, kYuv422, 640, 480);
    const std::size_t row = 640 * 3;
    std::uint64_t difference = 0;
    const std::size_t decoded = filestest::ForEachFrame(
        path, row * 480,
        [&](auto picture) {
            // Decoded rows come top first: the bitmap's last row first.
            for (std::size_t y = 0; y < 480; ++y) {
                for (std::size_t x = 0; x < row; ++x) {
                    difference += std::uint64_t(
                        std::abs(int(picture[row * y + x]) - int(bits[row * (479 - y) + x])));
                }
            }
        },
        "-f rawvideo -pix_fmt bgr24");
    ASSERT_EQ(decoded, 1u);
    EXPECT_LT(double(difference) / double(row * 480), 2.0) << "mean difference per byte";
}

// The quality goes to libjpeg, which clamps it: out of range saves at the nearest end.
TEST_F(CameraStills, JpegQualityOutOfRangeSavesAtTheNearestEnd) {
    ASSERT_TRUE(Capture(kYuv422Vga, kRate15, 2));
    const auto save = [&](int quality) {
        std::string name = "q";  // appended: GCC 12 at -O3 warns falsely about "q" + number
        name += std::to_string(quality) + ".jpg";
        const std::string path = Path(name);
        EXPECT_TRUE(files::SaveJpeg(m_cam, 0, path.c_str(), quality, false, false, -1)) << quality;
        return filestest::ReadAll(path);
    };
    const auto lowest = save(1);
    const auto highest = save(100);
    ASSERT_NE(lowest, highest);
    EXPECT_TRUE(save(0) == lowest);
    EXPECT_TRUE(save(-20) == lowest);
    EXPECT_TRUE(save(150) == highest);
}

TEST_F(CameraStills, NothingIsWrittenWithoutAFrame) {
    const std::string path = Path("none.bmp");
    EXPECT_FALSE(files::SaveBitmap(m_cam, 0, path.c_str(), -1)) << "no mode";
    ASSERT_TRUE(m_cam.SetVideoMode(0, kRgbVga, kRate15, false));
    EXPECT_FALSE(files::SaveBitmap(m_cam, 0, path.c_str(), -1)) << "no capture";
    ASSERT_TRUE(m_cam.StartCapture(0, kSpeed400, kSyncSy, 5));
    EXPECT_FALSE(files::SaveBitmap(m_cam, 0, path.c_str(), -1)) << "no frame yet";
    EXPECT_FALSE(files::SaveJpeg(m_cam, 0, path.c_str(), 100, false, false, -1));
    EXPECT_FALSE(files::SaveBitmap(m_cam, 0, nullptr, -1));
    EXPECT_EQ(filestest::EntriesIn(m_dir.Path()), 0u);
}

TEST_F(CameraStills, AFormat7GeometryThatReadsBackZeroTouchesNoFile) {
    ASSERT_TRUE(Capture(kFormat7Mode0, kRgb8, 1));
    const std::string path = Path("f7.bmp");
    // The camera's first answer fails, so its geometry reads back 0.
    ASSERT_TRUE(Busctl(m_bus, {"fault", "async-fail", "1"}));
    EXPECT_FALSE(files::SaveBitmap(m_cam, 0, path.c_str(), -1));
    ASSERT_TRUE(Busctl(m_bus, {"fault", "async-fail", "1"}));
    EXPECT_FALSE(files::OpenAviFile(m_cam, 0, Path("f7.avi").c_str(), false));
    EXPECT_EQ(filestest::EntriesIn(m_dir.Path()), 0u);
    // Once it answers, the same frame saves.
    ASSERT_TRUE(files::SaveBitmap(m_cam, 0, path.c_str(), -1));
    EXPECT_EQ(filestest::ReadAt(path, 54, 1360 * 1024 * 3), Converted(-1, kRgb8, 1360, 1024));
}

}  // namespace
