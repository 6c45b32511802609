// One camera opened from Python: found by index or unique id, claimed against other programs,
// its modes, mode and rate, its features, and the stream it runs.
//
// The camera is known by its unit's device path: after the devices on the bus change, its index
// in the camera table may differ, and every operation looks it up again.
//
// Threading: any thread (the work runs on the camera worker); one operation at a time per
// session is the caller's business, as it is for a Python object.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "camera/CameraLock.h"
#include "camera/CameraModes.h"
#include "python/src/SharedCamera.h"

namespace kxpy {

class FrameStream;

struct CameraInfo {
    int index = 0;
    std::uint64_t guid = 0;
    std::uint32_t vendorId = 0;
    std::string path;
};

struct ModeInfo {
    std::string name;
    int width = 0;
    int height = 0;
    std::string coding;
    std::vector<double> rates;  // frames per second offered; empty for a Format 7 mode
    bool format7 = false;
    std::optional<std::string>
        bayer;  // raw8: the colour filter's pattern, when the camera names it
};

class CameraSession : public std::enable_shared_from_this<CameraSession> {
public:
    static std::vector<CameraInfo> List();
    // The camera of that index, or of that unique id when one is given; claimed for this session.
    static std::shared_ptr<CameraSession> Open(int index, std::optional<std::uint64_t> guid);
    // Closes every session still open (at interpreter exit), so no camera keeps transmitting.
    static void CloseAll();
    // Only Open makes one.
    class Key {
        friend class CameraSession;
        Key() = default;
    };
    CameraSession(Key, std::shared_ptr<CameraOwnerThread> worker, CameraInfo info);
    ~CameraSession();

    // Stops the stream, lets the camera go; harmless when closed already.
    void Close();
    bool IsClosed() const { return m_worker == nullptr; }
    const CameraInfo& Info() const { return m_info; }

    std::vector<ModeInfo> Modes();
    const std::string& Mode();
    // Sets the mode up on the camera; ValueError for one it does not offer.
    void SetMode(const std::string& name);
    // Frames per second of a fixed mode; empty for Format 7, whose packet size sets the rate.
    std::optional<double> Rate();
    void SetRate(double fps);

    std::string GetFeature(const std::string& name);
    // value as kestrix-capture's --set takes it after the '=': 200, auto, off, 128,140.
    void SetFeature(const std::string& name, const std::string& value);
    std::vector<std::pair<std::string, std::string>> Features();

    // Sets the mode up, starts a capture into a ring of that many frames and the transmission.
    std::shared_ptr<FrameStream> Stream(int buffers);
    CameraOwnerThread& Worker();
    // The camera's index in the current table; throws when it is gone.
    int Index(C1394Dcam& cam) const;
    // The mode and rate as chosen, set up on the camera (camera worker only).
    CameraModes::Mode Apply(C1394Dcam& cam, int camera);

private:
    CameraModes::Mode FindMode(C1394Dcam& cam, int camera, const std::string& name) const;
    void EnsureMode();
    void RefuseWhileStreaming() const;

    std::shared_ptr<CameraOwnerThread> m_worker;
    CameraInfo m_info;
    CameraLock m_claim;
    std::string m_mode;          // empty until chosen or first asked for
    bool m_bFormat7 = false;
    int m_nRateIndex = 3;        // 15 fps, kestrix-capture's default
    std::weak_ptr<FrameStream> m_stream;
};

}  // namespace kxpy
