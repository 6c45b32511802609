// The AVI recorder on a live capture from kestrix-busd: raw recordings hold every frame in
// order, converted ones exactly the display conversion, every way a capture can end finishes
// the file, and each operation refuses the states it does not belong to.
#include <gtest/gtest.h>

#include "files/BitmapGeometry.h"
#include "files/CameraFiles.h"
#include "tests/files/CameraFilesTest.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/support/FrameStamps.h"

namespace {

using namespace cameratest;
using namespace camerafiles;

constexpr std::uint64_t kAvihMicroseconds = 32;  // RIFF and LIST headers, then "avih" and size

class CameraRecording : public CameraFilesTest {
protected:
    // Records frames frames of a streaming camera into the file, then closes it.
    void Record(bool convert, std::uint32_t frames) {
        ASSERT_TRUE(files::OpenAviFile(m_cam, 0, m_path.c_str(), convert));
        ASSERT_TRUE(files::StartAviRecording(m_cam, 0, frames));
        ASSERT_TRUE(m_cam.StartTransmission(0, 0));
        ASSERT_TRUE(PumpUntil([&] { return files::GetAviFrameCount(m_cam, 0) >= int(frames); }));
        m_cam.StopTransmission(0);
        EXPECT_TRUE(files::CloseAviFile(m_cam, 0)) << files::GetAviErrorText(m_cam, 0);
    }
    // The camera's counters in the file must follow each other, one per frame it holds.
    void ExpectEveryFrameOnce(std::size_t frameBytes) {
        std::vector<std::uint32_t> stamps;
        filestest::ForEachFrame(m_path, frameBytes, [&](auto frame) {
            stamps.push_back(platform::LoadBE32(frame.data()));
        });
        EXPECT_EQ(stamps.size(), std::size_t(files::GetAviFrameCount(m_cam, 0)));
        testsupport::ExpectStampsInOrder(stamps);
        EXPECT_EQ(filestest::ProbeStream(m_path)["nb_read_packets"], std::to_string(stamps.size()));
    }

    std::string m_path = Path("movie.avi");
};

TEST_F(CameraRecording, RawRecordingsHoldEveryFrameInOrder) {
    struct Case {
        int mode, rateOrCoding;
        const char* tag;
        int width, height;
    };
    for (const Case c : {Case{kYuv422Vga, kRate15, "dcy2", 640, 480},
                         {kRgbVga, kRate15, "dcr1", 640, 480},
                         {kFormat7Mode0, kYuv422, "dcy2", 1360, 1024}}) {
        SCOPED_TRACE(c.mode);
        ASSERT_NE(Start(c.mode, c.rateOrCoding, 6), nullptr);
        Record(false, 12);
        EXPECT_EQ(files::GetAviFrameCount(m_cam, 0), 12);
        if (testsupport::kEveryFrameArrives) {
            EXPECT_EQ(files::GetAviDropped(m_cam, 0), 0);
        }
        auto stream = filestest::ProbeStream(m_path);
        EXPECT_EQ(stream["codec_tag_string"], c.tag);
        EXPECT_EQ(stream["width"] + "x" + stream["height"],
                  std::to_string(c.width) + "x" + std::to_string(c.height));
        // A Format 7 frame lasts one 125-microsecond bus cycle per packet.
        const std::uint32_t period = c.mode < kFormat7Mode0 ? 66666 : 125 * ReadFormat7(0x48);
        EXPECT_EQ(filestest::Le32At(m_path, kAvihMicroseconds), period);
        ExpectEveryFrameOnce(m_cam.GetCaptureThread(0)->GetSlotSize());
        ASSERT_TRUE(m_cam.StopCapture(0));
    }
}

TEST_F(CameraRecording, ConvertedRecordingsDecodeToTheDisplayConversion) {
    // Five frames into a fresh ring of eight: slots 0 to 4 hold what the file holds.
    CDcamCaptureThread* thread = Start(kYuv422Vga, kRate15, 8);
    ASSERT_NE(thread, nullptr);
    ASSERT_TRUE(files::OpenAviFile(m_cam, 0, m_path.c_str(), true));
    ASSERT_TRUE(files::StartAviRecording(m_cam, 0));
    ASSERT_TRUE(m_cam.StartTransmission(0, 5));
    ASSERT_TRUE(PumpUntil([&] { return files::GetAviFrameCount(m_cam, 0) == 5; }));
    ASSERT_TRUE(files::CloseAviFile(m_cam, 0));
    EXPECT_EQ(filestest::ProbeStream(m_path)["codec_name"], "rawvideo");

    const std::size_t row = 640 * 3;
    std::vector<std::uint8_t> raw(thread->GetSlotSize());
    std::vector<std::uint8_t> bits(files::BitmapBytes(640, 480));
    int slot = 0;
    const std::size_t decoded = filestest::ForEachFrame(
        m_path, row * 480,
        [&](auto picture) {
            const int held = slot++;
            ASSERT_EQ(m_cam.GetFrame(0, raw.data(), held), held);
            m_cam.ConvertToBitmap(kYuv422, bits.data(), raw.data(), 640, 480);
            for (std::size_t y = 0; y < 480; ++y) {
                const auto source = bits.begin() + std::ptrdiff_t(row * (479 - y));
                EXPECT_TRUE(std::equal(source, source + std::ptrdiff_t(row),
                                       picture.begin() + std::ptrdiff_t(row * y)))
                    << "frame " << held << " row " << y;
            }
        },
        "-f rawvideo -pix_fmt bgr24");
    EXPECT_EQ(decoded, 5u);
}

TEST_F(CameraRecording, EachOperationNeedsItsState) {
    EXPECT_FALSE(files::OpenAviFile(m_cam, 0, m_path.c_str(), false)) << "no capture";
    EXPECT_FALSE(std::filesystem::exists(m_path));
    ASSERT_NE(Start(kRgbVga, kRate15, 5), nullptr);
    EXPECT_FALSE(files::StartAviRecording(m_cam, 0)) << "no file";
    EXPECT_FALSE(files::CloseAviFile(m_cam, 0));
    EXPECT_FALSE(files::OpenAviFile(m_cam, 0, (m_dir.Path() / "no" / "x.avi").c_str(), false));
    EXPECT_NE(files::GetAviErrorText(m_cam, 0).find("No such file"), std::string::npos);

    ASSERT_TRUE(files::OpenAviFile(m_cam, 0, m_path.c_str(), false));
    EXPECT_FALSE(files::OpenAviFile(m_cam, 0, m_path.c_str(), false)) << "one file at a time";
    // Closed without a frame recorded: an empty file.
    EXPECT_TRUE(files::CloseAviFile(m_cam, 0));
    EXPECT_EQ(std::filesystem::file_size(m_path), 0u);
    EXPECT_FALSE(files::StartAviRecording(m_cam, 0)) << "closed";
    EXPECT_EQ(files::GetAviFrameCount(m_cam, 0), 0);
    EXPECT_TRUE(files::GetAviErrorText(m_cam, 0).empty());
}

// Every way a capture ends with a file open finishes the file with what arrived.
enum class Ending { StopCapture, StopAllCaptures, Close, CameraArrives, Unplug };

class CaptureEnding : public CameraRecording, public ::testing::WithParamInterface<Ending> {};

TEST_P(CaptureEnding, FinishesTheOpenFile) {
    ASSERT_NE(Start(kYuv422Vga, kRate15, 5), nullptr);
    const std::size_t frameBytes = m_cam.GetCaptureThread(0)->GetSlotSize();
    ASSERT_TRUE(files::OpenAviFile(m_cam, 0, m_path.c_str(), false));
    ASSERT_TRUE(files::StartAviRecording(m_cam, 0));
    ASSERT_TRUE(m_cam.StartTransmission(0, 0));
    ASSERT_TRUE(PumpUntil([&] { return files::GetAviFrameCount(m_cam, 0) >= 3; }));
    switch (GetParam()) {
        case Ending::StopCapture:
            EXPECT_TRUE(m_cam.StopCapture(0));
            break;
        case Ending::StopAllCaptures:
            m_cam.StopAllCaptures();
            break;
        case Ending::Close:
            EXPECT_TRUE(m_cam.Close());
            break;
        case Ending::CameraArrives:
            ASSERT_TRUE(Busctl(m_bus, {"add-camera"}));
            break;
        case Ending::Unplug:
            ASSERT_TRUE(Busctl(m_bus, {"remove", "0"}));
            break;
    }
    ASSERT_TRUE(PumpUntil([&] { return m_cam.GetCaptureThread(0) == nullptr; }));
    EXPECT_TRUE(files::GetAviErrorText(m_cam, 0).empty()) << files::GetAviErrorText(m_cam, 0);
    EXPECT_GE(files::GetAviFrameCount(m_cam, 0), 3);
    ExpectEveryFrameOnce(frameBytes);
}

INSTANTIATE_TEST_SUITE_P(Recorder, CaptureEnding,
                         ::testing::Values(Ending::StopCapture, Ending::StopAllCaptures,
                                           Ending::Close, Ending::CameraArrives, Ending::Unplug));

}  // namespace
