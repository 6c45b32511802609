// Parsing and checking kestrix-capture's options.
#include "tools/kestrix-capture/CaptureOptions.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

namespace {

struct ModeChoice {
    const char* name;
    int modeIndex;
    int colorCoding;
    int width;
    int height;
};

// The modes the viewer offers.
constexpr std::array<ModeChoice, 8> kModes{{
    {"640x480-rgb", 4, 4, 640, 480},
    {"640x480-yuv422", 3, 2, 640, 480},
    {"800x600-rgb", 9, 4, 800, 600},
    {"800x600-yuv422", 8, 2, 800, 600},
    {"1024x768-rgb", 12, 4, 1024, 768},
    {"1024x768-yuv422", 11, 2, 1024, 768},
    {"1360x1024-rgb", 24, 4, 1360, 1024},
    {"1360x1024-yuv422", 24, 2, 1360, 1024},
}};
constexpr std::array<const char*, 4> kRates{"1.875", "3.75", "7.5", "15"};
constexpr std::array<int, 3> kSpeeds{100, 200, 400};
constexpr std::array<int, 6> kAccessUnits{4, 8, 16, 32, 64, 128};

constexpr std::uint32_t kDefaultFrames = 1;
constexpr double kDefaultSeconds = 5;
constexpr double kMaxSeconds = 1e7;

// A whole number in [low, high]; nothing else, not even trailing blanks.
std::optional<long long> WholeNumber(const char* text, long long low, long long high) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < low || value > high) return {};
    return value;
}

template <std::size_t N>
int IndexOf(const std::array<int, N>& values, std::optional<long long> value) {
    for (std::size_t i = 0; value && i < N; ++i) {
        if (values[i] == *value) return int(i);
    }
    return -1;
}

// Sets the option that takes a value; false with error set when the value does not hold.
bool TakeValue(CaptureOptions& o, std::string_view option, const char* value, std::string& error) {
    const auto bad = [&](const std::string& expected) {
        error = "bad value '" + std::string(value) + "' for " + std::string(option) + " (" +
                expected + ")";
        return false;
    };
    if (option == "--mode") {
        for (const ModeChoice& m : kModes) {
            if (m.name == std::string_view(value)) {
                o.modeName = m.name;
                o.modeIndex = m.modeIndex;
                o.colorCoding = m.colorCoding;
                o.width = m.width;
                o.height = m.height;
                return true;
            }
        }
        return bad("one of 640x480-rgb ... 1360x1024-yuv422, see --help");
    }
    if (option == "--rate") {
        for (std::size_t i = 0; i < kRates.size(); ++i) {
            if (kRates[i] == std::string_view(value)) {
                o.rateName = kRates[i];
                o.rateIndex = int(i);
                return true;
            }
        }
        return bad("1.875, 3.75, 7.5 or 15");
    }
    if (option == "--frames") {
        const auto n = WholeNumber(value, 1, 0xFFFFFFFF);
        if (!n) return bad("a whole number from 1");
        o.frames = std::uint32_t(*n);
        return true;
    }
    if (option == "--seconds") {
        char* end = nullptr;
        const double s = std::strtod(value, &end);
        if (end == value || *end != '\0' || !(s > 0) || s > kMaxSeconds) {
            return bad("a number of seconds above 0");
        }
        o.seconds = s;
        return true;
    }
    if (option == "--avi" || option == "--bmp" || option == "--jpeg") {
        if (*value == '\0') return bad("a file name");
        (option == "--avi" ? o.avi : option == "--bmp" ? o.bmp : o.jpeg) = value;
        return true;
    }
    if (option == "--quality") {
        const auto q = WholeNumber(value, 1, 100);
        if (!q) return bad("1 to 100");
        o.quality = int(*q);
        return true;
    }
    if (option == "--speed") {
        o.speed = IndexOf(kSpeeds, WholeNumber(value, 0, 1000));
        return o.speed >= 0 || bad("100, 200 or 400");
    }
    if (option == "--buffer-percent") {
        const auto p = WholeNumber(value, 10, 90);
        if (!p) return bad("10 to 90");
        o.bufferPercent = int(*p);
        return true;
    }
    o.accessUnit = IndexOf(kAccessUnits, WholeNumber(value, 0, 1000));
    return o.accessUnit >= 0 || bad("4, 8, 16, 32, 64 or 128");
}

bool TakesValue(std::string_view option) {
    for (const char* name :
         {"--mode", "--rate", "--frames", "--seconds", "--avi", "--bmp", "--jpeg", "--quality",
          "--speed", "--buffer-percent", "--access-unit"}) {
        if (option == name) return true;
    }
    return false;
}

bool TakeFlag(CaptureOptions& o, std::string_view option) {
    bool* flag = option == "--help" || option == "-h" ? &o.help
                 : option == "--simulate"             ? &o.simulate
                 : option == "--list"                 ? &o.list
                 : option == "--convert"              ? &o.convert
                 : option == "--packet-mode"          ? &o.packetMode
                 : option == "--verify-counter"       ? &o.verifyCounter
                                                      : nullptr;
    if (option == "--no-sync") {
        o.sync = false;
        return true;
    }
    if (flag == nullptr) return false;
    *flag = true;
    return true;
}

// Two outputs that name one file, however spelled (./x, a symlink, a hard link): the second
// writer would destroy what the first wrote.
std::string SameFile(const CaptureOptions& o) {
    namespace fs = std::filesystem;
    const std::pair<const char*, const std::string*> outputs[] = {
        {"--avi", &o.avi}, {"--bmp", &o.bmp}, {"--jpeg", &o.jpeg}};
    const auto same = [](const fs::path& a, const fs::path& b) {
        std::error_code error;
        if (fs::equivalent(a, b, error)) return true;
        const fs::path left = fs::weakly_canonical(fs::absolute(a, error), error);
        const fs::path right = fs::weakly_canonical(fs::absolute(b, error), error);
        return left == right;
    };
    for (std::size_t i = 0; i < std::size(outputs); ++i) {
        for (std::size_t j = i + 1; j < std::size(outputs); ++j) {
            const auto& [first, a] = outputs[i];
            const auto& [second, b] = outputs[j];
            if (!a->empty() && !b->empty() && same(*a, *b)) {
                return std::string(first) + " and " + second + " name the same file '" + *b +
                       "': give each output a file of its own";
            }
        }
    }
    return {};
}

// The combinations that make no sense; empty when there is none.
std::string Conflict(const CaptureOptions& o, const std::vector<std::string_view>& given) {
    const auto has = [&](std::string_view name) {
        for (std::string_view g : given) {
            if (g == name) return true;
        }
        return false;
    };
    if (has("--frames") && has("--seconds")) return "--frames and --seconds exclude each other";
    if (o.convert && o.avi.empty()) return "--convert needs --avi";
    if (has("--quality") && o.jpeg.empty()) return "--quality needs --jpeg";
    if (std::string same = SameFile(o); !same.empty()) return same;
    if (o.list) {
        for (std::string_view g : given) {
            if (g != "--list" && g != "--simulate" && g != "--access-unit") {
                return "--list takes no other option but --simulate and --access-unit";
            }
        }
    }
    return {};
}

}  // namespace

std::optional<CaptureOptions> CaptureOptions::Parse(std::span<char* const> args,
                                                    std::string& error) {
    CaptureOptions o;
    std::vector<std::string_view> given;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view option = args[i];
        given.push_back(option);
        if (TakeFlag(o, option)) continue;
        if (!TakesValue(option)) {
            error = "unknown option '" + std::string(option) + "' (see --help)";
            return {};
        }
        if (i + 1 >= args.size()) {
            error = "missing value for " + std::string(option);
            return {};
        }
        if (!TakeValue(o, option, args[++i], error)) return {};
    }
    if (o.help) return o;
    error = Conflict(o, given);
    if (!error.empty()) return {};
    if (o.frames == 0 && o.seconds == 0) {
        if (o.Recording()) {
            o.seconds = kDefaultSeconds;
        } else {
            o.frames = kDefaultFrames;
        }
    }
    return o;
}

const char* CaptureOptions::Usage() {
    return R"(usage: kestrix-capture [--simulate] [--list] [--mode MODE] [--rate FPS]
                       [--frames N | --seconds S] [--avi FILE [--convert]] [--bmp FILE]
                       [--jpeg FILE [--quality Q]] [--speed 100|200|400]
                       [--buffer-percent 10..90] [--access-unit 4|8|16|32|64|128]
                       [--packet-mode] [--no-sync] [--verify-counter]

Connects to camera 0 as the viewer does, records N frames (or S seconds) into an AVI file,
saves the newest frame as BMP and/or JPEG stills, and prints one summary line:
frames=N dropped=D fps=F lost=L. On a terminal a progress line shows while it records.

  --simulate         start a private simulated bus (kestrix-busd) when none is running
  --list             list the cameras with the modes and rates each offers, then exit
  --mode MODE        640x480-rgb (default), 640x480-yuv422, 800x600-rgb, 800x600-yuv422,
                     1024x768-rgb, 1024x768-yuv422, 1360x1024-rgb, 1360x1024-yuv422
  --rate FPS         1.875, 3.75, 7.5 or 15 (default); 1360x1024 modes run at the camera's rate
  --frames N         record exactly N frames (default 1, or 5 seconds with --avi)
  --seconds S        record for S seconds from the first frame
  --avi FILE         record into FILE; --convert stores 24-bit converted frames instead of
                     the camera's raw frames
  --bmp FILE         save the newest frame as a 24-bit BMP file
  --jpeg FILE        save the newest frame as a JPEG file of quality Q (1..100, default 100)
  --speed S          bus speed in Mbit/s (default 400)
  --buffer-percent P share of the free memory for the frame ring (default 50; 5 frames at least)
  --access-unit U    bytes per register request (default 4)
  --packet-mode      receive packet by packet instead of as a stream
  --no-sync          do not wait for the start-of-frame marker (SY bit)
  --verify-counter   check the frame counter the camera stamps into each frame's first 4 bytes
                     (big-endian) and count its gaps as lost frames

Exit status:
  0    done
  1    the run failed (the camera library, the capture, no frame arriving, frames ceasing
       before the end, a failed stop of the camera); the file keeps what arrived
  2    bad arguments
  3    no camera found (no bus running, or none on it)
  4    the camera refused the mode or rate
  5    an output file cannot be created or written
  6    a bus reset or a device change cut the recording short; the file keeps what arrived
  7    the camera is in use by another program
  130  stopped by SIGINT (143: SIGTERM); the file keeps what arrived
)";
}
