// One camera opened from Python over the session layer: what Python adds to session::Camera is
// its own types (Mode, the mode and rate chosen before a stream starts), its exceptions, and the
// list of cameras to close when the interpreter exits.
//
// Threading: any thread (the session runs the work on the process's camera manager thread); one
// operation at a time per camera is the caller's business, as it is for a Python object.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "camera/CameraModes.h"
#include "session/Camera.h"

namespace kxpy {

namespace session = kestrix::session;

class FrameStream;

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
    static std::vector<session::CameraInfo> List();
    // The camera of that index, or of that unique id when one is given; claimed for this session.
    static std::shared_ptr<CameraSession> Open(int index, std::optional<std::uint64_t> guid);
    // Closes every session still open (at interpreter exit), so no camera keeps transmitting.
    static void CloseAll();
    // Whether any camera is open in this process (and so the camera library).
    static bool AnyOpen();
    // Only Open makes one.
    class Key {
        friend class CameraSession;
        Key() = default;
    };
    CameraSession(Key, std::shared_ptr<session::Camera> camera);
    ~CameraSession();

    // Stops the stream, lets the camera go; harmless when closed already.
    void Close();
    bool IsClosed() const { return m_pCamera == nullptr; }
    const session::CameraInfo& Info() const { return m_info; }

    std::vector<ModeInfo> Modes();
    const std::string& Mode();
    // Sets the mode up on the camera; ValueError for one it does not offer.
    void SetMode(const std::string& name);
    // Frames per second of a fixed mode; empty for Format 7, whose packet size sets the rate.
    std::optional<double> Rate();
    void SetRate(double fps);

    session::Feature GetFeature(const std::string& name);
    // value as kestrix-capture's --set takes it after the '=': 200, auto, off, 128,140.
    void SetFeature(const std::string& name, const std::string& value);
    std::vector<std::pair<std::string, session::Feature>> Features();

    // Starts a capture into a ring of that many frames and the transmission.
    std::shared_ptr<FrameStream> Stream(int buffers);
    // The claimed camera; throws once closed.
    session::Camera& Camera();
    // The mode and rate as chosen.
    session::StreamConfig Config();

private:
    void EnsureMode();
    void RefuseWhileStreaming() const;
    void Apply();

    std::shared_ptr<session::Camera> m_pCamera;
    session::CameraInfo m_info;
    std::optional<CameraModes::Mode> m_mode;  // until chosen or first asked for
    int m_nRateIndex = 3;                     // 15 fps, kestrix-capture's default
    std::weak_ptr<FrameStream> m_stream;
};

}  // namespace kxpy
