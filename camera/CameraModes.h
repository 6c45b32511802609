// The video modes a camera offers, as its inquiry registers tell them, under the names that
// kestrix-capture's --list prints and every front end takes: WIDTHxHEIGHT-CODING (640x480-rgb,
// 1360x1024-mono8, 1360x1024-raw8).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "camera/C1394Dcam.h"

class CameraModes {
public:
    struct Mode {
        std::string name;
        int modeIndex = -1;  // flattened IIDC index; 24..31 Format 7
        int colorCoding = 0;
        int width = 0;
        int height = 0;
        std::uint32_t rates = 0;  // fixed modes: inquiry bits of the rates offered
        BayerPattern bayer = BayerPattern::None;  // RAW8: the sensor's colour filter, if known

        bool Format7() const;
        bool OffersRate(int rateIndex) const;
    };

    // Every mode the camera offers: the fixed ones, then each Format 7 mode in each colour
    // coding it lists. Empty when the camera does not answer.
    static std::vector<Mode> Read(C1394Dcam& cam, int camera);
    // The offered mode of that name.
    static std::optional<Mode> Find(C1394Dcam& cam, int camera, std::string_view name);
    // Whether name has the form of a mode name, whatever the camera offers.
    static bool IsModeName(std::string_view name);
    static const char* CodingName(int coding);
    static const char* RateName(int rateIndex);

private:
    static void ReadFixed(C1394Dcam& cam, int camera, std::uint32_t formats,
                          std::vector<Mode>& modes);
    static void ReadFormat7(C1394Dcam& cam, int camera, std::vector<Mode>& modes);
};
