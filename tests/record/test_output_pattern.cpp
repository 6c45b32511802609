// The names of a several-camera recording: each camera's file from the pattern, the sidecar's
// name, and the patterns refused.
#include <gtest/gtest.h>

#include "record/OutputPattern.h"

namespace {

using kestrix::record::OutputPattern;

TEST(OutputPattern, NamesEachCameraAndTheSidecar) {
    const OutputPattern run("out/run-{camera}.avi");
    EXPECT_EQ(run.Expand(3, 0x02CA3E0000010001), "out/run-3.avi");
    EXPECT_EQ(OutputPattern("{guid}_{camera}.ser").Expand(1, 0x02CA3E0000010001),
              "02ca3e0000010001_1.ser");
    const std::pair<const char*, const char*> sidecars[] = {
        {"run-{camera}.avi", "run.sync.csv"},
        {"out/{guid}_cam.tif", "out/cam.sync.csv"},
        {"a/b/run_{guid}-{camera}.mkv", "a/b/run.sync.csv"},
        {"frames-{camera}/%06d.png", "frames.sync.csv"},
        {"cam{camera}_%06d.tif", "cam.sync.csv"},
        {"{camera}.avi", "cameras.sync.csv"},
        {"out.d/{camera}.avi", "out.d.sync.csv"},
    };
    for (const auto& [pattern, sidecar] : sidecars)
        EXPECT_EQ(OutputPattern(pattern).SyncPath(), sidecar) << pattern;
}

TEST(OutputPattern, RefusesWhatCannotNameSeveralFiles) {
    EXPECT_EQ(OutputPattern("run-{camera}.avi").Problem(), "");
    EXPECT_NE(OutputPattern("run.avi").Problem().find("one file for several cameras"),
              std::string::npos);
    EXPECT_NE(OutputPattern("run-{cam}.avi").Problem().find("unknown placeholder '{cam}'"),
              std::string::npos);
    EXPECT_NE(OutputPattern("run-{camera}-{.avi").Problem().find("'{'"), std::string::npos);
}

}  // namespace
