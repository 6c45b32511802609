// Video format, mode, frame-rate and Format 7 set-up, the isochronous channel, and the frame
// geometry of a mode or of the camera's current set-up.
#include <chrono>
#include <thread>

#include "camera/C1394Dcam.h"
#include "camera/IidcRegisters.h"
#include "camera/VideoModeTables.h"
#include "platform/Log.h"

using namespace camera::iidc;
using camera::kFixedModeCount;
using camera::kFormat7First;
using camera::kModeIndexEnd;

namespace {

constexpr int kModesPerFormat = 8;
// CUR_V_FRM_RATE's field is 3 bits: unchecked set-ups may write any index that fits it, even
// one past the rate table.
constexpr int kMaxRateField = 7;
// The colour codings a mode can be set to: 0..6 and RAW8; 7 is "none" here, and the signed
// 16-bit codings (7, 8) are not taken.
bool IsSettableCoding(int coding) {
    return (coding >= 0 && coding <= FrameConverter::Rgb16) || coding == FrameConverter::Raw8;
}
constexpr int kMaxImageSide = 0xFFFF;
// The camera needs a moment to settle a new image area before it can tell its packet limits.
constexpr auto kFormat7Settle = std::chrono::milliseconds(5);

}  // namespace

// ---- Static mode table ----

int C1394Dcam::GetModeWidth(int modeIndex) {
    const camera::VideoMode* mode = camera::FixedMode(modeIndex);
    return mode != nullptr ? mode->width : 0;
}

int C1394Dcam::GetModeHeight(int modeIndex) {
    const camera::VideoMode* mode = camera::FixedMode(modeIndex);
    return mode != nullptr ? mode->height : 0;
}

int C1394Dcam::GetModeFrameBytes(int modeIndex) {
    return static_cast<int>(camera::FixedModeFrameBytes(modeIndex));
}

int C1394Dcam::GetModeColorCoding(int modeIndex) {
    const camera::VideoMode* mode = camera::FixedMode(modeIndex);
    return mode != nullptr ? mode->colorCoding : kColorCodingNone;
}

// ---- Set-up ----

bool C1394Dcam::WriteModeRegisters(int camera, int format, int mode) {
    return WriteCommand(camera, kCurVFormat, DWORD(format) << 29) &&
           WriteCommand(camera, kCurVMode, DWORD(mode) << 29);
}

bool C1394Dcam::SetVideoMode(int camera, int modeIndex, int rateOrCoding, bool noCheck) {
    if (!SelectCamera(camera) || HasCapture(camera)) return false;
    if (modeIndex < 0 || modeIndex >= kModeIndexEnd) return false;
    const bool format7 = modeIndex >= kFormat7First;
    const int format = format7 ? kFormat7 : modeIndex / kModesPerFormat;
    const int mode = format7 ? modeIndex - kFormat7First : modeIndex % kModesPerFormat;
    // A value that does not fit its register field would spill into other bits.
    const int x = rateOrCoding;
    if (format7 ? !IsSettableCoding(x) : x < 0 || x > kMaxRateField) return false;
    if (!noCheck) {
        DWORD modes = 0;
        DWORD listed = 0;
        const bool listedOk =
            format7 ? ReadFormat7Register(camera, mode, kColorCodingInq, &listed, false)
                    : ReadCommand(camera, kVModeInq + 4 * DWORD(format), &modes) &&
                          (modes & InqBit(mode)) &&
                          ReadCommand(camera, kVRateInq + 32 * DWORD(format) + 4 * DWORD(mode),
                                      &listed);
        if (!listedOk || !(listed & InqBit(x))) {
            KX_LOG(Camera, Debug) << "camera " << camera << " does not offer mode " << modeIndex
                                  << (format7 ? " with coding " : " at rate ") << x;
            return false;
        }
    }
    if (!WriteModeRegisters(camera, format, mode)) return false;
    CameraEntry& entry = m_Cameras[camera];
    entry.nMode = modeIndex;
    if (format7) {
        const DWORD coding = DWORD(x) << 24;
        if (!WriteFormat7Register(camera, mode, kColorCodingId, &coding, false)) return false;
        entry.nRate = 0;
    } else {
        if (!WriteCommand(camera, kCurVFrmRate, DWORD(x) << 29)) return false;
        entry.nRate = x;
    }
    KX_LOG(Camera, Info) << "camera " << camera << " set to mode " << modeIndex
                         << (format7 ? ", coding " : ", rate ") << x;
    PrepareReceiveMemory(camera);
    return true;
}

bool C1394Dcam::SetFormat7Mode(int camera, int modeIndex, int colorCoding, const Rect* area) {
    if (!SelectCamera(camera) || HasCapture(camera) || area == nullptr) return false;
    if (modeIndex < kFormat7First || modeIndex >= kModeIndexEnd) return false;
    if (!IsSettableCoding(colorCoding)) return false;
    const int m = modeIndex - kFormat7First;
    // Inclusive edges; an area that is empty or off the register fields is refused up front.
    const long long width = static_cast<long long>(area->right) - area->left + 1;
    const long long height = static_cast<long long>(area->bottom) - area->top + 1;
    if (area->left < 0 || area->top < 0 || area->left > kMaxImageSide ||
        area->top > kMaxImageSide || width < 1 || height < 1 || width > kMaxImageSide ||
        height > kMaxImageSide) {
        return false;
    }

    DWORD codings = 0;
    if (!ReadFormat7Register(camera, m, kColorCodingInq, &codings, false) ||
        !(codings & InqBit(colorCoding))) {
        KX_LOG(Camera, Debug) << "camera " << camera << " does not offer mode " << modeIndex
                              << " with coding " << colorCoding;
        return false;
    }
    // The lookup above holds the block for the rest of this call.
    DWORD units = 0;
    DWORD largest = 0;
    if (!ReadFormat7Register(camera, m, kUnitSizeInq, &units, true)) return false;
    const DWORD hUnit = High16(units);
    const DWORD vUnit = Low16(units);
    if (hUnit == 0 || vUnit == 0 || DWORD(area->left) % hUnit != 0 ||
        DWORD(area->top) % vUnit != 0) {
        return false;
    }
    if (!ReadFormat7Register(camera, m, kMaxImageSizeInq, &largest, true) ||
        High16(largest) < width || Low16(largest) < height) {
        return false;
    }

    if (!WriteModeRegisters(camera, kFormat7, m)) return false;
    CameraEntry& entry = m_Cameras[camera];
    entry.nMode = modeIndex;
    const DWORD coding = DWORD(colorCoding) << 24;
    if (!WriteFormat7Register(camera, m, kColorCodingId, &coding, true)) return false;
    entry.nRate = 0;
    const DWORD position = DWORD(area->left) << 16 | DWORD(area->top);
    const DWORD size = DWORD(width) << 16 | DWORD(height);
    if (!WriteFormat7Register(camera, m, kImagePosition, &position, true) ||
        !WriteFormat7Register(camera, m, kImageSize, &size, true)) {
        return false;
    }
    std::this_thread::sleep_for(kFormat7Settle);

    // The largest packets the camera allows, so a frame takes the fewest cycles.
    DWORD packets = 0;
    if (!ReadFormat7Register(camera, m, kPacketParaInq, &packets, true)) return false;
    const DWORD bytesPerPacket = Low16(packets) << 16 | Low16(packets);
    if (!WriteFormat7Register(camera, m, kBytePerPacket, &bytesPerPacket, true)) return false;
    KX_LOG(Camera, Info) << "camera " << camera << " set to mode " << modeIndex << ", coding "
                         << colorCoding << ", " << width << " x " << height << " at " << area->left
                         << "," << area->top;
    PrepareReceiveMemory(camera);
    return true;
}

bool C1394Dcam::SetIsoChannel(int camera, int speed, int channel) {
    if (speed < 0 || speed > 2 || channel < 0 || channel > 15) return false;
    return WriteCommand(camera, kIsoChannel, DWORD(channel) << 28 | (DWORD(speed) & 3) << 24);
}

// ---- Geometry of the current set-up ----

bool C1394Dcam::ReadCurrentMode(int camera, int* format, int* mode) {
    DWORD formatValue = 0;
    DWORD modeValue = 0;
    if (!ReadCommand(camera, kCurVFormat, &formatValue) ||
        !ReadCommand(camera, kCurVMode, &modeValue)) {
        return false;
    }
    *format = TopField(formatValue);
    *mode = TopField(modeValue);
    return true;
}

int C1394Dcam::CurrentGeometry(int camera, int (*fromRow)(int modeIndex), DWORD format7Offset,
                               DWORD (*fromFormat7)(DWORD value), int failure) {
    int format = 0;
    int mode = 0;
    if (!ReadCurrentMode(camera, &format, &mode)) return failure;
    if (format * kModesPerFormat < kFixedModeCount) return fromRow(format * kModesPerFormat + mode);
    DWORD value = 0;
    if (format != kFormat7 || !ReadFormat7Register(camera, mode, format7Offset, &value, false)) {
        return failure;
    }
    return static_cast<int>(fromFormat7(value));
}

int C1394Dcam::GetWidth(int camera) {
    return CurrentGeometry(camera, GetModeWidth, kImageSize, High16, 0);
}

int C1394Dcam::GetHeight(int camera) {
    return CurrentGeometry(camera, GetModeHeight, kImageSize, Low16, 0);
}

int C1394Dcam::GetFrameBytes(int camera) {
    return CurrentGeometry(
        camera, GetModeFrameBytes, kTotalBytesLoInq, [](DWORD v) { return v; }, 0);
}

int C1394Dcam::GetColorCoding(int camera) {
    return CurrentGeometry(
        camera, GetModeColorCoding, kColorCodingId, [](DWORD v) -> DWORD { return v >> 24; },
        kColorCodingNone);
}

BayerPattern C1394Dcam::GetBayerPattern(int camera, int f7mode) {
    DWORD filter = 0;
    // A camera before IIDC 1.31 has no such register: a refused read names no pattern.
    if (!ReadFormat7Register(camera, f7mode, kColorFilterId, &filter, false))
        return BayerPattern::None;
    return BayerPatternFromFilterId(filter);
}

BayerPattern C1394Dcam::GetBayerPattern(int camera) {
    int format = 0;
    int mode = 0;
    if (!ReadCurrentMode(camera, &format, &mode) || format != kFormat7 ||
        GetColorCoding(camera) != FrameConverter::Raw8) {
        return BayerPattern::None;
    }
    return GetBayerPattern(camera, mode);
}

int C1394Dcam::GetBytesPerPacket(int camera) {
    int format = 0;
    int mode = 0;
    if (!ReadCurrentMode(camera, &format, &mode)) return 0;
    if (format * kModesPerFormat < kFixedModeCount) {
        DWORD rate = 0;
        if (!ReadCommand(camera, kCurVFrmRate, &rate)) return 0;
        return 4 * camera::PacketQuadlets(format * kModesPerFormat + mode, TopField(rate));
    }
    DWORD packets = 0;
    if (format != kFormat7 || !ReadFormat7Register(camera, mode, kPacketParaInq, &packets, false)) {
        return 0;
    }
    // A camera whose unit is its maximum has one packet size; otherwise ask what it sends.
    if (High16(packets) == Low16(packets)) return static_cast<int>(Low16(packets));
    DWORD bytesPerPacket = 0;
    if (!ReadFormat7Register(camera, mode, kBytePerPacket, &bytesPerPacket, true)) return 0;
    return static_cast<int>(High16(bytesPerPacket));
}
