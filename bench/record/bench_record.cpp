// Throughput of the recording layer's writers on the same 1360 x 1024 mono 8 frames: SER, TIFF
// and Matroska/FFV1, against 4 x the 1394a bus rate for SER and TIFF, and against
// `ffmpeg -f rawvideo ... -c:v ffv1` encoding the same frames in the same run for FFV1.
//
//   bench_record [folder (default $TMPDIR or /tmp)] [frames (default 150)] [rounds (3)]
//
// Each round writes every file once; the best round of each is reported.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/files/WriterBench.h"
#include "record/FrameWriter.h"

namespace {

constexpr int kWidth = 1360, kHeight = 1024;
constexpr std::size_t kFrameBytes = std::size_t(kWidth) * kHeight;
constexpr int kDistinctFrames = 17;
constexpr double kBusMBps = 4 * 32.768;  // 4 x the 1394a isochronous payload rate

using writerbench::Clock;
using writerbench::Frames;
using writerbench::SecondsSince;

// A camera-like picture: smooth shading, a bright bar that moves, and a little sensor noise.
Frames MakeFrames() {
    Frames frames(kDistinctFrames, std::vector<std::uint8_t>(kFrameBytes));
    std::uint32_t noise = 12345;
    for (int f = 0; f < kDistinctFrames; ++f) {
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                noise = noise * 1103515245 + 12345;
                const bool bar = (x - f * 8 + kWidth) % kWidth < 85;
                const int level = bar ? 224 : (x * 160 / kWidth + y * 60 / kHeight);
                frames[f][std::size_t(y) * kWidth + x] = std::uint8_t(level + (noise >> 29));
            }
        }
    }
    return frames;
}

double RecordOurs(const std::string& path, const Frames& frames, int count) {
    kestrix::record::FrameFormat format;
    format.width = kWidth;
    format.height = kHeight;
    format.fps = 30;
    format.frameBytes = std::uint32_t(kFrameBytes);
    kestrix::record::WriterOptions options;
    options.expectedFrames = std::uint64_t(count);
    const auto start = Clock::now();
    std::string error;
    auto writer = kestrix::record::FrameWriter::Open(path, format, options, error);
    kestrix::session::FrameMetadata meta;
    for (int i = 0; writer && i < count; ++i) {
        meta.sequence = std::uint64_t(i);
        meta.arrivalNs = std::int64_t(i) * 33'333'333;
        if (!writer->Write(frames[std::size_t(i % kDistinctFrames)], meta, error)) break;
    }
    if (!writer || !error.empty() || !writer->Finish(error)) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
        return -1;
    }
    return SecondsSince(start);
}

}  // namespace

int main(int argc, char** argv) {
    const Frames frames = MakeFrames();
    const auto run = writerbench::Start(argc, argv, "bench_record", 150, frames);
    if (!run) return 2;
    const std::filesystem::path& dir = run->dir;
    const int count = run->count, rounds = run->rounds;
    const double megabytes = double(kFrameBytes) * count / 1e6;
    std::printf("%d frames of %dx%d mono 8 (%.0f MB) into %s\n", count, kWidth, kHeight,
                megabytes, dir.c_str());
    const std::vector<std::string> names{"ser", "tif", "mkv"};
    std::map<std::string, double> best;
    double bestFfmpeg = 1e30;
    for (int round = 0; round < rounds; ++round) {
        std::printf("round %d:", round + 1);
        for (const std::string& name : names) {
            const std::string path = (dir / ("ours." + name)).string();
            // Each starts with nothing dirty, not throttled by the writeback of the one before.
            ::sync();
            const double seconds = RecordOurs(path, frames, count);
            std::filesystem::remove(path);
            if (seconds < 0) return 1;
            best[name] = std::min(best.count(name) ? best[name] : 1e30, seconds);
            std::printf(" %s %.0f MB/s,", name.c_str(), megabytes / seconds);
        }
        ::sync();
        const double ffmpeg = writerbench::TimeFfmpeg(
            *run, std::to_string(kWidth) + "x" + std::to_string(kHeight), "gray", "-c:v ffv1",
            dir / "ffmpeg.mkv");
        std::filesystem::remove(dir / "ffmpeg.mkv");
        if (ffmpeg < 0) {
            std::fprintf(stderr, "ffmpeg failed\n");
            return 1;
        }
        bestFfmpeg = std::min(bestFfmpeg, ffmpeg);
        std::printf(" ffmpeg ffv1 %.0f MB/s\n", megabytes / ffmpeg);
    }
    std::filesystem::remove_all(dir);
    for (const std::string& name : {std::string("ser"), std::string("tif")}) {
        std::printf("best %s: %.0f MB/s, %.1f x the target of %.0f MB/s\n", name.c_str(),
                    megabytes / best[name], megabytes / best[name] / kBusMBps, kBusMBps);
    }
    std::printf("best mkv/ffv1: %.0f MB/s (%.0f frames/s), ffmpeg ffv1 %.0f MB/s, ratio %.2f\n",
                megabytes / best["mkv"], count / best["mkv"], megabytes / bestFfmpeg,
                bestFfmpeg / best["mkv"]);
    return 0;
}
