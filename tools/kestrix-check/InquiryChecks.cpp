// The identity and inquiry checks: what the configuration ROM and the inquiry registers say,
// and whether they agree with each other.
#include <cstdio>
#include <string>

#include "camera/CameraFeatures.h"
#include "camera/CameraIdentity.h"
#include "camera/FeatureAccess.h"
#include "camera/IidcRegisters.h"
#include "tools/kestrix-check/Checks.h"

using namespace camera::iidc;
using DWORD = C1394Dcam::DWORD;

namespace {

constexpr std::uint32_t kVFormatInq = 0x100;
constexpr int kIidcCameraKind = 2;  // GetUnitVersion: the unit directory names an IIDC camera

std::string Hex(std::uint64_t value, int digits) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

bool Bit(DWORD bits, int n) { return (bits >> (31 - n) & 1) != 0; }

// The modes of the fixed formats (0..2) listed without a rate; "" when all have rates. Counts
// the listed ones into modes.
std::string ModesWithoutRates(CheckContext& c, DWORD formats, int& modes, bool& readable) {
    std::string missing;
    for (int format = 0; format <= 2; ++format) {
        if (!Bit(formats, format)) continue;
        DWORD listed = 0;
        readable = readable && c.cam.ReadRegister(c.camera, kVModeInq + 4 * DWORD(format), &listed);
        for (int mode = 0; mode < 8 && readable; ++mode) {
            if (!Bit(listed, mode)) continue;
            ++modes;
            DWORD rates = 0;
            readable = c.cam.ReadRegister(c.camera, kVRateInq + 32 * DWORD(format) + 4 * DWORD(mode),
                                          &rates);
            if (readable && (rates & 0xFF000000) == 0)
                missing += " format " + std::to_string(format) + " mode " + std::to_string(mode);
        }
    }
    return missing;
}

// The Format 7 modes listed without a register block.
std::string Format7WithoutBlocks(CheckContext& c, DWORD formats, int& modes, bool& readable) {
    std::string missing;
    DWORD listed = 0;
    if (!Bit(formats, 7)) return missing;
    readable = readable && c.cam.ReadRegister(c.camera, kVModeInqFormat7, &listed);
    for (int mode = 0; mode < 8 && readable; ++mode) {
        if (!Bit(listed, mode)) continue;
        ++modes;
        DWORD block = 0;
        readable = c.cam.ReadRegister(c.camera, kVCsrInq7 + 4 * DWORD(mode), &block);
        if (readable && block == 0) missing += " Format 7 mode " + std::to_string(mode);
    }
    return missing;
}

}  // namespace

namespace checks {

void Identity(CheckContext& c) {
    const CameraIdentity id = CameraIdentity::Read(c.cam, c.camera);
    std::string vendor, model;
    int kind = 0;
    const bool read = c.cam.SelectCamera(c.camera) && c.cam.GetUnitNames(&vendor, &model) &&
                      c.cam.GetUnitVersion(&kind);
    c.report.SetFact("camera.guid", CameraIdentity::GuidText(id.guid));
    c.report.SetFact("camera.vendor", vendor);
    c.report.SetFact("camera.model", model);
    c.report.SetFact("camera.vendor_id", Hex(c.cam.GetVendorId(c.camera), 6));
    c.report.SetFact("camera.command_base", Hex(c.cam.GetCommandBase(c.camera), 6));
    const std::string measured = "GUID " + CameraIdentity::GuidText(id.guid) + ", vendor \"" +
                                 vendor + "\", model \"" + model + "\", vendor id " +
                                 Hex(c.cam.GetVendorId(c.camera), 6) + ", command base " +
                                 Hex(c.cam.GetCommandBase(c.camera), 6);
    std::string problem;
    if (!read) {
        problem = "the configuration ROM could not be read";
    } else if (id.guid == 0) {
        problem = "the bus information block gives no GUID";
    } else if (kind != kIidcCameraKind) {
        problem = "the unit directory names no IIDC camera version";
    } else if (vendor.empty() || model.empty()) {
        problem = "the ROM lacks its vendor or model name leaf";
    }
    if (problem.empty()) {
        c.report.Pass("identity", measured);
    } else {
        c.report.Fail("identity", problem + "; " + measured);
    }
}

void Inquiry(CheckContext& c) {
    DWORD formats = 0;
    bool readable = c.cam.ReadRegister(c.camera, kVFormatInq, &formats);
    int fixed = 0, format7 = 0, features = 0, absolute = 0;
    std::string problems = ModesWithoutRates(c, formats, fixed, readable);
    if (!problems.empty()) problems = "listed without rates:" + problems + ";";
    const std::string blocks = Format7WithoutBlocks(c, formats, format7, readable);
    if (!blocks.empty()) problems += " listed without a register block:" + blocks + ";";
    FeatureAccess access(c.cam, c.camera);
    for (int feature = 0; feature < FeatureAccess::kFeatureCount && readable; ++feature) {
        FeatureAccess::Offer offer;
        readable = access.Inquire(feature, offer);
        if (!readable || !offer.present) continue;
        ++features;
        const bool limited = feature == kTriggerFeature || !offer.manual ||
                             offer.rawMin < offer.rawMax;
        if (!limited) problems += std::string(" ") + CameraFeatures::FeatureName(feature) + " has no limits;";
        if (offer.inquiry & kAbsoluteControl && feature != kTriggerFeature) {
            if (offer.absolute && offer.absoluteMin <= offer.absoluteMax) {
                ++absolute;
            } else {
                problems += std::string(" ") + CameraFeatures::FeatureName(feature) +
                            " claims absolute registers it lacks;";
            }
        }
    }
    const std::string measured = std::to_string(fixed) + " fixed modes, " +
                                 std::to_string(format7) + " Format 7 modes, " +
                                 std::to_string(features) + " features, " +
                                 std::to_string(absolute) + " with absolute registers";
    if (!readable) {
        c.report.Fail("inquiry", "an inquiry register could not be read after " + measured);
    } else if (fixed + format7 == 0) {
        c.report.Fail("inquiry", "no video mode is listed");
    } else if (!problems.empty()) {
        problems.pop_back();
        c.report.Fail("inquiry", problems.substr(problems.front() == ' ' ? 1 : 0));
    } else {
        c.report.Pass("inquiry", measured);
    }
}

}  // namespace checks
