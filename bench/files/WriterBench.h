// What the file writers' benchmarks share: their command line (folder, frames, rounds), a
// scratch folder in it with the frames as one raw file for ffmpeg, and timing ffmpeg on it.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace writerbench {

using Clock = std::chrono::steady_clock;
using Frames = std::vector<std::vector<std::uint8_t>>;

struct Run {
    std::filesystem::path dir;  // made for this run; holds input.raw
    int count = 0;
    int rounds = 0;
};

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Parses [folder] [frames] [rounds], makes the folder and writes count frames into input.raw;
// nothing (reported) when it cannot.
inline std::optional<Run> Start(int argc, char** argv, const char* name, int defaultCount,
                                const Frames& frames) {
    const char* tmp = std::getenv("TMPDIR");
    const std::filesystem::path base = argc > 1 ? argv[1] : tmp ? tmp : "/tmp";
    Run run{{}, argc > 2 ? std::atoi(argv[2]) : defaultCount, argc > 3 ? std::atoi(argv[3]) : 3};
    if (run.count <= 0 || run.rounds <= 0) {
        std::fprintf(stderr, "usage: %s [folder] [frames > 0] [rounds > 0]\n", name);
        return {};
    }
    std::string pattern = (base / (std::string("kestrix-") + name + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) {
        std::perror(base.c_str());
        return {};
    }
    run.dir = pattern;
    std::ofstream input(run.dir / "input.raw", std::ios::binary);
    for (int i = 0; i < run.count; ++i) {
        const auto& frame = frames[std::size_t(i) % frames.size()];
        input.write(reinterpret_cast<const char*>(frame.data()), std::streamsize(frame.size()));
    }
    return run;
}

// Seconds ffmpeg takes to turn input.raw (WIDTHxHEIGHT frames of pixFmt at 30 fps) into output
// with the output options given; -1 when it fails.
inline double TimeFfmpeg(const Run& run, const std::string& size, const std::string& pixFmt,
                         const std::string& outputOptions, const std::filesystem::path& output) {
    const std::string command = "ffmpeg -v error -nostdin -y -f rawvideo -pix_fmt " + pixFmt +
                                " -s " + size + " -r 30 -i '" + (run.dir / "input.raw").string() +
                                "' " + outputOptions + " '" + output.string() + "'";
    const auto start = Clock::now();
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return SecondsSince(start);
}

}  // namespace writerbench
