// Reading the cameras' inquiry registers for --list.
#include "tools/kestrix-capture/CameraListing.h"

#include <array>
#include <string>

#include "camera/IidcRegisters.h"
#include "camera/VideoModeTables.h"

namespace {

using DWORD = C1394Dcam::DWORD;
using camera::iidc::InqBit;

constexpr DWORD kVFormatInq = 0x100;
constexpr int kFixedFormats = 3;
constexpr int kModesPerFormat = 8;
constexpr std::array<const char*, 7> kCodingNames{"mono8", "yuv411", "yuv422", "yuv444",
                                                  "rgb",   "mono16", "rgb16"};
constexpr std::array<const char*, camera::kRateCount> kRateNames{"1.875", "3.75", "7.5",
                                                                 "15",    "30",   "60"};

const char* CodingName(int coding) {
    return coding >= 0 && coding < int(kCodingNames.size()) ? kCodingNames[std::size_t(coding)]
                                                            : "unknown";
}

}  // namespace

int CameraListing::Print(C1394Dcam& cam, std::FILE* out) {
    const int cameras = cam.GetDeviceCount(C1394Dcam::kCameraDevices);
    for (int camera = 0; camera < cameras; ++camera) {
        const int device = cam.GetCameraDevice(camera);
        std::fprintf(out, "camera %d: vendor 0x%06X, device %d, %s\n", camera,
                     unsigned(cam.GetVendorId(camera)), device,
                     cam.GetDevicePath(unsigned(device)).c_str());
        PrintFixedModes(cam, camera, out);
        PrintFormat7Modes(cam, camera, out);
    }
    return cameras;
}

void CameraListing::PrintFixedModes(C1394Dcam& cam, int camera, std::FILE* out) {
    DWORD formats = 0;
    if (!cam.ReadRegister(camera, kVFormatInq, &formats)) return;
    for (int format = 0; format < kFixedFormats; ++format) {
        DWORD modes = 0;
        if (!(formats & InqBit(format)) ||
            !cam.ReadRegister(camera, camera::iidc::kVModeInq + 4 * DWORD(format), &modes)) {
            continue;
        }
        for (int mode = 0; mode < kModesPerFormat; ++mode) {
            const int index = format * kModesPerFormat + mode;
            const camera::VideoMode* row = camera::FixedMode(index);
            DWORD rates = 0;
            if (!(modes & InqBit(mode)) || row == nullptr || row->width == 0 ||
                !cam.ReadRegister(camera,
                                  camera::iidc::kVRateInq + 32 * DWORD(format) + 4 * DWORD(mode),
                                  &rates)) {
                continue;
            }
            std::string line = "  " + std::to_string(row->width) + "x" +
                               std::to_string(row->height) + "-" + CodingName(row->colorCoding) +
                               " (mode " + std::to_string(index) + "):";
            for (int rate = 0; rate < camera::kRateCount; ++rate) {
                if (rates & InqBit(rate)) line += std::string(" ") + kRateNames[std::size_t(rate)];
            }
            std::fprintf(out, "%s fps\n", line.c_str());
        }
    }
}

void CameraListing::PrintFormat7Modes(C1394Dcam& cam, int camera, std::FILE* out) {
    DWORD formats = 0;
    DWORD modes = 0;
    if (!cam.ReadRegister(camera, kVFormatInq, &formats) ||
        !(formats & InqBit(camera::iidc::kFormat7)) ||
        !cam.ReadRegister(camera, camera::iidc::kVModeInqFormat7, &modes)) {
        return;
    }
    for (int mode = 0; mode < kModesPerFormat; ++mode) {
        DWORD largest = 0;
        DWORD codings = 0;
        if (!(modes & InqBit(mode)) ||
            !cam.ReadFormat7Register(camera, mode, camera::iidc::kMaxImageSizeInq, &largest,
                                     false) ||
            !cam.ReadFormat7Register(camera, mode, camera::iidc::kColorCodingInq, &codings, true)) {
            continue;
        }
        std::string line = "  " + std::to_string(camera::iidc::High16(largest)) + "x" +
                           std::to_string(camera::iidc::Low16(largest)) + " Format 7 (mode " +
                           std::to_string(camera::kFormat7First + mode) + "):";
        for (int coding = 0; coding < int(kCodingNames.size()); ++coding) {
            if (codings & InqBit(coding))
                line += std::string(" ") + kCodingNames[std::size_t(coding)];
        }
        std::fprintf(out, "%s, the rate set by its packet size\n", line.c_str());
    }
}
