// kestrix-capture --plan: the camera's share of the bus as a line and as JSON, and a plan that
// does not fit refused with the fix, which fits when followed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/SimulatedBus.h"

namespace {

using testsupport::SimulatedBus;

SimulatedBus::Result Capture(std::vector<std::string> args) {
    args.insert(args.begin(), KESTRIX_CAPTURE_PATH);
    return SimulatedBus::RunProgram(args);
}

TEST(CapturePlan, PrintsTheShareAndRefusesWithTheFixThatFits) {
    SimulatedBus bus(1);
    ASSERT_TRUE(bus.IsRunning());
    auto run = Capture({"--plan", "--mode", "640x480-rgb", "--rate", "30", "--speed", "100"});
    EXPECT_EQ(run.exitCode, 4) << run.errors;
    const std::string fix =
        "packets of 3840 bytes are larger than the 1024 bytes S100 carries: "
        "S400 carries them";
    EXPECT_NE(run.errors.find("kestrix-capture: camera 0: " + fix), std::string::npos)
        << run.errors;
    EXPECT_NE(run.output.find("they do not fit: camera 0: " + fix), std::string::npos)
        << run.output;

    run = Capture({"--plan", "--mode", "640x480-rgb", "--rate", "30", "--speed", "400"});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(run.output.rfind("camera 0 GUID ", 0), 0u) << run.output;
    EXPECT_NE(run.output.find(": 640x480-rgb at 30 fps, 3840-byte packets at S400, 4108 units"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("\n1 camera: 4108 of the 4915 free units"), std::string::npos);
    EXPECT_NE(run.output.find("they fit\n"), std::string::npos);

    run = Capture({"--plan", "--mode", "1360x1024-mono8", "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_NE(run.output.find("\"packet_bytes\":4096,\"speed\":400,\"units\":4364}"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("\"fits\":true,\"refusal\":\"\"}\n"), std::string::npos);

    run = Capture({"--plan", "--frames", "3"});
    EXPECT_EQ(run.exitCode, 2);
}

}  // namespace
