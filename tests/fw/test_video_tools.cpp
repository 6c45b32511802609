// FFmpeg's libdc1394 input and GStreamer's dc1394src, two programs no one here wrote, record
// frames from the fake kernel that are the camera's own picture, counter and all.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/ByteOrder.h"
#include "tests/fw/ExpectedFrame.h"
#include "tests/support/SimulatedBus.h"
#include "tests/support/TempDir.h"

namespace {

constexpr std::size_t kFrameBytes = 640 * 480 * 2;  // Format 0 mode 3: 640 x 480 YUV 4:2:2
constexpr unsigned kMode = 3;
constexpr unsigned kRate15 = 3;
constexpr int kFrames = 3;

class VideoTools : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("LD_PRELOAD", KESTRIX_FAKEFW_PRELOAD, 1);
        // Under AddressSanitizer the tools carry its runtime; what they leak at exit is theirs.
        ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    }
    void TearDown() override { ::unsetenv("LD_PRELOAD"); }

    // Runs a tool under a bound, so that a hang fails instead of stalling the suite.
    static void Run(std::vector<std::string> argv) {
        argv.insert(argv.begin(), {"/usr/bin/timeout", "60"});
        const auto result = testsupport::SimulatedBus::RunProgram(argv);
        ASSERT_EQ(result.exitCode, 0) << argv[2] << ": " << result.errors;
    }

    // Every frame in the file is a whole frame of the camera's picture, in order.
    static void ExpectCameraFrames(const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        ASSERT_EQ(bytes.size(), kFrames * kFrameBytes);
        std::uint32_t previous = 0;
        for (int i = 0; i < kFrames; ++i) {
            const std::uint8_t* frame = &bytes[i * kFrameBytes];
            const std::uint32_t counter = platform::LoadBE32(frame);
            if (i > 0) {
                EXPECT_GT(counter, previous);
            }
            previous = counter;
            const auto expected = fwtest::ExpectedFrame(kMode, kRate15, counter, kFrameBytes);
            EXPECT_TRUE(std::equal(expected.begin(), expected.end(), frame))
                << "frame " << i << " (counter " << counter << ") is not the camera's picture";
        }
    }

    testsupport::TempDir m_dir{"kestrix-fw-tools"};
};

TEST_F(VideoTools, FfmpegRecordsTheCamerasPicture) {
    const auto out = m_dir.Path() / "ffmpeg.raw";
    Run({KESTRIX_FFMPEG, "-hide_banner", "-loglevel", "error", "-f", "libdc1394", "-video_size",
         "640x480", "-pixel_format", "uyvy422", "-framerate", "15", "-i", "camera", "-frames:v",
         std::to_string(kFrames), "-f", "rawvideo", out.string()});
    ExpectCameraFrames(out);
}

TEST_F(VideoTools, GstreamerRecordsTheCamerasPicture) {
    const auto out = m_dir.Path() / "gst.raw";
    Run({"/usr/bin/gst-launch-1.0", "-q", "dc1394src", "num-buffers=" + std::to_string(kFrames),
         "!", "video/x-raw,format=UYVY,width=640,height=480,framerate=15/1", "!", "filesink",
         "location=" + out.string()});
    ExpectCameraFrames(out);
}

}  // namespace
