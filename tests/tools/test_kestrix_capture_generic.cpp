// kestrix-capture on a camera that has only the standard IIDC registers (kestrix-busd --model
// generic): it lists the camera's own modes, records a frame in each, and reads and sets the
// features the camera has, naming the ones it lacks.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "tests/support/FrameStamps.h"
#include "tests/support/SimulatedBus.h"

namespace {

using testsupport::SimulatedBus;

SimulatedBus::Result Capture(std::vector<std::string> args) {
    args.insert(args.begin(), KESTRIX_CAPTURE_PATH);
    return SimulatedBus::RunProgram(args);
}

class GenericCamera : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_bus.IsRunning()); }
    SimulatedBus m_bus{
        SimulatedBus::Options{1, testsupport::kLargeFrameRate, {"--model", "generic"}, true}};
};

TEST_F(GenericCamera, ListsAndRecordsEveryModeItOffers) {
    const auto list = Capture({"--list"});
    ASSERT_EQ(list.exitCode, 0) << list.errors;
    EXPECT_NE(list.output.find("vendor 0x06B1C0"), std::string::npos) << list.output;
    static const std::regex row(R"(\n  (\d+x\d+-\w+) \(mode (\d+)(, Format 7)?\):( [0-9.]+)?)");
    std::vector<std::string> modes;
    for (std::sregex_iterator it(list.output.begin(), list.output.end(), row), end; it != end;
         ++it) {
        const std::smatch& m = *it;
        modes.push_back(m[1].str() + " " + m[2].str());
        std::vector<std::string> args{"--mode", m[1].str(), "--frames", "1", "--json"};
        if (m[4].matched) args.insert(args.end(), {"--rate", m[4].str().substr(1)});
        const auto result = Capture(args);
        EXPECT_EQ(result.exitCode, 0) << m[1] << ": " << result.errors;
        EXPECT_NE(result.output.find("\"frames\":1,\"dropped\":0"), std::string::npos)
            << m[1] << ": " << result.output;
    }
    const std::vector<std::string> expected{
        "320x240-yuv422 1",   "640x480-yuv422 3",    "640x480-rgb 4",   "640x480-mono8 5",
        "1360x1024-mono8 24", "1360x1024-yuv422 24", "1360x1024-rgb 24"};
    EXPECT_EQ(modes, expected) << list.output;
}

TEST_F(GenericCamera, ReadsAndSetsItsFeaturesAndNamesTheMissingOnes) {
    const auto all = Capture({"--get", "all"});
    ASSERT_EQ(all.exitCode, 0) << all.errors;
    EXPECT_EQ(all.output,
              "brightness=128 (50.20 %)\nauto-exposure=128\nwhite-balance=128,128 (6500 K)\n"
              "shutter=2048 (33.33 ms)\ngain=0 (0.0 dB)\n");
    const auto set = Capture({"--set", "gain=50", "--get", "gain"});
    EXPECT_EQ(set.exitCode, 0) << set.errors;
    EXPECT_EQ(set.output, "gain=50 (5.0 dB)\n");
    const auto missing = Capture({"--set", "sharpness=10"});
    EXPECT_EQ(missing.exitCode, 8);
    EXPECT_EQ(missing.errors, "kestrix-capture: the camera has no sharpness\n");
}

}  // namespace
