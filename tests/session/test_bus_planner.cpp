// The bus planner's arithmetic: the edges of the cycle budget, the channel and receive-context
// limits, Format 7 cameras sharing what is left, and a refusal whose fix fits when followed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "camera/BusBandwidth.h"
#include "camera/IidcRegisters.h"
#include "session/BusPlanner.h"

namespace {

using namespace kestrix::session;
using Demand = BusPlanner::Demand;

constexpr int kRgb640 = 4;  // 640x480 RGB: 480 quadlets a packet at 15 fps, 960 at 30
constexpr int k15fps = 3;
constexpr int k30fps = 4;

Demand Fixed(int camera, int rateIndex, int packetBytes) {
    Demand d;
    d.camera = camera;
    d.config.mode = {"640x480-rgb", kRgb640, 4, 640, 480, 0, BayerPattern::None};
    for (int rate = 1; rate <= k30fps; ++rate) d.config.mode.rates |= camera::iidc::InqBit(rate);
    d.config.rateIndex = rateIndex;
    d.packetBytes = packetBytes;
    d.frameBytes = 640 * 480 * 3;
    return d;
}

Demand Format7(int camera, int packetBytes = 0) {
    Demand d;
    d.camera = camera;
    d.config.mode = {"1360x1024-mono8", 24, 0, 1360, 1024, 0, BayerPattern::None};
    d.config.packetBytes = packetBytes;
    d.packetUnit = 4;
    d.packetMax = 4096;
    d.frameBytes = 1360 * 1024;
    return d;
}

unsigned Units(int packet) { return BusBandwidth::Units(unsigned(packet), 2); }

TEST(BusPlanner, FitsUpToTheLastUnitOfTheCycle) {
    // 2268 + 2647 units: the whole cycle.
    BusPlan plan = BusPlanner::Compute({Fixed(0, k15fps, 2000), Fixed(1, k15fps, 2379)}, {});
    EXPECT_EQ(plan.unitsPlanned, 4915u);
    EXPECT_TRUE(plan.fits) << plan.refusal;
    EXPECT_TRUE(plan.refusal.empty());

    plan = BusPlanner::Compute({Fixed(0, k15fps, 2000), Fixed(1, k15fps, 2380)}, {});
    EXPECT_EQ(plan.unitsPlanned, 4916u);
    EXPECT_FALSE(plan.fits);
    EXPECT_EQ(plan.refusal.rfind("camera 1 needs 2648 units, 2647 are left: ", 0), 0u)
        << plan.refusal;
}

TEST(BusPlanner, TheRefusalsFixFitsWhenFollowed) {
    const int packet15 = 480 * 4, packet30 = 960 * 4;
    std::vector<Demand> demands{Fixed(0, k15fps, packet15), Fixed(1, k30fps, packet30)};
    BusPlan plan = BusPlanner::Compute(demands, {});
    ASSERT_FALSE(plan.fits);
    const unsigned left = 4915 - Units(packet15);
    EXPECT_EQ(plan.refusal, "camera 1 needs " + std::to_string(Units(packet30)) + " units, " +
                                std::to_string(left) +
                                " are left: 15 fps fits, or a Format 7 packet of at most " +
                                std::to_string((left - 268) / 4 * 4) + " bytes");

    demands[1] = Fixed(1, k15fps, packet15);
    EXPECT_TRUE(BusPlanner::Compute(demands, {}).fits);

    // A Format 7 camera with a packet too large is told the largest that fits, and it does.
    demands = {Fixed(0, k30fps, packet30), Format7(1, 4096)};
    plan = BusPlanner::Compute(demands, {});
    ASSERT_FALSE(plan.fits);
    const int largest = int(4915 - Units(packet30) - 268) / 4 * 4;
    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "camera 1 needs %u units, %u are left: a Format 7 packet of at most %d bytes "
                  "fits (%.3g fps)",
                  Units(4096), 4915 - Units(packet30), largest,
                  Format7Geometry::FrameRate(1360 * 1024, largest));
    EXPECT_EQ(plan.refusal, expected);
    demands[1].config.packetBytes = largest;
    EXPECT_TRUE(BusPlanner::Compute(demands, {}).fits);
    demands[1].config.packetBytes = largest + 4;
    EXPECT_FALSE(BusPlanner::Compute(demands, {}).fits);
}

TEST(BusPlanner, StreamsBeyondTheReceiveContextsOrChannelsAreRefused) {
    std::vector<Demand> demands;
    for (int i = 0; i < 4; ++i) demands.push_back(Fixed(i, 1, 120 * 4));
    BusPlanner::Resources resources;
    resources.receiveContexts = 4;
    EXPECT_TRUE(BusPlanner::Compute(demands, resources).fits);
    resources.receiveContexts = 2;
    BusPlan plan = BusPlanner::Compute(demands, resources);
    EXPECT_FALSE(plan.fits);
    EXPECT_EQ(plan.refusal,
              "4 cameras need 4 receive contexts, the host controller has 2: run at most 2 of them "
              "at a time");
    demands.resize(2);
    EXPECT_TRUE(BusPlanner::Compute(demands, resources).fits);

    resources.channelsFree = 1;
    EXPECT_EQ(BusPlanner::Compute(demands, resources).refusal,
              "2 cameras need 2 isochronous channels, the bus has free 1: run at most 1 of them at "
              "a time");
    resources.receiveContexts = 0;
    EXPECT_EQ(BusPlanner::Compute({demands[0]}, resources).refusal,
              "1 camera needs 1 receive context, the host controller has 0: stop another stream "
              "first");
}

TEST(BusPlanner, Format7CamerasShareWhatIsLeft) {
    // Alone, a camera gets its largest packet.
    BusPlan plan = BusPlanner::Compute({Format7(0)}, {});
    ASSERT_TRUE(plan.fits);
    EXPECT_EQ(plan.cameras[0].packetBytes, 4096);
    EXPECT_EQ(plan.cameras[0].config.packetBytes, 4096);

    // Beside a fixed-rate camera, two share the rest evenly, each as large as its steps allow.
    const int fixedPacket = 240 * 4;
    plan = BusPlanner::Compute({Format7(0), Fixed(1, 2, fixedPacket), Format7(2)}, {});
    ASSERT_TRUE(plan.fits) << plan.refusal;
    const int a = plan.cameras[0].packetBytes, b = plan.cameras[2].packetBytes;
    EXPECT_EQ(a % 4, 0);
    EXPECT_LE(std::abs(a - b), 4);
    EXPECT_EQ(plan.unitsPlanned, Units(a) + Units(b) + Units(fixedPacket));
    EXPECT_GT(Units(a + 4) + Units(b) + Units(fixedPacket), 4915u);
    EXPECT_GT(Units(a) + Units(b + 4) + Units(fixedPacket), 4915u);
    EXPECT_NEAR(plan.cameras[0].fps, Format7Geometry::FrameRate(1360 * 1024, a), 1e-9);

    // One that needs little takes all it needs; the other gets the rest.
    Demand small = Format7(1);
    small.packetMax = 512;
    plan = BusPlanner::Compute({Format7(0), small}, {});
    ASSERT_TRUE(plan.fits);
    EXPECT_EQ(plan.cameras[1].packetBytes, 512);
    EXPECT_EQ(plan.cameras[0].packetBytes, int(4915 - Units(512) - 268) / 4 * 4);

    // With nothing left, no packet fits: named, with the way out.
    BusPlanner::Resources none;
    none.unitsFree = 200;
    plan = BusPlanner::Compute({Format7(0)}, none);
    EXPECT_FALSE(plan.fits);
    EXPECT_EQ(plan.refusal, "the cameras need 272 units, 200 are free: run fewer cameras");
}

TEST(BusPlanner, TextAndJsonSayTheSame) {
    BusPlan plan = BusPlanner::Compute({Fixed(0, k30fps, 3840), Format7(3, 4096)}, {});
    plan.cameras[0].guid = 0x0123456789abcdefull;
    const std::string text = plan.Text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
    EXPECT_NE(text.find("camera 0 GUID 0123456789abcdef: 640x480-rgb at 30 fps, 3840-byte "
                        "packets at S400, 4108 units"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("they do not fit: camera 3 needs"), std::string::npos) << text;
    const std::string json = plan.Json();
    EXPECT_NE(json.find("\"guid\":\"0123456789abcdef\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"fits\":false,\"refusal\":\"camera 3 needs"), std::string::npos) << json;
    EXPECT_EQ(json.front(), '{');
    EXPECT_EQ(json.back(), '}');
}

}  // namespace
