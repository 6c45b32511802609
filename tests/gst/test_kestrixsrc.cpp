// kestrixsrc against a simulated camera: every mode byte for byte as kestrix-capture records
// it, negotiation, loss reported as DISCONT + message + stats with buffers that outlive the
// ring, the stream's end at an unplug or bus reset, gst-inspect, and the device provider.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <map>
#include <regex>
#include <thread>

#include "camera/C1394Dcam.h"
#include "tests/files/FilesTestSupport.h"
#include "tests/gst/GstTestSupport.h"
#include "tests/support/SimulatedBus.h"
#include "tests/support/TempDir.h"

namespace {

using testsupport::SimulatedBus;
using namespace gsttest;

struct ListedMode {
    std::string name;
    std::size_t frameBytes = 0;
    std::string fastestRate;  // empty for Format 7
};

std::vector<ListedMode> ListModes() {
    SimulatedBus bus(1);
    const auto list = SimulatedBus::RunProgram({KESTRIX_CAPTURE_PATH, "--list"});
    EXPECT_EQ(list.exitCode, 0) << list.errors;
    static const std::map<std::string, int> bits{{"mono8", 8},   {"yuv411", 12}, {"yuv422", 16},
                                                 {"yuv444", 24}, {"rgb", 24},    {"mono16", 16}};
    static const std::regex row(R"(\n  (\d+)x(\d+)-(\w+) \(mode \d+[^)]*\):(( [0-9.]+)*))");
    std::vector<ListedMode> modes;
    for (std::sregex_iterator it(list.output.begin(), list.output.end(), row), end; it != end;
         ++it) {
        const std::smatch& m = *it;
        const std::string rates = m[4].str();
        modes.push_back({m[1].str() + "x" + m[2].str() + "-" + m[3].str(),
                         std::stoul(m[1]) * std::stoul(m[2]) * std::size_t(bits.at(m[3])) / 8,
                         rates.empty() ? "" : rates.substr(rates.rfind(' ') + 1)});
    }
    return modes;
}

GstStructure* Stats(GstElement* src) {
    GstStructure* stats = nullptr;
    g_object_get(src, "stats", &stats, nullptr);
    return stats;
}

std::uint64_t Field(const GstStructure* s, const char* name) {
    guint64 value = 0;
    EXPECT_TRUE(gst_structure_get_uint64(s, name, &value)) << name;
    return value;
}

// Frames of a Format 7 region as the camera library itself captures them, by the camera's
// counter, from a fresh camera.
std::map<std::uint32_t, std::vector<std::uint8_t>> LibraryFrames(int coding,
                                                                 const C1394Dcam::Rect& area) {
    constexpr int kFrames = 3;
    std::map<std::uint32_t, std::vector<std::uint8_t>> frames;
    SimulatedBus bus(1);
    C1394Dcam cam;
    if (!cam.Open() || !cam.SetFormat7Mode(0, 24, coding, &area) ||
        !cam.StartCapture(0, 2, 0x02, kFrames + 1) || !cam.StartTransmission(0, kFrames)) {
        ADD_FAILURE() << "the library's capture did not start";
        return frames;
    }
    const CDcamCaptureThread& thread = *cam.GetCaptureThread(0);
    for (int i = 0; i < 3000 && thread.GetStats().stored < kFrames; ++i)
        std::this_thread::sleep_for(10ms);
    for (int slot = 0; slot < kFrames; ++slot) {
        std::vector<std::uint8_t> frame(thread.GetSlotSize());
        EXPECT_TRUE(thread.CopyFrame(frame.data(), slot, nullptr));
        frame.resize(std::size_t(cam.GetFrameBytes(0)));
        frames[platform::LoadBE32(frame.data())] = std::move(frame);
    }
    cam.StopCapture(0);
    return frames;
}

class KestrixSrc : public ::testing::Test {
protected:
    void SetUp() override { InitGStreamer(); }
    testsupport::TempDir m_dir{"kestrixsrc-test"};
};

TEST_F(KestrixSrc, EveryModeGivesTheBytesKestrixCaptureRecords) {
    const std::vector<ListedMode> modes = ListModes();
    ASSERT_GE(modes.size(), 15u);
    SimulatedBus::Options fast;
    fast.rateScale = 4;
    for (const ListedMode& mode : modes) {
        SCOPED_TRACE(mode.name);
        // Each side has a fresh camera, whose counter starts at 0 with its first frame: frames
        // with the same counter must be the same bytes.
        std::map<std::uint32_t, filestest::Bytes> recorded;
        {
            SimulatedBus bus(fast);
            const std::string avi = (m_dir.Path() / "mode.avi").string();
            std::vector<std::string> args{
                KESTRIX_CAPTURE_PATH, "--mode", mode.name, "--frames", "3", "--avi", avi};
            if (!mode.fastestRate.empty()) args.insert(args.end(), {"--rate", mode.fastestRate});
            const auto run = SimulatedBus::RunProgram(args);
            ASSERT_EQ(run.exitCode, 0) << run.errors;
            filestest::ForEachFrame(avi, mode.frameBytes, [&](auto frame) {
                recorded[platform::LoadBE32(frame.data())].assign(frame.begin(), frame.end());
            });
        }
        ASSERT_EQ(recorded.size(), 3u);
        SimulatedBus bus(fast);
        Pipeline pipeline("kestrixsrc mode=" + mode.name +
                          " num-buffers=3 ! appsink name=sink sync=false");
        ASSERT_TRUE(pipeline.Play());
        int matched = 0;
        for (int i = 0; i < 3; ++i) {
            GstSample* sample = pipeline.Pull();
            ASSERT_NE(sample, nullptr) << pipeline.ErrorText(0s);
            GstBuffer* buffer = gst_sample_get_buffer(sample);
            ASSERT_EQ(gst_buffer_get_size(buffer), mode.frameBytes);
            if (const auto it = recorded.find(Stamp(buffer)); it != recorded.end()) {
                EXPECT_TRUE(Bytes(buffer) == it->second) << "frame " << it->first << " differs";
                ++matched;
            }
            gst_sample_unref(sample);
        }
        EXPECT_GE(matched, 2);
        // num-buffers ends the stream.
        EXPECT_EQ(pipeline.Pull(), nullptr);
        GstMessage* eos = pipeline.WaitFor(GST_MESSAGE_EOS | GST_MESSAGE_ERROR);
        ASSERT_NE(eos, nullptr);
        EXPECT_EQ(GST_MESSAGE_TYPE(eos), GST_MESSAGE_EOS);
        gst_message_unref(eos);
    }
}

TEST_F(KestrixSrc, NegotiationTakesTheModeAskedFor) {
    SimulatedBus bus(1, 4.0);
    struct Case {
        std::string between;  // between kestrixsrc and the appsink
        const char* caps;     // the caps that must come
    } cases[] = {
        {"", "video/x-raw,format=RGB,width=640,height=480,framerate=15/1"},
        {"mode=640x480-mono16", "video/x-raw,format=GRAY16_BE,width=640,height=480,framerate=15/1"},
        {"! video/x-raw,format=GRAY8,width=1024,height=768",
         "video/x-raw,format=GRAY8,width=1024,height=768,framerate=15/1"},
        {"! video/x-raw,format=UYVY,width=320,framerate=30/1",
         "video/x-raw,format=UYVY,width=320,height=240,framerate=30/1"},
        {"! video/x-raw,format=IYU2",
         "video/x-raw,format=IYU2,width=160,height=120,framerate=15/1"},
        // Format 7 takes the largest size the caps leave, at the rate its packets give.
        {"! video/x-raw,width=1360,format=UYVY",
         "video/x-raw,format=UYVY,width=1360,height=1024,framerate=200/17"},
        {"mode=1360x1024-mono8 ! video/x-raw,height=[100,301]",
         "video/x-raw,format=GRAY8,width=1360,height=300,framerate=8000/100"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.between);
        Pipeline pipeline("kestrixsrc num-buffers=1 " + c.between + " ! appsink name=sink");
        ASSERT_TRUE(pipeline.Play());
        GstSample* sample = pipeline.Pull();
        ASSERT_NE(sample, nullptr) << pipeline.ErrorText(0s);
        GstCaps* expected = gst_caps_from_string(c.caps);
        EXPECT_TRUE(gst_caps_is_subset(gst_sample_get_caps(sample), expected))
            << gst_caps_to_string(gst_sample_get_caps(sample));
        gst_caps_unref(expected);
        gst_sample_unref(sample);
    }
    // A mode the camera lacks, and caps that contradict the mode asked for, are errors.
    Pipeline lacking("kestrixsrc mode=1600x1200-rgb ! appsink name=sink");
    lacking.Play();
    EXPECT_NE(lacking.ErrorText().find("does not offer 1600x1200-rgb"), std::string::npos);
    Pipeline contradicting("kestrixsrc mode=640x480-rgb ! video/x-raw,format=GRAY8 ! appsink");
    contradicting.Play();
    EXPECT_FALSE(contradicting.ErrorText().empty());
}

TEST_F(KestrixSrc, AFormat7SizeIsAWindowCentredOnTheSensorAtTheRateItsPacketsGive) {
    struct Case {
        std::string pipeline;
        int coding, width, height, left, top, bytesPerPixel;
    } cases[] = {
        // A fixed mode of that size exists: the mode property sends it to Format 7.
        {"mode=1360x1024-yuv422 ! video/x-raw,format=UYVY,width=640,height=480", 2, 640, 480, 360,
         272, 2},
        // No fixed mode has this size; the centre's corner rounds down onto the 8 x 2 grid.
        {"! video/x-raw,format=GRAY8,width=1000,height=500", 0, 1000, 500, 176, 262, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pipeline);
        const auto recorded =
            LibraryFrames(c.coding, {c.left, c.top, c.left + c.width - 1, c.top + c.height - 1});
        ASSERT_EQ(recorded.size(), 3u);
        SimulatedBus bus(1);
        Pipeline pipeline("kestrixsrc num-buffers=3 " + c.pipeline + " ! appsink name=sink");
        ASSERT_TRUE(pipeline.Play());
        int matched = 0;
        for (int i = 0; i < 3; ++i) {
            GstSample* sample = pipeline.Pull();
            ASSERT_NE(sample, nullptr) << pipeline.ErrorText(0s);
            // The largest packets the camera takes at S400 are 4096 bytes, one a cycle.
            const int packets = (c.width * c.height * c.bytesPerPixel + 4095) / 4096;
            const GstStructure* s = gst_caps_get_structure(gst_sample_get_caps(sample), 0);
            int num = 0, den = 0;
            ASSERT_TRUE(gst_structure_get_fraction(s, "framerate", &num, &den));
            EXPECT_EQ(gst_util_fraction_compare(num, den, 8000, packets), 0) << num << "/" << den;
            GstBuffer* buffer = gst_sample_get_buffer(sample);
            if (const auto it = recorded.find(Stamp(buffer)); it != recorded.end()) {
                EXPECT_TRUE(Bytes(buffer) == it->second) << "frame " << it->first << " differs";
                ++matched;
            }
            gst_sample_unref(sample);
        }
        EXPECT_GE(matched, 2);
    }
    // A Format 7 size at a rate its packets do not give fits no mode.
    SimulatedBus bus(1);
    Pipeline refused(
        "kestrixsrc mode=1360x1024-yuv422 ! video/x-raw,width=640,height=480,framerate=30/1 ! "
        "fakesink");
    refused.Play();
    EXPECT_FALSE(refused.ErrorText().empty());
}

TEST_F(KestrixSrc, ABadSettingOrABusyCameraStopsThePipelineWithTheReason) {
    SimulatedBus bus(1);
    const std::pair<const char*, const char*> cases[] = {
        {"mode=640x480-jpeg", "mode '640x480-jpeg' is not a mode name"},
        {"guid=xyz", "guid 'xyz' is not a GUID"},
        {"features=gain=5000", "bad value 'gain=5000' in features"},
        {"features=gain=4000", "gain=4000 is out of the camera's range"},
        {"camera=3", "no camera 3: the bus has 1"},
        {"guid=0123456789abcdef", "no camera with GUID 0123456789abcdef"},
    };
    for (const auto& [property, reason] : cases) {
        Pipeline pipeline(std::string("kestrixsrc ") + property + " ! fakesink");
        pipeline.Play();
        EXPECT_NE(pipeline.ErrorText().find(reason), std::string::npos) << property;
    }
    Pipeline first("kestrixsrc ! appsink name=sink");
    ASSERT_TRUE(first.Play());
    GstSample* sample = first.Pull();
    ASSERT_NE(sample, nullptr) << first.ErrorText(0s);
    gst_sample_unref(sample);
    Pipeline second("kestrixsrc ! fakesink");
    second.Play();
    EXPECT_EQ(second.ErrorText(), "the camera is in use by another program");
}

TEST_F(KestrixSrc, LossIsDiscontAMessageAndCountedWhileBuffersOutliveTheRing) {
    SimulatedBus bus(1);
    Pipeline pipeline(
        "kestrixsrc name=src ring-size=3 lend-slots=2 mode=640x480-mono8 ! "
        "video/x-raw,framerate=30/1 ! "
        "appsink name=sink sync=false");
    ASSERT_TRUE(pipeline.Play());
    // Every sample is held to the end: a buffer that shared a ring slot, lent or not, would by
    // then hold a later frame.
    std::vector<GstSample*> samples;
    for (int i = 0; i < 40; ++i) {
        if (i == 5) {
            ASSERT_TRUE(bus.Busctl({"fault", "iso-negative", "10"}).Ok());
        }
        GstSample* sample = pipeline.Pull();
        ASSERT_NE(sample, nullptr) << pipeline.ErrorText(0s);
        samples.push_back(sample);
    }
    GstElement* src = pipeline.Element("src");
    GstStructure* stats = Stats(src);
    gst_element_set_state(src, GST_STATE_NULL);

    GstBuffer* first = gst_sample_get_buffer(samples.front());
    std::uint64_t gaps = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        GstBuffer* buffer = gst_sample_get_buffer(samples[i]);
        // The offset is the camera's frame number: it moves as the camera's counter does.
        EXPECT_EQ(GST_BUFFER_OFFSET(buffer) - GST_BUFFER_OFFSET(first),
                  std::uint64_t(Stamp(buffer) - Stamp(first)))
            << "buffer " << i;
        if (i > 0) {
            const std::uint64_t step = GST_BUFFER_OFFSET(buffer) -
                                       GST_BUFFER_OFFSET(gst_sample_get_buffer(samples[i - 1]));
            EXPECT_EQ(step > 1, GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DISCONT))
                << "buffer " << i;
            gaps += step - 1;
        }
    }
    EXPECT_GE(gaps, 10u);
    std::uint64_t reported = 0;
    while (GstMessage* message = pipeline.WaitFor(GST_MESSAGE_ELEMENT, 0s)) {
        const GstStructure* s = gst_message_get_structure(message);
        if (gst_structure_has_name(s, "kestrix-lost")) reported += Field(s, "count");
        gst_message_unref(message);
    }
    EXPECT_EQ(reported, gaps);
    EXPECT_GE(Field(stats, "lost"), 10u);
    EXPECT_EQ(Field(stats, "lost") + Field(stats, "dropped"), gaps);
    EXPECT_EQ(Field(stats, "bytes"), Field(stats, "frames") * 640 * 480);
    // The first frames go downstream in place until the spares run out; the rest are copied.
    EXPECT_EQ(Field(stats, "lent"), 2u);
    EXPECT_EQ(Field(stats, "lent") + Field(stats, "copied"), Field(stats, "frames"));
    gst_structure_free(stats);
    for (GstSample* sample : samples) gst_sample_unref(sample);
}

TEST_F(KestrixSrc, UnplugAndBusResetEndTheStreamNamingTheCause) {
    const std::pair<std::vector<std::string>, const char*> events[] = {
        {{"bus-reset"}, "a bus reset interrupted the stream"},
        {{"remove", "0"}, "the camera was unplugged"}};
    for (const auto& [command, cause] : events) {
        SCOPED_TRACE(command.front());
        SimulatedBus bus(1);
        Pipeline pipeline("kestrixsrc ! appsink name=sink sync=false max-buffers=1 drop=true");
        ASSERT_TRUE(pipeline.Play());
        GstSample* sample = pipeline.Pull();
        ASSERT_NE(sample, nullptr) << pipeline.ErrorText(0s);
        gst_sample_unref(sample);
        ASSERT_TRUE(bus.Busctl(command).Ok());
        EXPECT_NE(pipeline.ErrorText().find(cause), std::string::npos);
    }
}

// A bus driver that stops answering (a hung or swapped-out one) ends the stream by the session's
// rule, as in every front end: no frame for a second, then a register read that fails.
TEST_F(KestrixSrc, AStalledDriverEndsTheStreamWithAReadError) {
    SimulatedBus bus(1);
    Pipeline pipeline("kestrixsrc ! appsink name=sink sync=false max-buffers=1 drop=true");
    // Declared after the pipeline, so the driver runs again before the pipeline goes.
    const struct Resume {
        pid_t pid;
        ~Resume() { ::kill(pid, SIGCONT); }
    } resume{bus.Pid()};
    ASSERT_TRUE(pipeline.Play());
    GstSample* sample = pipeline.Pull();
    ASSERT_NE(sample, nullptr) << pipeline.ErrorText(0s);
    gst_sample_unref(sample);
    ASSERT_EQ(::kill(bus.Pid(), SIGSTOP), 0);
    GstMessage* message = pipeline.WaitFor(GST_MESSAGE_ERROR);
    ASSERT_NE(message, nullptr) << "the pipeline said nothing";
    GError* error = nullptr;
    gst_message_parse_error(message, &error, nullptr);
    EXPECT_TRUE(g_error_matches(error, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_READ))
        << error->message;
    EXPECT_STREQ(error->message, "the bus driver does not answer");
    g_error_free(error);
    gst_message_unref(message);
}

TEST_F(KestrixSrc, InspectsCleanly) {
    const auto inspect = SimulatedBus::RunProgram({KESTRIX_GST_INSPECT, "kestrixsrc"});
    EXPECT_EQ(inspect.exitCode, 0) << inspect.errors;
    EXPECT_EQ(inspect.errors, "");
    for (const char* text : {"IYU1", "GRAY16_BE", "ring-size", "features", "stats"})
        EXPECT_NE(inspect.output.find(text), std::string::npos) << text;
}

TEST_F(KestrixSrc, DeviceProviderListsCamerasAsTheyComeAndGo) {
    SimulatedBus bus(1);
    const auto monitor = SimulatedBus::RunProgram({KESTRIX_GST_DEVICE_MONITOR, "Video/Source"});
    EXPECT_NE(monitor.output.find("IIDC camera 0"), std::string::npos) << monitor.output;

    GstDeviceProvider* provider = gst_device_provider_factory_get_by_name("kestrixdeviceprovider");
    ASSERT_NE(provider, nullptr);
    GstBus* messages = gst_device_provider_get_bus(provider);
    ASSERT_TRUE(gst_device_provider_start(provider));
    const auto next = [&](GstMessageType type) -> GstDevice* {
        GstMessage* message = gst_bus_timed_pop_filtered(messages, 20 * GST_SECOND, type);
        if (message == nullptr) return nullptr;
        GstDevice* device = nullptr;
        if (type == GST_MESSAGE_DEVICE_ADDED) gst_message_parse_device_added(message, &device);
        if (type == GST_MESSAGE_DEVICE_REMOVED) gst_message_parse_device_removed(message, &device);
        gst_message_unref(message);
        return device;
    };
    GstDevice* present = next(GST_MESSAGE_DEVICE_ADDED);
    ASSERT_NE(present, nullptr);
    ASSERT_TRUE(bus.Busctl({"add-camera"}).Ok());
    GstDevice* added = next(GST_MESSAGE_DEVICE_ADDED);
    ASSERT_NE(added, nullptr);
    ASSERT_TRUE(bus.Busctl({"remove", "0"}).Ok());
    GstDevice* removed = next(GST_MESSAGE_DEVICE_REMOVED);
    EXPECT_EQ(removed, present);

    // The added camera's element finds it by GUID, wherever it now stands in the table.
    GstElement* src = gst_device_create_element(added, "src");
    ASSERT_NE(src, nullptr);
    gchar* guid = nullptr;
    g_object_get(src, "guid", &guid, nullptr);
    EXPECT_EQ(std::strlen(guid), 16u);
    g_free(guid);
    gst_object_unref(src);

    for (GstDevice* device : {present, added, removed})
        if (device != nullptr) gst_object_unref(device);
    gst_device_provider_stop(provider);
    gst_object_unref(messages);
    gst_object_unref(provider);
}

}  // namespace
