// kestrix-capture recording several cameras in one run on a simulated bus of two: one playable
// file and one frame log per camera, the .sync.csv whose rows pair the cameras' frames by
// cycle, the summary per camera and for the sets, --camera all, and the patterns refused.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>

#include "tests/support/SimulatedBus.h"
#include "tests/tools/CaptureToolRun.h"

namespace {

using namespace capturetest;
using testsupport::SimulatedBus;

using Rows = std::vector<std::vector<std::string>>;

// The rows of a CSV file after its header, which goes into header.
Rows ReadCsv(const std::string& path, std::string& header) {
    std::ifstream in(path);
    std::getline(in, header);
    Rows rows;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::size_t at = 0;
        for (std::size_t comma; (comma = line.find(',', at)) != std::string::npos; at = comma + 1)
            fields.push_back(line.substr(at, comma - at));
        fields.push_back(line.substr(at));
        rows.push_back(std::move(fields));
    }
    return rows;
}

// Bus cycles (8000 a second) of a cycle time as the logs write it (0x...), across the wrap.
long Cycles(const std::string& cycleTime) {
    const unsigned long value = std::stoul(cycleTime, nullptr, 16);
    return long(value >> 25) * 8000 + long((value >> 12) & 0x1FFF);
}

// The set line of the summary: sets, incomplete, max_skew_cycles; -1 each without it.
std::array<long, 3> SetLine(const std::string& output) {
    std::smatch match;
    if (!std::regex_search(output, match,
                           std::regex(R"((^|\n)sets=(\d+) incomplete=(\d+) max_skew_cycles=(\d+)\n$)")))
        return {-1, -1, -1};
    return {std::stol(match[2]), std::stol(match[3]), std::stol(match[4])};
}

constexpr long kPeriodCycles = 8000 / 15;  // the default 15 fps
constexpr int kSets = 20;

TEST_F(KestrixCapture, RecordsTwoCamerasAsPairedSets) {
    // Every count below presumes no frame lost, which a sanitizer's slowness does not promise.
    if (!testsupport::kEveryFrameArrives) GTEST_SKIP() << "frames may be lost in this build";
    SimulatedBus bus(2);
    ASSERT_TRUE(bus.IsRunning());
    const auto result = Run({"--camera", "0", "--camera", "1", "--frames", std::to_string(kSets),
                             "--record", File("run-{camera}.avi")});
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(SetLine(result.output), (std::array<long, 3>{kSets, 0, SetLine(result.output)[2]}))
        << result.output;
    EXPECT_LT(SetLine(result.output)[2], kPeriodCycles / 2);
    for (const char* camera : {"0", "1"}) {
        EXPECT_NE(result.output.find("camera " + std::string(camera) + ": frames=" +
                                     std::to_string(kSets) + " dropped=0"),
                  std::string::npos)
            << result.output;
    }
    std::string header;
    const Rows sets = ReadCsv(File("run.sync.csv"), header);
    EXPECT_EQ(header, "set,cycle_time,camera0,camera1");
    ASSERT_EQ(sets.size(), std::size_t(kSets));
    std::vector<Rows> logs;
    for (const char* camera : {"0", "1"}) {
        const std::string avi = File("run-" + std::string(camera) + ".avi");
        // Playable: ffprobe reads every frame, and they are the camera's, in order.
        EXPECT_EQ(filestest::ProbeStream(avi)["nb_read_packets"], std::to_string(kSets)) << avi;
        ExpectConsecutive(Stamps(avi));
        std::string logHeader;
        logs.push_back(ReadCsv(avi + ".csv", logHeader));
        EXPECT_TRUE(fs::exists(avi + ".json"));
        ASSERT_EQ(logs.back().size(), std::size_t(kSets)) << avi;
    }
    // Row k names the k-th frame of each file, and those frames left in the same period.
    for (std::size_t k = 0; k < sets.size(); ++k) {
        ASSERT_EQ(sets[k].size(), 4u) << k;
        EXPECT_EQ(sets[k][0], std::to_string(k));
        for (std::size_t c = 0; c < 2; ++c) EXPECT_EQ(sets[k][2 + c], logs[c][k][1]) << k;
        const long skew = std::labs(Cycles(logs[1][k][4]) - Cycles(logs[0][k][4])) % (128 * 8000);
        EXPECT_LE(std::min(skew, 128 * 8000 - skew), kPeriodCycles / 2) << "set " << k;
    }
}

TEST_F(KestrixCapture, RecordsEveryCameraByGuid) {
    SimulatedBus bus(2);
    ASSERT_TRUE(bus.IsRunning());
    const auto result =
        Run({"--camera", "all", "--frames", "5", "--json", "--record", File("cam_{guid}.ser")});
    ASSERT_EQ(result.exitCode, 0) << result.errors;

    const std::regex camera(R"re(\{"camera":(\d),"guid":"([0-9a-f]{16})","frames":\d+,)re");
    std::vector<std::string> guids;
    for (std::sregex_iterator it(result.output.begin(), result.output.end(), camera), end;
         it != end; ++it)
        guids.push_back((*it)[2]);
    ASSERT_EQ(guids.size(), 2u) << result.output;
    // The same camera by index and by GUID is one camera named twice, not one in use.
    ExpectFailure({"--camera", "0", "--camera", guids[0], "--frames", "1"}, 2);
    for (const std::string& guid : guids) EXPECT_TRUE(fs::exists(File("cam_" + guid + ".ser"))) << guid;
    EXPECT_NE(result.output.find(testsupport::kEveryFrameArrives
                                     ? R"("sets":{"sets":5,"incomplete":0,"missing":[0,0],)"
                                     : R"("sets":{"sets":5,)"),
              std::string::npos)
        << result.output;
    std::string header;
    EXPECT_EQ(ReadCsv(File("cam.sync.csv"), header).size(), 5u);
}

TEST_F(KestrixCapture, LogsAFeatureChangeInItsCamerasFrameLog) {
    SimulatedBus bus(2);
    ASSERT_TRUE(bus.IsRunning());
    ToolRun run(m_dir.Path(), {"--camera", "all", "--frames", "45", "--record", File("run-{camera}.avi")});
    ASSERT_TRUE(WaitForFileSize(File("run-1.avi.csv"), 200));  // frames flow
    // Another program may set a feature of a camera being recorded, as a dialog does.
    fs::create_directory(m_dir.Path() / "set");
    EXPECT_EQ(ToolRun(m_dir.Path() / "set", {"--camera", "1", "--set", "gain=5"}).Wait().exitCode, 0);
    const auto result = run.Wait();
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    const auto json = [&](const char* camera) {
        std::ifstream in(File("run-" + std::string(camera) + ".avi.json"));
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ(json("0").find("\"feature\": \"gain\""), std::string::npos) << json("0");
    EXPECT_NE(json("1").find("\"feature\": \"gain\", \"to\": {\"mode\": \"manual\", \"value\": 5"),
              std::string::npos)
        << json("1");
}

TEST_F(KestrixCapture, RefusesWhatSeveralCamerasCannotDo) {
    // Refused before any bus is looked at, with nothing written.
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--camera", "0", "--camera", "1", "--record", File("run.avi")},
             {"--camera", "all", "--record", File("run-{cam}.avi")},
             {"--camera", "all", "--avi", File("run.avi")},
             {"--camera", "0", "--camera", "0"},
             {"--camera", "all", "--camera", "1"},
             {"--camera", "all", "--pre-trigger", "1", "--record", File("r-{camera}.avi")}}) {
        ExpectFailure(args, 2);
    }
    EXPECT_EQ(filestest::EntriesIn(m_dir.Path()), 2u);  // the run's stdout and stderr
    const auto result = Run({"--camera", "0", "--camera", "1", "--record", File("run.avi")});
    EXPECT_NE(result.errors.find("put {camera}"), std::string::npos) << result.errors;
}

TEST_F(KestrixCapture, ALossOnOneCameraIsThatManyIncompleteSets) {
    SimulatedBus bus(2);
    ASSERT_TRUE(bus.IsRunning());
    ToolRun run(m_dir.Path(), {"--camera", "all", "--frames", "60", "--record", File("run-{camera}.avi")});
    ASSERT_TRUE(WaitForFileSize(File("run-1.avi.csv"), 200));  // frames flow
    ASSERT_TRUE(bus.Busctl({"fault", "lost-frame", "3", "--camera", "1"}).Ok());
    const auto result = run.Wait();
    ASSERT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(SetLine(result.output)[1], 3) << result.output;
    EXPECT_NE(result.output.find("camera 0: "), std::string::npos);
    EXPECT_NE(result.output.find(" missing_sets=0\ncamera 1: "), std::string::npos) << result.output;
    EXPECT_NE(result.output.find(" missing_sets=3\nsets="), std::string::npos) << result.output;
    std::string header;
    long missing = 0;
    for (const auto& row : ReadCsv(File("run.sync.csv"), header)) {
        EXPECT_FALSE(row[2].empty());
        missing += row[3].empty();
    }
    EXPECT_EQ(missing, 3);
}

}  // namespace
