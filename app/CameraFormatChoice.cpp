// Keeping a camera's format choice in the settings, one group per GUID.
#include "app/CameraFormatChoice.h"

#include <QSettings>

#include "camera/BusBandwidth.h"
#include "session/CameraInfo.h"
#include "camera/CameraModes.h"
#include "camera/VideoModeTables.h"

namespace {

QString Group(std::uint64_t guid) {
    return "CameraFormat/" + QString::fromStdString(kestrix::session::CameraInfo::GuidText(guid));
}

}  // namespace

double CameraFormatChoice::Fps() const {
    if (Format7())
        return Format7Geometry::FrameRate(Format7Geometry::FrameBytes(region, coding),
                                          bytesPerPacket);
    return 1.875 * double(1 << rateIndex);
}

int CameraFormatChoice::PacketBytes() const {
    return Format7() ? bytesPerPacket : 4 * camera::PacketQuadlets(modeIndex, rateIndex);
}

unsigned CameraFormatChoice::UnitsLeft(C1394Dcam& cam, int camera) {
    const unsigned used = BusBandwidth::UnitsInUse(cam, camera);
    return used < BusBandwidth::kUnitsPerCycle ? BusBandwidth::kUnitsPerCycle - used : 0;
}

QString CameraFormatChoice::BandwidthProblem(unsigned unitsLeft) const {
    const std::string why = BusBandwidth::Refusal(unsigned(PacketBytes()), speed, unitsLeft);
    return why.empty() ? QString()
                       : QString("The bus cannot carry %1: %2.").arg(Text(), why.c_str());
}

kestrix::session::StreamConfig CameraFormatChoice::Config(
    kestrix::session::StreamConfig base) const {
    base.mode.modeIndex = modeIndex;
    base.mode.colorCoding = coding;
    base.mode.width = Width();
    base.mode.height = Height();
    base.rateIndex = rateIndex;
    base.speed = speed;
    if (Format7()) {
        base.region = region;
        base.packetBytes = bytesPerPacket;
    }
    return base;
}

QString CameraFormatChoice::Text() const {
    const QString size =
        QString("%1x%2/%3").arg(Width()).arg(Height()).arg(CameraModes::CodingName(coding));
    if (Format7()) return QString("%1/Format 7/%2fps").arg(size).arg(Fps(), 0, 'g', 3);
    return QString("%1/%2fps").arg(size, CameraModes::RateName(rateIndex));
}

std::optional<CameraFormatChoice> CameraFormatChoice::Load(std::uint64_t guid) {
    QSettings settings("Tarnwell", "KestrixView");
    settings.beginGroup(Group(guid));
    if (!settings.contains("Mode")) return std::nullopt;
    CameraFormatChoice c;
    c.modeIndex = settings.value("Mode", -1).toInt();
    c.rateIndex = settings.value("Rate", 0).toInt();
    c.coding = settings.value("Coding", 0).toInt();
    c.region = {settings.value("Left", 0).toInt(), settings.value("Top", 0).toInt(),
                settings.value("Width", 0).toInt(), settings.value("Height", 0).toInt()};
    c.bytesPerPacket = settings.value("Packet", 0).toInt();
    c.speed = settings.value("Speed", 2).toInt();
    const bool fixedOk = c.modeIndex >= 0 && c.modeIndex < camera::kFixedModeCount &&
                         camera::PacketQuadlets(c.modeIndex, c.rateIndex) > 0;
    const bool format7Ok = c.Format7() && c.modeIndex < camera::kModeIndexEnd &&
                           Format7Geometry::BitsPerPixel(c.coding) > 0 && c.region.width > 0 &&
                           c.region.height > 0 && c.region.left >= 0 && c.region.top >= 0 &&
                           c.bytesPerPacket > 0;
    if ((!fixedOk && !format7Ok) || c.speed < 0 || c.speed > 2) return std::nullopt;
    if (!c.Format7()) {
        const camera::VideoMode* row = camera::FixedMode(c.modeIndex);
        c.coding = row->colorCoding;
        c.region = {0, 0, row->width, row->height};
    }
    return c;
}

void CameraFormatChoice::Save(std::uint64_t guid) const {
    QSettings settings("Tarnwell", "KestrixView");
    settings.remove(Group(guid));
    settings.beginGroup(Group(guid));
    settings.setValue("Mode", modeIndex);
    settings.setValue("Rate", rateIndex);
    settings.setValue("Coding", coding);
    settings.setValue("Left", region.left);
    settings.setValue("Top", region.top);
    settings.setValue("Width", region.width);
    settings.setValue("Height", region.height);
    settings.setValue("Packet", bytesPerPacket);
    settings.setValue("Speed", speed);
}

void CameraFormatChoice::Forget(std::uint64_t guid) {
    QSettings("Tarnwell", "KestrixView").remove(Group(guid));
}
