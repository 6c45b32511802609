// The command line of kestrix-capture: its options with their defaults (those of the viewer's
// Connect), their checks, and the help text.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "session/CameraPick.h"

struct CaptureOptions {
    bool help = false;
    bool version = false;
    bool simulate = false;
    bool list = false;
    bool plan = false;  // print the bus plan of the cameras with the mode and rate, then exit
    bool json = false;
    int verbosity = 0;  // -v: 1, -vv: 2
    // The camera: its index in the camera table, as --list numbers them, or its GUID.
    kestrix::session::CameraPick camera;
    // Several --camera options, or --camera all (allCameras): one run records them all, in
    // this order. Empty for a run of one camera.
    std::vector<kestrix::session::CameraPick> cameras;
    bool allCameras = false;

    // A mode as --list names it (WIDTHxHEIGHT-CODING); the camera's offer decides whether it
    // exists.
    std::string modeName = "640x480-rgb";
    std::string rateName = "15";
    int rateIndex = 3;  // unused for Format 7

    std::uint32_t frames = 0;  // 0: record for seconds
    double seconds = 0;

    std::string avi;
    bool convert = false;
    bool standardFourCC = false;  // --fourcc standard: raw frames tagged as decoders know them
    // --record: any format the recording layer writes, chosen by the name, with its frame log.
    std::string record;
    std::string codec = "ffv1";
    bool frameLog = true;
    double preTrigger = 0;  // seconds kept before the event; 0: record from the start
    bool startOnInput = false;
    std::string bmp;
    std::string jpeg;
    int quality = 100;

    // Standard features to read ("all" or names) and NAME=VALUE settings to apply, in order.
    std::vector<std::string> gets;
    std::vector<std::string> sets;

    // --trigger: the trigger mode for this run (kTriggerOff switches it off); empty: as the
    // camera has it. --software-trigger-every: milliseconds between software triggers, 0: none.
    static constexpr int kTriggerOff = -1;
    std::optional<int> trigger;
    std::uint32_t softwareTriggerMs = 0;

    int speed = 2;          // 0, 1, 2: 100, 200, 400 Mbit/s
    int bufferPercent = 0;  // share of free memory for the ring; 0: two seconds of frames
    int accessUnit = 0;     // setting 0..5: 4 to 128 bytes
    bool packetMode = false;
    bool sync = true;
    bool verifyCounter = false;

    bool framesAsked = false;  // --frames, --seconds or an output file given
    bool lengthAsked = false;  // --frames or --seconds given

    bool Recording() const { return !avi.empty() || !record.empty(); }
    // Whether the run is of several cameras (--camera twice or more, or --camera all).
    bool Group() const { return allCameras || cameras.size() > 1; }
    // Whether frames are to be captured: a --get or --set alone only reads or writes features.
    bool Capturing() const { return framesAsked || trigger || (gets.empty() && sets.empty()); }
    // Whether the run sets a trigger, so that frames come only when triggered.
    bool Triggered() const { return trigger && *trigger != kTriggerOff; }

    // The options of args (argv without the program name); empty with error set when they do not
    // hold. Fills in the default length: one frame, or five seconds when recording an AVI.
    static std::optional<CaptureOptions> Parse(std::span<char* const> args, std::string& error);
    static const char* Usage();
};
