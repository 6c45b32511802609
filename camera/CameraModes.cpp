// Reading the modes a camera offers from its inquiry registers.
#include "camera/CameraModes.h"

#include <algorithm>
#include <array>
#include <regex>

#include "camera/IidcRegisters.h"
#include "camera/VideoModeTables.h"

namespace {

using DWORD = C1394Dcam::DWORD;
using camera::iidc::InqBit;

constexpr DWORD kVFormatInq = 0x100;
constexpr int kFixedFormats = 3;
constexpr int kModesPerFormat = 8;
// By IIDC colour coding id; the signed 16-bit codings (7, 8) are not offered.
constexpr std::array<const char*, 10> kCodingNames{"mono8",  "yuv411", "yuv422", "yuv444", "rgb",
                                                   "mono16", "rgb16",  nullptr,  nullptr,  "raw8"};
constexpr std::array<const char*, camera::kRateCount> kRateNames{"1.875", "3.75", "7.5",
                                                                 "15",    "30",   "60"};

std::string NameOf(unsigned width, unsigned height, int coding) {
    return std::to_string(width) + "x" + std::to_string(height) + "-" +
           CameraModes::CodingName(coding);
}

}  // namespace

bool CameraModes::Mode::Format7() const { return modeIndex >= camera::kFormat7First; }

bool CameraModes::Mode::OffersRate(int rateIndex) const {
    return Format7() ||
           (rateIndex >= 0 && rateIndex < camera::kRateCount && (rates & InqBit(rateIndex)) != 0);
}

const char* CameraModes::CodingName(int coding) {
    const char* name = coding >= 0 && coding < int(kCodingNames.size())
                           ? kCodingNames[std::size_t(coding)]
                           : nullptr;
    return name != nullptr ? name : "unknown";
}

const char* CameraModes::RateName(int rateIndex) {
    return rateIndex >= 0 && rateIndex < camera::kRateCount ? kRateNames[std::size_t(rateIndex)]
                                                            : "?";
}

bool CameraModes::IsModeName(std::string_view name) {
    static const std::regex form(
        "[1-9][0-9]{0,4}x[1-9][0-9]{0,4}-(mono8|yuv411|yuv422|yuv444|rgb|"
        "mono16|rgb16|raw8)");
    return std::regex_match(name.begin(), name.end(), form);
}

std::vector<CameraModes::Mode> CameraModes::Read(C1394Dcam& cam, int camera) {
    std::vector<Mode> modes;
    DWORD formats = 0;
    if (!cam.ReadRegister(camera, kVFormatInq, &formats)) return modes;
    ReadFixed(cam, camera, formats, modes);
    if (formats & InqBit(camera::iidc::kFormat7)) ReadFormat7(cam, camera, modes);
    return modes;
}

std::optional<CameraModes::Mode> CameraModes::Find(C1394Dcam& cam, int camera,
                                                   std::string_view name) {
    for (Mode& mode : Read(cam, camera)) {
        if (mode.name == name) return std::move(mode);
    }
    return {};
}

void CameraModes::ReadFixed(C1394Dcam& cam, int camera, DWORD formats, std::vector<Mode>& modes) {
    for (int format = 0; format < kFixedFormats; ++format) {
        DWORD offered = 0;
        if (!(formats & InqBit(format)) ||
            !cam.ReadRegister(camera, camera::iidc::kVModeInq + 4 * DWORD(format), &offered)) {
            continue;
        }
        for (int mode = 0; mode < kModesPerFormat; ++mode) {
            const int index = format * kModesPerFormat + mode;
            const camera::VideoMode* row = camera::FixedMode(index);
            DWORD rates = 0;
            if (!(offered & InqBit(mode)) || row == nullptr || row->width == 0 ||
                !cam.ReadRegister(camera,
                                  camera::iidc::kVRateInq + 32 * DWORD(format) + 4 * DWORD(mode),
                                  &rates)) {
                continue;
            }
            modes.push_back({NameOf(unsigned(row->width), unsigned(row->height), row->colorCoding),
                             index, row->colorCoding, row->width, row->height, rates});
        }
    }
}

void CameraModes::ReadFormat7(C1394Dcam& cam, int camera, std::vector<Mode>& modes) {
    DWORD offered = 0;
    if (!cam.ReadRegister(camera, camera::iidc::kVModeInqFormat7, &offered)) return;
    for (int mode = 0; mode < kModesPerFormat; ++mode) {
        DWORD largest = 0;
        DWORD codings = 0;
        if (!(offered & InqBit(mode)) ||
            !cam.ReadFormat7Register(camera, mode, camera::iidc::kMaxImageSizeInq, &largest,
                                     false) ||
            !cam.ReadFormat7Register(camera, mode, camera::iidc::kColorCodingInq, &codings, true)) {
            continue;
        }
        const unsigned width = camera::iidc::High16(largest);
        const unsigned height = camera::iidc::Low16(largest);
        for (int coding = 0; coding < int(kCodingNames.size()); ++coding) {
            if (kCodingNames[std::size_t(coding)] == nullptr || !(codings & InqBit(coding)))
                continue;
            // A second Format 7 mode of the same size keeps the name the first one took.
            const std::string name = NameOf(width, height, coding);
            const bool taken = std::any_of(modes.begin(), modes.end(),
                                           [&](const Mode& m) { return m.name == name; });
            if (taken) continue;
            modes.push_back(
                {name, camera::kFormat7First + mode, coding, int(width), int(height), 0});
            if (coding == FrameConverter::Raw8)
                modes.back().bayer = cam.GetBayerPattern(camera, mode);
        }
    }
}
