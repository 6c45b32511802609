// kestrix-check on the simulated camera of both models (and, run again, through kestrix-fwd over
// the fake kernel): every check passes (a bus reset while streaming included), the camera is left
// as found and the report names the camera and the machine; a fault armed before the mode or the
// feature checks fails the first of them, and a frame lost before a mode's first leaves it
// passing; Ctrl+C ends the run with the camera put back; --simulate brings the model asked.
#include "tests/tools/CaptureToolRun.h"

#include <cstring>

#include "tests/support/SimulatedBus.h"

namespace {

using namespace capturetest;
using namespace std::chrono_literals;
using testsupport::SimulatedBus;

class KestrixCheck : public KestrixCapture {
protected:
    // Every feature's setting, as kestrix-capture --get all reads it.
    std::string Settings() {
        const auto result = Run({"--get", "all"});
        EXPECT_EQ(result.exitCode, 0) << result.errors;
        return result.output;
    }
    ToolRun Check(const std::vector<std::string>& args) {
        return ToolRun(m_dir.Path(), args, RLIM_INFINITY, KESTRIX_CHECK_PATH);
    }
    // Waits until a run that paused itself (--pause-before) has stopped.
    static bool WaitUntilStopped(pid_t pid) {
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (std::chrono::steady_clock::now() < end) {
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string text((std::istreambuf_iterator<char>(stat)), {});
            const std::size_t close = text.rfind(')');
            if (close != std::string::npos && text.compare(close + 2, 1, "T") == 0) return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    // A quick check with fault armed on the bus just before group.
    ToolRun::Result CheckWithFault(const char* group, const std::vector<std::string>& fault) {
        SimulatedBus bus(1, 2);
        EXPECT_TRUE(bus.IsRunning());
        ToolRun check = Check({"--quick", "--pause-before", group});
        EXPECT_TRUE(WaitUntilStopped(check.Pid()));
        EXPECT_TRUE(bus.Busctl(fault).Ok());
        check.Signal(SIGCONT);
        return check.Wait(240s);
    }
    static bool Has(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }
};

class KestrixCheckModels : public KestrixCheck, public ::testing::WithParamInterface<const char*> {};

TEST_P(KestrixCheckModels, EveryCheckPassesAndTheCameraIsLeftAsFound) {
    SimulatedBus::Options options;
    options.rateScale = 2;
    options.extraArguments = {"--model", GetParam()};
    SimulatedBus bus(options);
    ASSERT_TRUE(bus.IsRunning());
    const std::string before = Settings();
    const std::string report = File("report.json");
    const auto result = Check({"--quick", "--report", report}).Wait(240s);
    EXPECT_EQ(result.exitCode, 0) << result.output << result.errors;
    // The generic camera has no trigger.
    const char* trigger = std::strcmp(GetParam(), "generic") == 0 ? "SKIP trigger: " : "PASS trigger: ";
    for (const char* line : {"PASS identity: GUID ", "PASS inquiry: ", "PASS mode 640x480-mono8 at ",
                             "PASS feature brightness: ", trigger, "PASS bus-reset: ",
                             "PASS bandwidth: refused: ", "PASS restore: "})
        EXPECT_TRUE(Has(result.output, line)) << line << " in\n" << result.output;
    EXPECT_FALSE(Has(result.output, "FAIL ")) << result.output;
    EXPECT_TRUE(Has(result.output, " bandwidth units, the bus has ")) << result.output;
    EXPECT_TRUE(std::regex_search(result.output,
                                  std::regex("\n[1-9][0-9]* passed, 0 failed, [0-9]+ skipped\n$")))
        << result.output;
    EXPECT_EQ(Settings(), before);
    std::ifstream in(report);
    const std::string json((std::istreambuf_iterator<char>(in)), {});
    for (const char* member : {"\"guid\":\"", "\"kernel\":\"Linux ", "\"kestrix\":\"kestrix-check ",
                               "\"failed\":0"})
        EXPECT_TRUE(Has(json, member)) << member << " in " << json;
}

INSTANTIATE_TEST_SUITE_P(BothModels, KestrixCheckModels, ::testing::Values("kx1360", "generic"));

TEST_F(KestrixCheck, WithSimulateItChecksAPrivateSimulatedCameraOfTheModelAsked) {
    EXPECT_EQ(Check({"--model", "generic"}).Wait(60s).errors,
              "kestrix-check: --model chooses the simulated camera: it goes with --simulate\n");
    const auto result = Check({"--simulate", "--model", "generic", "--quick", "--json"}).Wait(240s);
    EXPECT_EQ(result.exitCode, 0) << result.output << result.errors;
    EXPECT_EQ(result.output.rfind("{\"kestrix_check\":1,", 0), 0u) << result.output;
    EXPECT_TRUE(Has(result.output, "\"controller\":\"simulated bus\"")) << result.output;
    EXPECT_TRUE(Has(result.output, "\"model\":\"GC-640 (simulated)\"")) << result.output;
}

// A fault armed just before a group of checks fails the first check of that group, and none
// before it.
TEST_F(KestrixCheck, AFaultArmedBeforeAGroupFailsItsFirstCheck) {
    const struct {
        const char* group;
        std::vector<std::string> fault;
        const char* firstFailure;
    } cases[] = {
        {"modes", {"fault", "iso-negative", "50"}, "FAIL mode "},
        {"features", {"fault", "async-fail", "1000"}, "FAIL feature brightness: "},
    };
    for (const auto& c : cases) {
        const auto result = CheckWithFault(c.group, c.fault);
        EXPECT_EQ(result.exitCode, 1) << c.group;
        const std::string output = result.output;
        const std::size_t failed = output.find("FAIL ");
        EXPECT_EQ(output.compare(failed, std::strlen(c.firstFailure), c.firstFailure), 0)
            << c.group << ":\n" << output;
    }
}

// A read that fails as a mode starts loses a frame before the first one measured: the interval
// between the frames that came is still the camera's.
TEST_F(KestrixCheck, AFrameLostBeforeTheFirstLeavesTheIntervalRight) {
    const auto result = CheckWithFault("modes", {"fault", "iso-negative", "1"});
    std::smatch line;
    ASSERT_TRUE(std::regex_search(result.output, line, std::regex("(PASS|FAIL) mode [^\n]*")))
        << result.output;
    EXPECT_EQ(line[1], "PASS") << line[0];
    EXPECT_TRUE(Has(line[0], "1 lost on the way")) << line[0];
}

TEST_F(KestrixCheck, AnInterruptedRunPutsTheCameraBack) {
    SimulatedBus bus(1, 2);
    ASSERT_TRUE(bus.IsRunning());
    const std::string before = Settings();
    ToolRun check = Check({"--quick", "--pause-before", "trigger"});
    ASSERT_TRUE(WaitUntilStopped(check.Pid()));
    check.Signal(SIGINT);
    check.Signal(SIGCONT);
    const auto result = check.Wait(240s);
    EXPECT_EQ(result.exitCode, 128 + SIGINT) << result.errors;
    EXPECT_TRUE(Has(result.output, "PASS restore: ")) << result.output;
    EXPECT_TRUE(Has(result.errors, "stopped by Interrupt")) << result.errors;
    EXPECT_EQ(Settings(), before);
}

}  // namespace
