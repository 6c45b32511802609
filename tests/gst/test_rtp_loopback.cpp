// The scale-out recipe on loopback: kestrixsrc sends raw video over RTP to a receiver in another
// pipeline, which must get every frame of a 640 x 480 stream, in order.
#include <gtest/gtest.h>

#include "tests/gst/GstTestSupport.h"
#include "tests/support/SimulatedBus.h"

namespace {

using namespace gsttest;

constexpr int kFrames = 60;

TEST(RtpLoopback, EveryFrameOfA640x480StreamArrives) {
    testsupport::SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    // port 0: the system picks a free one, read back once the receiver is playing. The socket
    // buffer holds a few frames' packets, which leave the sender in bursts.
    Pipeline receiver(
        "udpsrc name=udp port=0 buffer-size=8388608 caps=\"application/x-rtp,media=video,"
        "clock-rate=90000,encoding-name=RAW,sampling=YCbCr-4:2:2,depth=(string)8,"
        "width=(string)640,height=(string)480,payload=96\" ! rtpvrawdepay ! "
        "appsink name=sink sync=false");
    ASSERT_TRUE(receiver.Play());
    ASSERT_EQ(gst_element_get_state(receiver.Element("udp"), nullptr, nullptr, 10 * GST_SECOND),
              GST_STATE_CHANGE_SUCCESS);
    int port = 0;
    g_object_get(receiver.Element("udp"), "port", &port, nullptr);
    ASSERT_GT(port, 0);

    Pipeline sender(
        "kestrixsrc name=src mode=640x480-yuv422 num-buffers=" + std::to_string(kFrames) +
        " ! rtpvrawpay ! udpsink host=127.0.0.1 sync=false port=" + std::to_string(port));
    ASSERT_TRUE(sender.Play());
    std::vector<std::uint32_t> stamps;
    while (stamps.size() < std::size_t(kFrames)) {
        GstSample* sample = receiver.Pull(10s);
        if (sample == nullptr) break;
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        EXPECT_EQ(gst_buffer_get_size(buffer), 640u * 480 * 2);
        stamps.push_back(Stamp(buffer));
        gst_sample_unref(sample);
    }
    GstMessage* end = sender.WaitFor(GST_MESSAGE_EOS | GST_MESSAGE_ERROR);
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(GST_MESSAGE_TYPE(end), GST_MESSAGE_EOS);
    gst_message_unref(end);
    GstStructure* stats = nullptr;
    g_object_get(sender.Element("src"), "stats", &stats, nullptr);
    guint64 lost = 1, dropped = 1;
    gst_structure_get_uint64(stats, "lost", &lost);
    gst_structure_get_uint64(stats, "dropped", &dropped);
    gst_structure_free(stats);
    EXPECT_EQ(lost + dropped, 0u);

    ASSERT_EQ(stamps.size(), std::size_t(kFrames));
    for (std::size_t i = 1; i < stamps.size(); ++i) EXPECT_EQ(stamps[i], stamps[i - 1] + 1);
}

}  // namespace
