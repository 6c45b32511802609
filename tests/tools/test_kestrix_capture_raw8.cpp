// kestrix-capture on a camera with a colour sensor (kestrix-busd --bayer grbg): it lists the
// RAW8 mode with its filter, records the mosaic as it comes (8-bit grey to players) and saves
// stills demosaiced to the colours the camera's RGB mode shows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/files/FilesTestSupport.h"
#include "tests/support/FrameStamps.h"
#include "tests/support/SimulatedBus.h"
#include "tests/support/TempDir.h"

namespace {

using testsupport::SimulatedBus;

constexpr int kWidth = 1360;
constexpr int kHeight = 1024;

SimulatedBus::Result Capture(std::vector<std::string> args) {
    args.insert(args.begin(), KESTRIX_CAPTURE_PATH);
    return SimulatedBus::RunProgram(args);
}

// A still decoded by ffmpeg into red-green-blue rows, top row first.
filestest::Bytes Decoded(const std::string& path) {
    filestest::Bytes picture;
    filestest::ForEachFrame(
        path, std::size_t(kWidth) * kHeight * 3,
        [&](auto frame) { picture.assign(frame.begin(), frame.end()); },
        "-f rawvideo -pix_fmt rgb24");
    return picture;
}

// Columns in which two pictures agree within tolerance on every row below the counter stamp.
int AgreeingColumns(const filestest::Bytes& a, const filestest::Bytes& b, int tolerance) {
    int agreeing = 0;
    for (int x = 0; x < kWidth; ++x) {
        bool agrees = true;
        for (int y = 2; y < kHeight && agrees; ++y) {
            for (int c = 0; c < 3; ++c) {
                const std::size_t at =
                    (std::size_t(y) * kWidth + std::size_t(x)) * 3 + std::size_t(c);
                agrees = agrees && std::abs(int(a[at]) - int(b[at])) <= tolerance;
            }
        }
        agreeing += agrees ? 1 : 0;
    }
    return agreeing;
}

class ColourCamera : public ::testing::Test {
protected:
    void SetUp() override {
        if (SimulatedBus::OverFakeKernel()) GTEST_SKIP() << "the fake's cameras are mono";
        ASSERT_TRUE(m_bus.IsRunning());
    }
    std::string File(const char* name) const { return (m_dir.Path() / name).string(); }

    SimulatedBus m_bus{
        SimulatedBus::Options{2, testsupport::kLargeFrameRate, {"--bayer", "grbg"}, true}};
    testsupport::TempDir m_dir{"capture-raw8"};
};

TEST_F(ColourCamera, ListsTheRaw8ModeWithItsFilter) {
    const auto list = Capture({"--list"});
    ASSERT_EQ(list.exitCode, 0) << list.errors;
    EXPECT_NE(list.output.find("\n  1360x1024-raw8 (mode 24, Format 7): the rate set by its "
                               "packet size; Bayer filter grbg\n"),
              std::string::npos)
        << list.output;
}

TEST_F(ColourCamera, RecordsTheMosaicAsGreyPlayersDecode) {
    for (const char* fourcc : {"camera", "standard"}) {
        SCOPED_TRACE(fourcc);
        const std::string avi = File("raw.avi");
        const auto run = Capture(
            {"--mode", "1360x1024-raw8", "--frames", "3", "--avi", avi, "--fourcc", fourcc});
        ASSERT_EQ(run.exitCode, 0) << run.errors;
        auto stream = filestest::ProbeStream(avi);
        EXPECT_EQ(stream["codec_tag_string"] + " " + stream["pix_fmt"], "Y800 gray");
        EXPECT_EQ(stream["width"] + "x" + stream["height"], "1360x1024");
        EXPECT_EQ(stream["nb_read_frames"], "3");
    }
}

// The simulated mosaic is cut from the picture the RGB mode sends, so once demosaiced the two
// agree everywhere but where the moving bar stands in either.
TEST_F(ColourCamera, StillsAreDemosaicedToTheCamerasColours) {
    const auto raw =
        Capture({"--camera", "0", "--mode", "1360x1024-raw8", "--bmp", File("raw.bmp")});
    ASSERT_EQ(raw.exitCode, 0) << raw.errors;
    const auto rgb =
        Capture({"--camera", "1", "--mode", "1360x1024-rgb", "--bmp", File("rgb.bmp")});
    ASSERT_EQ(rgb.exitCode, 0) << rgb.errors;
    const filestest::Bytes demosaiced = Decoded(File("raw.bmp"));
    const filestest::Bytes colour = Decoded(File("rgb.bmp"));
    ASSERT_EQ(demosaiced.size(), colour.size());
    ASSERT_FALSE(colour.empty());
    const int barColumns = 2 * (kWidth / 16);
    EXPECT_GE(AgreeingColumns(demosaiced, colour, 2), kWidth - barColumns);
}

}  // namespace
