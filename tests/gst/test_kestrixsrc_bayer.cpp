// kestrixsrc on a camera with a colour sensor: the RAW8 mode is a video/x-bayer mosaic of the
// pattern the camera's colour-filter register names, the same bytes kestrix-capture records; a
// camera that names no pattern sends it as 8-bit grey.
#include <gtest/gtest.h>

#include <map>

#include "tests/files/FilesTestSupport.h"
#include "tests/gst/GstTestSupport.h"
#include "tests/support/SimulatedBus.h"
#include "tests/support/TempDir.h"

namespace {

using testsupport::SimulatedBus;
using namespace gsttest;

constexpr std::size_t kFrameBytes = 1360 * 1024;

SimulatedBus::Options ColourCameras(unsigned cameras, const char* bayer) {
    SimulatedBus::Options options;
    options.cameras = cameras;
    options.rateScale = 4;
    options.extraArguments = {"--bayer", bayer};
    return options;
}

bool CapsAre(GstSample* sample, const char* expected) {
    GstCaps* want = gst_caps_from_string(expected);
    const bool subset = gst_caps_is_subset(gst_sample_get_caps(sample), want);
    gst_caps_unref(want);
    return subset;
}

class KestrixSrcBayer : public ::testing::Test {
protected:
    void SetUp() override { InitGStreamer(); }
    testsupport::TempDir m_dir{"kestrixsrc-bayer"};
};

TEST_F(KestrixSrcBayer, Raw8IsTheMosaicKestrixCaptureRecordsWithThePatternOfTheRegister) {
    // Two fresh cameras, whose counters both start at 0: one records, one streams.
    SimulatedBus bus(ColourCameras(2, "gbrg"));
    const std::string avi = (m_dir.Path() / "raw8.avi").string();
    const auto run = SimulatedBus::RunProgram({KESTRIX_CAPTURE_PATH, "--camera", "0", "--mode",
                                               "1360x1024-raw8", "--frames", "3", "--avi", avi});
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    std::map<std::uint32_t, filestest::Bytes> recorded;
    filestest::ForEachFrame(avi, kFrameBytes, [&](auto frame) {
        recorded[platform::LoadBE32(frame.data())].assign(frame.begin(), frame.end());
    });
    ASSERT_EQ(recorded.size(), 3u);

    // Asking for a Bayer mosaic is enough to pick the mode.
    Pipeline pipeline(
        "kestrixsrc camera=1 num-buffers=3 ! video/x-bayer ! appsink name=sink "
        "sync=false");
    ASSERT_TRUE(pipeline.Play());
    int matched = 0;
    for (int i = 0; i < 3; ++i) {
        GstSample* sample = pipeline.Pull();
        ASSERT_NE(sample, nullptr) << pipeline.ErrorText(0s);
        EXPECT_TRUE(CapsAre(sample, "video/x-bayer,format=gbrg,width=1360,height=1024"))
            << gst_caps_to_string(gst_sample_get_caps(sample));
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        EXPECT_EQ(gst_buffer_get_size(buffer), kFrameBytes);
        if (const auto it = recorded.find(Stamp(buffer)); it != recorded.end()) {
            EXPECT_TRUE(Bytes(buffer) == it->second) << "frame " << it->first << " differs";
            ++matched;
        }
        gst_sample_unref(sample);
    }
    EXPECT_GE(matched, 2);
}

TEST_F(KestrixSrcBayer, AMosaicOfUnknownPatternComesAsGrey) {
    SimulatedBus bus(ColourCameras(1, "unlisted"));
    Pipeline pipeline("kestrixsrc mode=1360x1024-raw8 num-buffers=1 ! appsink name=sink");
    ASSERT_TRUE(pipeline.Play());
    GstSample* sample = pipeline.Pull();
    ASSERT_NE(sample, nullptr) << pipeline.ErrorText(0s);
    EXPECT_TRUE(CapsAre(sample, "video/x-raw,format=GRAY8,width=1360,height=1024"))
        << gst_caps_to_string(gst_sample_get_caps(sample));
    gst_sample_unref(sample);
}

}  // namespace
