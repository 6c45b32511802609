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

#include "files/CDcamAviFile.h"

namespace {

constexpr int kWidth = 1024, kHeight = 768;
constexpr std::size_t kFrameBytes = std::size_t(kWidth) * kHeight * 3;
constexpr int kDistinctFrames = 8;

using Clock = std::chrono::steady_clock;

std::vector<std::vector<std::uint8_t>> MakeFrames() {
    std::vector<std::vector<std::uint8_t>> frames(kDistinctFrames,
                                                  std::vector<std::uint8_t>(kFrameBytes));
    for (int f = 0; f < kDistinctFrames; ++f) {
        for (std::size_t i = 0; i < kFrameBytes; ++i) frames[f][i] = std::uint8_t(i * 7 + f * 31);
    }
    return frames;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
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

double RecordFfmpeg(const std::filesystem::path& input, const std::filesystem::path& output) {
    const std::string command = "ffmpeg -v error -nostdin -y -f rawvideo -pix_fmt bgr24 -s " +
                                std::to_string(kWidth) + "x" + std::to_string(kHeight) +
                                " -r 30 -i '" + input.string() + "' -c:v rawvideo -f avi '" +
                                output.string() + "'";
    const auto start = Clock::now();
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return SecondsSince(start);
}

}  // namespace

int main(int argc, char** argv) {
    const char* tmp = std::getenv("TMPDIR");
    const std::filesystem::path base = argc > 1 ? argv[1] : tmp ? tmp : "/tmp";
    const int count = argc > 2 ? std::atoi(argv[2]) : 200;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    if (count <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: bench_avi_writer [folder] [frames > 0] [rounds > 0]\n");
        return 2;
    }
    std::string pattern = (base / "kestrix-bench-avi-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        std::perror(base.c_str());
        return 1;
    }
    const std::filesystem::path dir = pattern;

    const auto frames = MakeFrames();
    {
        std::ofstream input(dir / "input.raw", std::ios::binary);
        for (int i = 0; i < count; ++i) {
            input.write(reinterpret_cast<const char*>(frames[i % kDistinctFrames].data()),
                        std::streamsize(kFrameBytes));
        }
    }
    const double megabytes = double(kFrameBytes) * count / 1e6;
    std::printf("%d frames of %dx%d RGB (%.0f MB) into %s\n", count, kWidth, kHeight, megabytes,
                dir.c_str());

    double bestOurs = 1e30, bestFfmpeg = 1e30;
    for (int round = 0; round < rounds; ++round) {
        const double ours = RecordOurs(dir / "ours.avi", frames, count);
        std::filesystem::remove(dir / "ours.avi");
        const double ffmpeg = RecordFfmpeg(dir / "input.raw", dir / "ffmpeg.avi");
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
