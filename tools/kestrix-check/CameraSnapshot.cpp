// Taking and restoring the settings kestrix-check touches.
#include "tools/kestrix-check/CameraSnapshot.h"

#include "camera/CameraFeatures.h"
#include "camera/IidcRegisters.h"

using namespace camera::iidc;

namespace {

constexpr std::uint32_t kBytePerPacket = 0x44;
constexpr std::array<std::uint32_t, 4> kFormat7Registers{kImagePosition, kImageSize,
                                                         kColorCodingId, kBytePerPacket};

}  // namespace

bool CameraSnapshot::Take(C1394Dcam& cam, int camera) {
    FeatureAccess features(cam, camera);
    for (int feature = 0; feature < FeatureAccess::kFeatureCount; ++feature) {
        // Frame rate is read only; the rate follows the mode.
        if (feature == kFrameRateFeature) continue;
        FeatureAccess::Offer offer;
        FeatureAccess::State state;
        if (!features.Inquire(feature, offer)) return false;
        if (!offer.present) continue;
        if (!features.Read(feature, state)) return false;
        m_features[std::size_t(feature)] = {true, state.control,
                                            state.absoluteControl ? state.absolute : std::nullopt};
    }
    if (!cam.ReadRegister(camera, kCurVFormat, &m_format) ||
        !cam.ReadRegister(camera, kCurVMode, &m_mode) ||
        !cam.ReadRegister(camera, kCurVFrmRate, &m_rate) ||
        !cam.ReadRegister(camera, kIsoChannel, &m_isoChannel))
        return false;
    m_format7.clear();
    if (m_format >> 29 == DWORD(kFormat7)) {
        for (const std::uint32_t offset : kFormat7Registers) {
            DWORD value = 0;
            if (!cam.ReadFormat7Register(camera, int(m_mode >> 29), offset, &value, false))
                return false;
            m_format7.emplace_back(offset, value);
        }
    }
    m_taken = true;
    return true;
}

std::vector<std::string> CameraSnapshot::Restore(C1394Dcam& cam, int camera) const {
    std::vector<std::string> failed;
    if (!m_taken) return failed;
    const auto write = [&](DWORD offset, DWORD value, const char* name) {
        if (!cam.WriteRegister(camera, offset, &value)) failed.emplace_back(name);
    };
    // Transmission off first: nothing streams while the set-up is put back.
    write(kIsoEnable, 0, "ISO_EN");
    write(kShot, 0, "one-shot");
    write(kCurVFormat, m_format, "video format");
    write(kCurVMode, m_mode, "video mode");
    write(kCurVFrmRate, m_rate, "frame rate");
    write(kIsoChannel, m_isoChannel, "ISO channel");
    for (const auto& [offset, value] : m_format7) {
        if (!cam.WriteFormat7Register(camera, int(m_mode >> 29), offset, &value, false))
            failed.emplace_back("Format 7 register");
    }
    FeatureAccess features(cam, camera);
    for (int feature = 0; feature < FeatureAccess::kFeatureCount; ++feature) {
        const Feature& saved = m_features[std::size_t(feature)];
        if (!saved.present) continue;
        // The control register carries the mode and the raw value; the absolute value follows
        // where the camera took it.
        bool ok = features.WriteControl(feature, saved.control);
        if (ok && saved.absolute && !(saved.control & kAuto))
            ok = features.WriteAbsolute(feature, *saved.absolute);
        if (!ok) failed.emplace_back(CameraFeatures::FeatureName(feature));
    }
    return failed;
}
