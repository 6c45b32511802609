// Parsing and checking kestrix-capture's options.
#include "tools/kestrix-capture/CaptureOptions.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string_view>
#include <utility>

#include "camera/CameraFeatures.h"
#include "camera/CameraModes.h"
#include "common/CommandLine.h"
#include "record/FrameWriter.h"
#include "record/OutputPattern.h"

namespace {

constexpr std::array<const char*, 6> kRates{"1.875", "3.75", "7.5", "15", "30", "60"};
constexpr std::array<int, 3> kSpeeds{100, 200, 400};
constexpr std::array<int, 6> kAccessUnits{4, 8, 16, 32, 64, 128};

constexpr std::uint32_t kDefaultFrames = 1;
constexpr double kDefaultSeconds = 5;
constexpr double kMaxSeconds = 1e7;
constexpr double kMaxPreTrigger = 3600;
constexpr long long kMaxTriggerMode = 15;
constexpr long long kMaxTriggerMs = 3'600'000;
constexpr int kMaxCamera = 63;

constexpr CommandLine::Option kOptions[] = {
    {"simulate"},
    {"list"},
    {"plan"},
    {"json"},
    {"verbose", false, 'v'},
    {"camera", true},
    {"mode", true},
    {"rate", true},
    {"frames", true},
    {"seconds", true},
    {"avi", true},
    {"record", true},
    {"codec", true},
    {"no-frame-log"},
    {"pre-trigger", true},
    {"start-on-input"},
    {"convert"},
    {"fourcc", true},
    {"bmp", true},
    {"jpeg", true},
    {"quality", true},
    {"get", true},
    {"set", true},
    {"trigger", true},
    {"software-trigger-every", true},
    {"speed", true},
    {"buffer-percent", true},
    {"access-unit", true},
    {"packet-mode"},
    {"no-sync"},
    {"verify-counter"},
};

// A whole number in [low, high]; nothing else, not even trailing blanks.
std::optional<long long> WholeNumber(const std::string& text, long long low, long long high) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || errno != 0 || value < low || value > high) return {};
    return value;
}

template <std::size_t N>
int IndexOf(const std::array<int, N>& values, std::optional<long long> value) {
    for (std::size_t i = 0; value && i < N; ++i) {
        if (values[i] == *value) return int(i);
    }
    return -1;
}

// Sets a flag; false when name is not one.
bool TakeFlag(CaptureOptions& o, const std::string& name) {
    bool* flag = name == "simulate"         ? &o.simulate
                 : name == "list"           ? &o.list
                 : name == "plan"           ? &o.plan
                 : name == "json"           ? &o.json
                 : name == "convert"        ? &o.convert
                 : name == "packet-mode"    ? &o.packetMode
                 : name == "verify-counter" ? &o.verifyCounter
                 : name == "start-on-input" ? &o.startOnInput
                                            : nullptr;
    if (name == "no-sync") {
        o.sync = false;
    } else if (name == "no-frame-log") {
        o.frameLog = false;
    } else if (name == "verbose") {
        ++o.verbosity;
    } else if (flag != nullptr) {
        *flag = true;
    } else {
        return false;
    }
    return true;
}

// What a value of the option must be, or empty when value holds (and is taken).
std::string TakeOutput(CaptureOptions& o, const std::string& name, const std::string& value) {
    if (value.empty()) return "a file name";
    (name == "avi" ? o.avi : name == "record" ? o.record : name == "bmp" ? o.bmp : o.jpeg) = value;
    o.framesAsked = true;
    return {};
}

std::string TakeLength(CaptureOptions& o, const std::string& name, const std::string& value) {
    o.framesAsked = true;
    o.lengthAsked = true;
    if (name == "frames") {
        const auto n = WholeNumber(value, 1, 0xFFFFFFFF);
        if (!n) return "a whole number from 1";
        o.frames = std::uint32_t(*n);
        return {};
    }
    char* end = nullptr;
    const double s = std::strtod(value.c_str(), &end);
    if (end == value.c_str() || *end != '\0' || !(s > 0) || s > kMaxSeconds) {
        return "a number of seconds above 0";
    }
    o.seconds = s;
    return {};
}

std::string TakeValue(CaptureOptions& o, const std::string& name, const std::string& value) {
    if (name == "avi" || name == "record" || name == "bmp" || name == "jpeg")
        return TakeOutput(o, name, value);
    if (name == "codec") {
        if (value != "ffv1" && value != "h264") return "ffv1 or h264";
        o.codec = value;
        return {};
    }
    if (name == "pre-trigger") {
        char* end = nullptr;
        const double s = std::strtod(value.c_str(), &end);
        if (end == value.c_str() || *end != '\0' || !(s > 0) || s > kMaxPreTrigger)
            return "seconds above 0, at most 3600";
        o.preTrigger = s;
        return {};
    }
    if (name == "frames" || name == "seconds") return TakeLength(o, name, value);
    if (name == "mode") {
        if (!CameraModes::IsModeName(value)) return "WIDTHxHEIGHT-CODING as --list names it";
        o.modeName = value;
        return {};
    }
    if (name == "rate") {
        for (std::size_t i = 0; i < kRates.size(); ++i) {
            if (kRates[i] == value) {
                o.rateName = kRates[i];
                o.rateIndex = int(i);
                return {};
            }
        }
        return "1.875, 3.75, 7.5, 15, 30 or 60";
    }
    if (name == "camera") {
        if (value == "all") {
            o.allCameras = true;
            return {};
        }
        const auto pick = kestrix::session::CameraPick::Parse(value);
        if (!pick || (!pick->guid && pick->index > kMaxCamera)) {
            return "a camera number from 0, as --list shows them, its GUID of 16 hex digits, or "
                   "all";
        }
        o.camera = *pick;
        o.cameras.push_back(*pick);
        return {};
    }
    if (name == "get") {
        if (value != "all" && !CameraFeatures::IsName(value)) return CameraFeatures::NameHint();
        o.gets.push_back(value);
        return {};
    }
    if (name == "set") {
        const std::string problem = CameraFeatures::CheckSetting(value);
        if (!problem.empty()) return problem;
        o.sets.push_back(value);
        return {};
    }
    if (name == "trigger") {
        const auto mode = value == "off" ? std::optional<long long>(CaptureOptions::kTriggerOff)
                                         : WholeNumber(value, 0, kMaxTriggerMode);
        if (!mode) return "a trigger mode 0..15, or off";
        o.trigger = int(*mode);
        return {};
    }
    if (name == "software-trigger-every") {
        const auto ms = WholeNumber(value, 1, kMaxTriggerMs);
        if (!ms) return "milliseconds from 1 to 3600000";
        o.softwareTriggerMs = std::uint32_t(*ms);
        return {};
    }
    if (name == "fourcc") {
        if (value != "camera" && value != "standard") return "standard or camera";
        o.standardFourCC = value == "standard";
        return {};
    }
    if (name == "quality") {
        const auto q = WholeNumber(value, 1, 100);
        if (!q) return "1 to 100";
        o.quality = int(*q);
        return {};
    }
    if (name == "speed") {
        o.speed = IndexOf(kSpeeds, WholeNumber(value, 0, 1000));
        return o.speed >= 0 ? std::string() : "100, 200 or 400";
    }
    if (name == "buffer-percent") {
        const auto p = WholeNumber(value, 10, 90);
        if (!p) return "10 to 90";
        o.bufferPercent = int(*p);
        return {};
    }
    o.accessUnit = IndexOf(kAccessUnits, WholeNumber(value, 0, 1000));
    return o.accessUnit >= 0 ? std::string() : "4, 8, 16, 32, 64 or 128";
}

// Two outputs that name one file, however spelled (./x, a symlink, a hard link): the second
// writer would destroy what the first wrote.
std::string SameFile(const CaptureOptions& o) {
    namespace fs = std::filesystem;
    const std::pair<const char*, const std::string*> outputs[] = {
        {"--avi", &o.avi}, {"--record", &o.record}, {"--bmp", &o.bmp}, {"--jpeg", &o.jpeg}};
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

// What a run of several cameras does not do; empty when there is none of it.
std::string GroupConflict(const CaptureOptions& o, const CommandLine::Parsed& line) {
    if (o.allCameras && !o.cameras.empty()) return "--camera all names every camera already";
    for (std::size_t i = 0; i < o.cameras.size(); ++i) {
        for (std::size_t j = i + 1; j < o.cameras.size(); ++j) {
            if (o.cameras[i].guid == o.cameras[j].guid &&
                (o.cameras[i].guid || o.cameras[i].index == o.cameras[j].index))
                return "--camera names " + o.cameras[i].Text() + " twice";
        }
    }
    if (!o.avi.empty())
        return "--avi records one camera: give several cameras --record with {camera} in its "
               "name (--record 'run-{camera}.avi')";
    for (const char* option : {"pre-trigger", "start-on-input", "bmp", "jpeg", "get", "trigger",
                               "software-trigger-every", "verify-counter", "list"}) {
        if (line.Has(option)) return std::string("--") + option + " takes one camera";
    }
    if (!o.record.empty()) return kestrix::record::OutputPattern(o.record).Problem();
    return {};
}

// The combinations that make no sense; empty when there is none.
std::string Conflict(const CaptureOptions& o, const CommandLine::Parsed& line) {
    if (line.Has("frames") && line.Has("seconds"))
        return "--frames and --seconds exclude each other";
    if (o.convert && o.avi.empty()) return "--convert needs --avi";
    if (!o.avi.empty() && !o.record.empty())
        return "--avi and --record exclude each other (--record FILE.avi writes the same file)";
    if (o.record.empty()) {
        for (const char* option : {"codec", "no-frame-log", "pre-trigger"}) {
            if (line.Has(option)) return std::string("--") + option + " needs --record";
        }
    }
    if (o.startOnInput && o.preTrigger == 0) return "--start-on-input needs --pre-trigger";
    if (o.Group()) {
        if (std::string problem = GroupConflict(o, line); !problem.empty()) return problem;
    }
    if (!o.record.empty()) {
        // A pattern's files are named as its first camera's would be.
        const std::string file =
            o.Group() ? kestrix::record::OutputPattern(o.record).Expand(0, 1) : o.record;
        if (std::string problem = kestrix::record::FrameWriter::NameProblem(file); !problem.empty())
            return problem;
        if (o.codec != "ffv1" && kestrix::record::FrameWriter::KindOf(file) !=
                                     kestrix::record::FrameWriter::Kind::Mkv)
            return "--codec is for .mkv files";
    }
    if (line.Has("fourcc") && o.avi.empty()) return "--fourcc needs --avi";
    if (line.Has("fourcc") && o.convert)
        return "--fourcc names the tag of raw frames: converted frames (--convert) carry none";
    if (line.Has("quality") && o.jpeg.empty()) return "--quality needs --jpeg";
    if (o.softwareTriggerMs != 0 && (!o.trigger || *o.trigger == CaptureOptions::kTriggerOff))
        return "--software-trigger-every needs --trigger MODE";
    if (std::string same = SameFile(o); !same.empty()) return same;
    if (o.plan && (o.list || o.framesAsked || !o.gets.empty() || !o.sets.empty() || o.trigger))
        return "--plan only plans: it takes no --list, output, length, --get, --set or --trigger";
    if (o.list) {
        for (const CommandLine::Given& g : line.options) {
            if (g.name != "list" && g.name != "simulate" && g.name != "access-unit" &&
                g.name != "verbose") {
                return "--list takes no other option but --simulate, --access-unit and -v";
            }
        }
    }
    return {};
}

}  // namespace

std::optional<CaptureOptions> CaptureOptions::Parse(std::span<char* const> args,
                                                    std::string& error) {
    const auto line = CommandLine::Parse(args, kOptions, CommandLine::Operands::Anywhere, error);
    if (!line) return {};
    CaptureOptions o;
    o.help = line->help;
    o.version = line->version;
    if (o.help || o.version) return o;
    if (!line->operands.empty()) {
        error = "unexpected argument '" + line->operands.front() + "' (see --help)";
        return {};
    }
    for (const CommandLine::Given& g : line->options) {
        if (TakeFlag(o, g.name)) continue;
        if (const std::string expected = TakeValue(o, g.name, g.value); !expected.empty()) {
            error = "bad value '" + g.value + "' for --" + g.name + " (" + expected + ")";
            return {};
        }
    }
    error = Conflict(o, *line);
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
    return R"(usage: kestrix-capture [--simulate] [--list] [--plan] [--camera N|GUID|all]... [--mode MODE]
                       [--rate FPS] [--frames N | --seconds S]
                       [--avi FILE [--convert | --fourcc TAGS]]
                       [--record FILE [--codec ffv1|h264] [--no-frame-log]
                        [--pre-trigger S [--start-on-input]]] [--bmp FILE]
                       [--jpeg FILE [--quality Q]] [--get all|FEATURE]... [--set FEATURE=VALUE]...
                       [--trigger MODE|off [--software-trigger-every MS]]
                       [--json] [-v|-vv] [--speed 100|200|400] [--buffer-percent 10..90]
                       [--access-unit 4|8|16|32|64|128] [--packet-mode] [--no-sync]
                       [--verify-counter]

Connects to a camera as the viewer does, records N frames (or S seconds) into a file,
saves the newest frame as BMP and/or JPEG stills, and prints one summary line:
frames=N dropped=D fps=F lost=L short=S. On a terminal a progress line shows while it records.
Options take their value as --opt VALUE or --opt=VALUE; -- ends the options.

  --simulate         start a private simulated bus (kestrix-busd) when none is running;
                     without it, a private FireWire bridge (kestrix-fwd) serves the
                     machine's cameras when no bus daemon runs
  --list             list the cameras with the modes and rates each offers, then exit
  --plan             print each camera's share of the bus with the mode and rate given (a
                     Format 7 camera: the largest packet the bus has left for it) and
                     whether they fit; exit 0 when they do, 4 with the fix when not
  --camera N|GUID    the camera to use, numbered as --list shows them (default 0), or its
                     GUID (16 hex digits, 0x optional), which names it whatever else is on
                     the bus. Given twice or more, or as --camera all (every camera), one
                     run records every camera named, started together, their frames paired
                     into sets by bus cycle: --record takes a name with {camera} (the index)
                     or {guid} (the GUID), e.g. 'run-{camera}.avi', one file per camera and
                     NAME.sync.csv (run.sync.csv) with a row per set; the summary has a line
                     per camera and sets=N incomplete=K max_skew_cycles=S. --avi, stills,
                     --get, --trigger, --pre-trigger and --verify-counter take one camera
                     (docs/several-cameras.md)
  --mode MODE        a mode as --list names it: WIDTHxHEIGHT-CODING, CODING one of mono8,
                     yuv411, yuv422, yuv444, rgb, mono16, rgb16, raw8 (default 640x480-rgb);
                     Format 7 modes by their largest size, e.g. 1360x1024-mono8
  --rate FPS         1.875, 3.75, 7.5, 15 (default), 30 or 60, as the mode offers them;
                     Format 7 modes run at the rate their packet size gives
  --frames N         record exactly N frames (default 1, or 5 seconds with --avi or
                     --record; with --pre-trigger, N from the event's frame on)
  --seconds S        record for S seconds from the first frame
  --avi FILE         record into FILE; --convert stores 24-bit converted frames instead of
                     the camera's raw frames
  --record FILE      record into FILE, its format chosen by its name: .avi (as --avi),
                     .ser, .tif/.tiff (one multi-page TIFF), .mkv (FFV1, lossless), or a
                     pattern with one %d for a file a frame (frames/%06d.png, %06d.tif);
                     FILE.csv lists every frame written with its times, FILE.json the
                     camera, mode and features (docs/recording.md)
  --codec C          the .mkv codec: ffv1 (default, lossless) or h264 (small, lossy)
  --no-frame-log     write no FILE.csv and FILE.json
  --pre-trigger S    keep at least S seconds of frames in the ring and start writing only
                     on SIGUSR1, beginning with the frames of the S seconds before it
  --start-on-input   with --pre-trigger, a line on standard input starts it too
  --fourcc TAGS      the FourCC of raw frames in the AVI file: camera (default), the camera
                     maker's tags, or standard, the tags ffmpeg and players decode (Y800,
                     Y411, UYVY, "raw ", b16g, b48r; YUV 4:4:4 has none: dcy3 stays)
  --bmp FILE         save the newest frame as a 24-bit BMP file
  --jpeg FILE        save the newest frame as a JPEG file of quality Q (1..100, default 100)
  --get FEATURE      print a standard feature as FEATURE=VALUE, with its value in real units
                     beside where the camera has them: shutter=2048 (33.33 ms); "all" prints
                     every one the camera has (repeatable)
  --set FEATURE=VALUE
                     set a standard feature before any recording: a number (switches it on
                     and to manual), a value with its unit (shutter=10ms, 250us or 0.5s,
                     gain=6dB, brightness=50%, white-balance=5000K, temperature=290K), auto,
                     off, on or one-push; white-balance takes U,V (repeatable, in order)
                     FEATURE: brightness, auto-exposure, sharpness, white-balance, hue,
                     saturation, gamma, shutter, gain, iris, focus, temperature, trigger,
                     zoom, pan, tilt, optical-filter, frame-rate
  --trigger MODE     for this run, switch the camera's trigger on in MODE (0..15 as the
                     camera offers them; 0: one frame per trigger) or off; the camera then
                     sends a frame only when triggered, and its own setting comes back after
                     the run. Without --software-trigger-every it waits for its trigger input
                     (kestrix-busctl trigger N on the simulated bus)
  --software-trigger-every MS
                     trigger the camera by software every MS milliseconds
                     --get and --set without --frames, --seconds or an output only read or
                     write the features and exit
  --json             print the summary as one JSON object instead (frames, dropped, fps,
                     bytes, lost, short, read errors, files, features read, exit reason,
                     exit status)
  -v, --verbose      report more on stderr; -vv (or -v -v) more still
  --speed S          bus speed in Mbit/s (default 400)
  --buffer-percent P share of the free memory for the frame ring (default: two seconds of
                     frames, 5 at least)
  --access-unit U    bytes per register request (default 4)
  --packet-mode      receive packet by packet instead of as a stream
  --no-sync          do not wait for the start-of-frame marker (SY bit)
  --verify-counter   check the frame counter the camera stamps into each frame's first 4 bytes
                     (big-endian) and report its gaps as gaps=G beside lost=L
  -h, --help         show this help and exit
      --version      show the version and exit

Exit status:
  0    done
  1    the run failed (the camera library, the capture, no frame arriving, frames ceasing
       before the end, a failed stop of the camera, a failed feature write, stdout that
       cannot be written); the file keeps what arrived
  2    bad arguments (an unknown feature name among them)
  3    no camera found (no bus running, none on it, or no camera N or GUID)
  4    the camera does not offer the mode or rate, or refused it; --plan: they do not fit
  5    an output file cannot be created or written, or it vanished while recording
  6    a bus reset or a device change cut the recording short; the file keeps what arrived
  7    the camera is in use by another program
  8    a feature the camera does not have, a value out of its range, or one it did not take
  128+N  stopped by signal N: 129 SIGHUP, 130 SIGINT, 131 SIGQUIT, 143 SIGTERM; the file
         keeps what arrived and the camera is switched off
)";
}
