// libdc1394, an IIDC library no one here wrote, on the fake kernel through its Linux backend:
// enumeration, features, every Format 0 mode the camera lists, capture and a bus reset. Its own
// warnings and errors fail the test. Runs with libkestrix_fakefw.so preloaded (ctest sets it),
// once on each camera model (KESTRIX_FAKEFW_MODEL).
#include <dc1394/dc1394.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/ByteOrder.h"
#include "tests/fw/ExpectedFrame.h"
#include "tests/support/FakeFwControl.h"

namespace {

bool Generic() {
    const char* model = std::getenv("KESTRIX_FAKEFW_MODEL");
    return model != nullptr && std::string(model) == "generic";
}
simbus::CameraModel::Kind Kind() {
    return Generic() ? simbus::CameraModel::Kind::Generic : simbus::CameraModel::Kind::Kx1360;
}

void FailOnLog(dc1394log_t type, const char* message, void*) {
    ADD_FAILURE() << "libdc1394 " << (type == DC1394_LOG_ERROR ? "error" : "warning") << ": "
                  << message;
}

class Dc1394 : public ::testing::Test {
protected:
    void SetUp() override {
        dc1394_log_register_handler(DC1394_LOG_WARNING, FailOnLog, nullptr);
        dc1394_log_register_handler(DC1394_LOG_ERROR, FailOnLog, nullptr);
        m_d.reset(dc1394_new());
        ASSERT_TRUE(m_d);
        dc1394camera_list_t* list = nullptr;
        ASSERT_EQ(dc1394_camera_enumerate(m_d.get(), &list), DC1394_SUCCESS);
        ASSERT_EQ(list->num, 1u);
        m_camera.reset(dc1394_camera_new(m_d.get(), list->ids[0].guid));
        dc1394_camera_free_list(list);
        ASSERT_TRUE(m_camera);
        ASSERT_EQ(dc1394_camera_reset(m_camera.get()), DC1394_SUCCESS);  // factory settings
    }

    // Waits (bounded) for a frame and checks it against the camera's picture; its counter.
    std::uint32_t CaptureFrame(unsigned mode, unsigned rate) {
        pollfd ready{dc1394_capture_get_fileno(m_camera.get()), POLLIN, 0};
        EXPECT_EQ(::poll(&ready, 1, 10'000), 1) << "no frame within 10 s";
        dc1394video_frame_t* frame = nullptr;
        EXPECT_EQ(dc1394_capture_dequeue(m_camera.get(), DC1394_CAPTURE_POLICY_POLL, &frame),
                  DC1394_SUCCESS);
        if (frame == nullptr) return 0;
        const std::uint32_t counter = platform::LoadBE32(frame->image);
        const auto expected =
            fwtest::ExpectedFrame(mode, rate, counter, frame->image_bytes, Kind());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), frame->image))
            << "mode " << mode << " frame " << counter << " differs from the camera's picture";
        dc1394_capture_enqueue(m_camera.get(), frame);
        return counter;
    }

    struct FreeContext {
        void operator()(dc1394_t* d) const { dc1394_free(d); }
    };
    struct FreeCamera {
        void operator()(dc1394camera_t* c) const { dc1394_camera_free(c); }
    };
    std::unique_ptr<dc1394_t, FreeContext> m_d;
    std::unique_ptr<dc1394camera_t, FreeCamera> m_camera;
};

TEST_F(Dc1394, EnumeratesTheCameraByItsRom) {
    EXPECT_STREQ(m_camera->vendor, Generic() ? "Generic IIDC" : "Tarnwell");
    EXPECT_STREQ(m_camera->model, Generic() ? "GC-640 (simulated)" : "KX-1360 (simulated)");
    EXPECT_EQ(m_camera->iidc_version, DC1394_IIDC_VERSION_1_30);  // unit version 0x102
}

TEST_F(Dc1394, ReadsAndWritesFeatures) {
    dc1394featureset_t features;
    ASSERT_EQ(dc1394_feature_get_all(m_camera.get(), &features), DC1394_SUCCESS);
    EXPECT_TRUE(features.feature[DC1394_FEATURE_BRIGHTNESS - DC1394_FEATURE_MIN].available);
    EXPECT_EQ(features.feature[DC1394_FEATURE_SHUTTER - DC1394_FEATURE_MIN].min, 1988u);

    ASSERT_EQ(dc1394_feature_set_mode(m_camera.get(), DC1394_FEATURE_GAIN,
                                      DC1394_FEATURE_MODE_MANUAL), DC1394_SUCCESS);
    ASSERT_EQ(dc1394_feature_set_value(m_camera.get(), DC1394_FEATURE_GAIN, 77), DC1394_SUCCESS);
    std::uint32_t value = 0;
    ASSERT_EQ(dc1394_feature_get_value(m_camera.get(), DC1394_FEATURE_GAIN, &value),
              DC1394_SUCCESS);
    EXPECT_EQ(value, 77u);
    std::uint32_t blue = 0, red = 0;
    ASSERT_EQ(dc1394_feature_whitebalance_set_value(m_camera.get(), 90, 150), DC1394_SUCCESS);
    ASSERT_EQ(dc1394_feature_whitebalance_get_value(m_camera.get(), &blue, &red), DC1394_SUCCESS);
    EXPECT_EQ(blue, 90u);
    EXPECT_EQ(red, 150u);
}

TEST_F(Dc1394, CapturesEveryFormat0ModeAtItsFastestRate) {
    dc1394video_modes_t modes;
    ASSERT_EQ(dc1394_video_get_supported_modes(m_camera.get(), &modes), DC1394_SUCCESS);
    unsigned tried = 0;
    ASSERT_EQ(dc1394_video_set_iso_speed(m_camera.get(), DC1394_ISO_SPEED_400), DC1394_SUCCESS);
    for (std::uint32_t i = 0; i < modes.num; ++i) {
        const dc1394video_mode_t mode = modes.modes[i];
        if (mode > DC1394_VIDEO_MODE_640x480_MONO16) continue;  // Format 0 only
        dc1394framerates_t rates;
        ASSERT_EQ(dc1394_video_get_supported_framerates(m_camera.get(), mode, &rates),
                  DC1394_SUCCESS);
        ASSERT_GT(rates.num, 0u);
        const dc1394framerate_t rate = rates.framerates[rates.num - 1];
        ASSERT_EQ(dc1394_video_set_mode(m_camera.get(), mode), DC1394_SUCCESS);
        ASSERT_EQ(dc1394_video_set_framerate(m_camera.get(), rate), DC1394_SUCCESS);
        ASSERT_EQ(dc1394_capture_setup(m_camera.get(), 4, DC1394_CAPTURE_FLAGS_DEFAULT),
                  DC1394_SUCCESS) << "mode " << mode;
        ASSERT_EQ(dc1394_video_set_transmission(m_camera.get(), DC1394_ON), DC1394_SUCCESS);
        const unsigned format0Mode = mode - DC1394_VIDEO_MODE_160x120_YUV444;
        const unsigned rateIndex = rate - DC1394_FRAMERATE_1_875;
        const std::uint32_t first = CaptureFrame(format0Mode, rateIndex);
        EXPECT_GT(CaptureFrame(format0Mode, rateIndex), first);
        EXPECT_EQ(dc1394_video_set_transmission(m_camera.get(), DC1394_OFF), DC1394_SUCCESS);
        EXPECT_EQ(dc1394_capture_stop(m_camera.get()), DC1394_SUCCESS);
        ++tried;
    }
    EXPECT_EQ(tried, Generic() ? 4u : 7u) << "the Format 0 modes the camera lists";
}

TEST_F(Dc1394, CaptureSurvivesABusReset) {
    const char* socket = std::getenv("KESTRIX_FAKEFW_CTL");
    ASSERT_NE(socket, nullptr);
    ASSERT_EQ(dc1394_video_set_mode(m_camera.get(), DC1394_VIDEO_MODE_640x480_YUV422),
              DC1394_SUCCESS);
    ASSERT_EQ(dc1394_video_set_framerate(m_camera.get(), DC1394_FRAMERATE_30), DC1394_SUCCESS);
    ASSERT_EQ(dc1394_capture_setup(m_camera.get(), 4, DC1394_CAPTURE_FLAGS_DEFAULT),
              DC1394_SUCCESS);
    ASSERT_EQ(dc1394_video_set_transmission(m_camera.get(), DC1394_ON), DC1394_SUCCESS);
    const std::uint32_t before = CaptureFrame(3, 4);
    std::uint32_t node = 0, generation = 0, newGeneration = 0;
    ASSERT_EQ(dc1394_camera_get_node(m_camera.get(), &node, &generation), DC1394_SUCCESS);

    ASSERT_EQ(fakefw::SendCommand(socket, "reset"), "ok");
    // The next register access meets the new generation, reads the reset and retries.
    dc1394switch_t on = DC1394_OFF;
    ASSERT_EQ(dc1394_video_get_transmission(m_camera.get(), &on), DC1394_SUCCESS);
    EXPECT_EQ(on, DC1394_ON);
    ASSERT_EQ(dc1394_camera_get_node(m_camera.get(), &node, &newGeneration), DC1394_SUCCESS);
    EXPECT_EQ(newGeneration, generation + 1);
    EXPECT_GT(CaptureFrame(3, 4), before);

    EXPECT_EQ(dc1394_video_set_transmission(m_camera.get(), DC1394_OFF), DC1394_SUCCESS);
    EXPECT_EQ(dc1394_capture_stop(m_camera.get()), DC1394_SUCCESS);
}

}  // namespace
