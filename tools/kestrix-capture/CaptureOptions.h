// The command line of kestrix-capture: its options with their defaults (those of the viewer's
// Connect), their checks, and the help text.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

struct CaptureOptions {
    bool help = false;
    bool simulate = false;
    bool list = false;

    std::string modeName = "640x480-rgb";
    int modeIndex = 4;  // flattened IIDC mode index; 24 is the 1360 x 1024 Format 7 mode
    int colorCoding = 4;
    int width = 640;
    int height = 480;
    std::string rateName = "15";
    int rateIndex = 3;  // unused for Format 7

    std::uint32_t frames = 0;  // 0: record for seconds
    double seconds = 0;

    std::string avi;
    bool convert = false;
    std::string bmp;
    std::string jpeg;
    int quality = 100;

    int speed = 2;  // 0, 1, 2: 100, 200, 400 Mbit/s
    int bufferPercent = 50;
    int accessUnit = 0;  // setting 0..5: 4 to 128 bytes
    bool packetMode = false;
    bool sync = true;
    bool verifyCounter = false;

    bool Recording() const { return !avi.empty(); }

    // The options of args (argv without the program name); empty with error set when they do not
    // hold. Fills in the default length: one frame, or five seconds when recording an AVI.
    static std::optional<CaptureOptions> Parse(std::span<char* const> args, std::string& error);
    static const char* Usage();
};
