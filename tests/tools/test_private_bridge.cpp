// kestrix-capture without --simulate: the machine's FireWire cameras through a private
// kestrix-fwd it starts itself (here over the fake kernel), or one line when there is no
// FireWire controller at all.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/support/SimulatedBus.h"
#include "tests/support/TempDir.h"

namespace {

using testsupport::SimulatedBus;

class PrivateBridge : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("KESTRIX_BUS_DIR", m_bus.Path().c_str(), 1);
        ::setenv("KESTRIX_FW_DEVDIR", m_kernel.Path().c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", m_runtime.Path().c_str(), 1);
    }
    void TearDown() override { ::unsetenv("LD_PRELOAD"); }

    testsupport::TempDir m_bus{"kx-bridge-bus"};
    testsupport::TempDir m_kernel{"kx-bridge-dev"};
    testsupport::TempDir m_runtime{"kx-bridge-run"};
};

TEST_F(PrivateBridge, WithoutAControllerItSaysSoInOneLineAndPointsToSimulate) {
    const std::string reason =
        "no FireWire controller on this machine (no /dev/fw*); --simulate uses a simulated camera";
    const auto result = SimulatedBus::RunProgram({KESTRIX_CAPTURE_PATH, "--list"});
    EXPECT_EQ(result.exitCode, 3);
    EXPECT_EQ(result.errors, "kestrix-capture: " + reason + "\n");
    // --json still ends the run with its object.
    const auto json =
        SimulatedBus::RunProgram({KESTRIX_CAPTURE_PATH, "--frames", "1", "--avi", "x.avi", "--json"});
    EXPECT_EQ(json.exitCode, 3);
    EXPECT_EQ(json.output, "{\"frames\":0,\"dropped\":0,\"fps\":0.00,\"bytes\":0,\"lost\":0,"
                           "\"short\":0,\"read_errors\":0,\"files\":{\"avi\":\"x.avi\"},\"features\":{},\"exit_reason\":\"" +
                               reason + "\",\"exit_status\":3}\n");
}

TEST_F(PrivateBridge, ItStartsTheBridgeNamesTheCameraAndStopsItAtExit) {
    ::setenv("LD_PRELOAD", KESTRIX_FAKEFW_PRELOAD, 1);
    const auto result = SimulatedBus::RunProgram({KESTRIX_CAPTURE_PATH, "--list"});
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(result.output.rfind("camera 0: Tarnwell KX-1360 (simulated), vendor 0x", 0), 0u)
        << result.output;
    // The bridge ran in a private folder that went with it.
    for (const auto& entry : std::filesystem::directory_iterator(m_runtime.Path()))
        EXPECT_NE(entry.path().filename().string().rfind("kestrix-capture-", 0), 0u) << entry.path();
}

}  // namespace
