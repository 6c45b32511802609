// Uses each installed layer once, so that a missing header, library or dependency fails the build
// or the run: writes a JPEG through the files layer and makes an unopened camera object.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "camera/C1394Dcam.h"
#include "camera/VideoModeTables.h"
#include "files/BitmapGeometry.h"
#include "files/JpegWriter.h"
#include "platform/SystemInfo.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: consumer OUTPUT.jpg\n");
        return 2;
    }
    const camera::VideoMode* mode = camera::FixedMode(3);
    if (mode == nullptr || camera::FixedModeFrameBytes(3) == 0) {
        std::fprintf(stderr, "consumer: no 640x480 mode in the table\n");
        return 1;
    }
    C1394Dcam camera;
    if (camera.GetDeviceCount(C1394Dcam::kCameraDevices) != 0) {
        std::fprintf(stderr, "consumer: an unopened camera object lists cameras\n");
        return 1;
    }
    const int width = 32, height = 16;
    std::vector<std::uint8_t> bits(files::BitmapBytes(width, height), 0x80);
    std::string error;
    if (!files::SaveJpegFile(argv[1], bits, width, height, 90, false, false, &error)) {
        std::fprintf(stderr, "consumer: %s\n", error.c_str());
        return 1;
    }
    std::ifstream jpeg(argv[1], std::ios::binary);
    const bool isJpeg = jpeg.get() == 0xFF && jpeg.get() == 0xD8;
    std::printf("consumer: mode 3 is %dx%d, %u bytes free, JPEG %s\n", mode->width, mode->height,
                unsigned(platform::SystemInfo::AvailablePhysicalMemory()),
                isJpeg ? "written" : "MISSING");
    return isJpeg ? 0 : 1;
}
