// Recording throughput of CDcamAviFile against `ffmpeg -f rawvideo ... -c:v rawvideo out.avi`
// writing the same 1024 x 768 RGB frames to the same disk in the same run.
//
//   bench_avi_writer [folder (default $TMPDIR or /tmp)] [frames (default 200)] [rounds (3)]
//
// Each round writes both files once; the best round of each is reported, with the ratio.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/files/WriterBench.h"
#include "files/CDcamAviFile.h"

namespace {

constexpr int kWidth = 1024, kHeight = 768;
constexpr std::size_t kFrameBytes = std::size_t(kWidth) * kHeight * 3;
constexpr int kDistinctFrames = 8;

using writerbench::Clock;
using writerbench::SecondsSince;

std::vector<std::vector<std::uint8_t>> MakeFrames() {
    std::vector<std::vector<std::uint8_t>> frames(kDistinctFrames,
                                                  std::vector<std::uint8_t>(kFrameBytes));
    for (int f = 0; f < kDistinctFrames; ++f) {
        for (std::size_t i = 0; i < kFrameBytes; ++i) frames[f][i] = std::uint8_t(i * 7 + f * 31);
    }
    return frames;
}

// Seconds to record the frames through the AVI writer, finishing and closing included.
double RecordOurs(const std::filesystem::path& path,
                  const std::vector<std::vector<std::uint8_t>>& frames, int count) {
    const auto start = Clock::now();
    files::CDcamAviFile avi;
    if (!avi.Open(path) || !avi.SetFormat(4, kWidth, kHeight, 33333, false)) return -1;
    for (int i = 0; i < count; ++i) {
        if (avi.WriteFrame(frames[i % kDistinctFrames]) !=
            files::CDcamAviFile::WriteResult::Written) {
            return -1;
        }
    }
    if (!avi.Finish()) return -1;
    return SecondsSince(start);
}

}  // namespace

int main(int argc, char** argv) {
    const auto frames = MakeFrames();
    const auto run = writerbench::Start(argc, argv, "bench_avi_writer", 200, frames);
    if (!run) return 2;
    const std::filesystem::path& dir = run->dir;
    const int count = run->count, rounds = run->rounds;
    const double megabytes = double(kFrameBytes) * count / 1e6;
    std::printf("%d frames of %dx%d RGB (%.0f MB) into %s\n", count, kWidth, kHeight, megabytes,
                dir.c_str());

    double bestOurs = 1e30, bestFfmpeg = 1e30;
    for (int round = 0; round < rounds; ++round) {
        const double ours = RecordOurs(dir / "ours.avi", frames, count);
        std::filesystem::remove(dir / "ours.avi");
        const double ffmpeg = writerbench::TimeFfmpeg(
            *run, std::to_string(kWidth) + "x" + std::to_string(kHeight), "bgr24",
            "-c:v rawvideo -f avi", dir / "ffmpeg.avi");
        std::filesystem::remove(dir / "ffmpeg.avi");
        if (ours < 0 || ffmpeg < 0) {
            std::fprintf(stderr, "round %d failed (writer %s, ffmpeg %s)\n", round + 1,
                         ours < 0 ? "failed" : "ok", ffmpeg < 0 ? "failed" : "ok");
            std::filesystem::remove_all(dir);
            return 1;
        }
        std::printf("round %d: CDcamAviFile %.0f MB/s, ffmpeg %.0f MB/s\n", round + 1,
                    megabytes / ours, megabytes / ffmpeg);
        bestOurs = std::min(bestOurs, ours);
        bestFfmpeg = std::min(bestFfmpeg, ffmpeg);
    }
    std::filesystem::remove_all(dir);
    std::printf("best: CDcamAviFile %.0f MB/s (%.0f frames/s), ffmpeg %.0f MB/s, ratio %.2f\n",
                megabytes / bestOurs, count / bestOurs, megabytes / bestFfmpeg,
                bestFfmpeg / bestOurs);
    return 0;
}
