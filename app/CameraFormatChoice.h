// The video format chosen in "Camera Format" for one camera, remembered by the camera's GUID:
// a fixed mode and rate, or a Format 7 mode with its coding, region and packet size, and the
// ISO speed. Connect uses it in place of the "VIDEO SETTING" question.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

#include "camera/Format7Geometry.h"
#include "session/StreamConfig.h"

class C1394Dcam;

struct CameraFormatChoice {
    int modeIndex = -1;  // flattened IIDC index; 24..31 Format 7
    int rateIndex = 0;   // fixed modes
    int coding = 0;
    Format7Region region;    // Format 7; fixed modes: 0, 0 and the mode's size
    int bytesPerPacket = 0;  // Format 7
    int speed = 2;           // 0..2: S100..S400

    bool Format7() const { return modeIndex >= 24; }
    int Width() const { return region.width; }
    int Height() const { return region.height; }
    // Frames a second: the rate's, or what the packet size gives for Format 7.
    double Fps() const;
    // Bytes of each isochronous packet: the chosen size, or the fixed mode's at its rate.
    int PacketBytes() const;
    // Bandwidth units the bus has left beside what the cameras other than `camera` send now.
    static unsigned UnitsLeft(C1394Dcam& cam, int camera);
    // Why the bus cannot carry this with unitsLeft free; empty when it can.
    QString BandwidthProblem(unsigned unitsLeft) const;
    // base (the transfer settings and the ring) with this mode, rate or region, and speed.
    kestrix::session::StreamConfig Config(kestrix::session::StreamConfig base) const;
    // What the title shows: "640x480/mono8/30fps", "800x600/rgb/Format 7/23.5fps".
    QString Text() const;

    // The choice kept for the camera; nothing when none was made or what is kept is unusable.
    static std::optional<CameraFormatChoice> Load(std::uint64_t guid);
    void Save(std::uint64_t guid) const;
    static void Forget(std::uint64_t guid);
};
