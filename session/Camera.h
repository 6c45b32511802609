// One camera claimed by this process, and its state machine:
//
//   Acquired --Configure--> Configured --Start--> Streaming --Stop--> Configured
//   any state --the camera leaves the bus--> Lost;  Release from any state --> Released
//
// Each operation checks the state it needs and fails with WrongState in any other. The claim
// (a lock other programs honour) is held from Acquire to Release or destruction, which stop
// a running stream first.
//
// The camera is known by its unit's device path: after the devices on the bus change, its index
// in the camera table may differ, and every operation looks it up again.
//
// Threading: as the manager's (CameraManager.h); the work runs on its owner thread. One
// operation at a time per camera is the caller's business.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "camera/CameraLock.h"
#include "camera/CameraModes.h"
#include "camera/CameraTrigger.h"
#include "session/CameraInfo.h"
#include "session/CameraManager.h"
#include "session/Error.h"
#include "session/Feature.h"
#include "session/FrameStream.h"
#include "session/ModeOffer.h"
#include "session/StreamConfig.h"

namespace kestrix::session {

class Camera : public std::enable_shared_from_this<Camera> {
public:
    enum class State { Acquired, Configured, Streaming, Lost, Released };
    static const char* StateName(State state);

    Camera(std::shared_ptr<CameraManager> manager, CameraInfo info, CameraLock claim);
    ~Camera();  // releases
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    const CameraInfo& Info() const { return m_info; }
    State GetState() const { return m_state; }
    CameraManager& Manager() const { return *m_pManager; }
    // Whether this program holds the camera's claim (CameraManager::Acquire, not Find).
    bool Claimed() const { return m_claim.IsHeld(); }
    // The camera object, for the parameter dialogs that need it whole (owner thread only).
    C1394Dcam& Device() const { return m_pManager->Device(); }

    // What the camera offers; every mode, including those no stream format of a front end takes.
    Error Modes(std::vector<ModeOffer>& offers);
    // The offered mode of that name (WIDTHxHEIGHT-CODING); Refused when the camera lacks it.
    Error FindMode(std::string_view name, CameraModes::Mode& mode);
    // Every feature the camera has, or one by name, with typed values.
    Error Features(std::vector<Feature>& features);
    Error GetFeature(std::string_view name, Feature& feature);
    // NAME=VALUE as kestrix-capture's --set takes it (200, auto, off, 10ms, 6dB, 128,140).
    Error SetFeature(std::string_view setting);
    // The camera's trigger; use it inside Call, on the owner thread.
    CameraTrigger Trigger(C1394Dcam& cam, int index) const { return {cam, index}; }
    // Memory channels the camera has (0 without), and saving into / loading from one.
    Error MemoryChannels(int& count);
    Error SaveMemoryChannel(int channel);
    Error LoadMemoryChannel(int channel);

    // Sets the mode up (transmission off first): Acquired or Configured -> Configured; a camera
    // found without its claim refuses with WrongState.
    Error Configure(const StreamConfig& config);
    const StreamConfig& Config() const { return m_config; }
    // Starts the capture into a ring sized by the configuration and, with transmit, the
    // camera's transmission: Configured -> Streaming.
    Error Start(std::shared_ptr<FrameStream>& stream, bool transmit = true);
    // Switches the transmission of a running stream on or off (Streaming only). Without write
    // the camera and its capture are set as for it, the register write left to the caller
    // (CameraGroup's broadcast to several cameras).
    Error SetTransmission(bool on, bool write = true);
    bool Transmitting() const { return m_bTransmitting; }
    // Stops transmission and capture: Streaming -> Configured. After the driver stopped
    // answering, the capture is dropped without asking it.
    Error Stop();
    // Stops and lets the camera go: -> Released.
    void Release();
    // Whether the bus driver still answers a register read of this camera.
    bool DriverAnswers();
    // The cycle timer of the camera's bus with the host's clocks beside it; empty when the
    // driver does not answer.
    std::optional<platform::CycleTimerReading> ReadCycleTimer();

    // The camera's index in the current table; -1 when it is gone (owner thread).
    int Index(C1394Dcam& cam) const;
    // The devices on the bus changed: a camera no longer listed is Lost (owner thread).
    void OnDevicesChanged(C1394Dcam& cam);
    // Runs job(camera object, index) on the owner thread, for what the session does not cover
    // (the parameter dialogs, a trigger, stills and recordings of the running capture); NotFound
    // when the camera is gone, WrongState once released.
    template <class Job>
    Error Call(Job job) {
        if (m_state == State::Released) return Error(Error::Kind::WrongState, Refusal("be used"));
        return m_pManager->Call([&](C1394Dcam& cam) {
            const int index = Index(cam);
            if (index < 0) return Gone();
            if constexpr (std::is_same_v<std::invoke_result_t<Job&, C1394Dcam&, int>, Error>) {
                return job(cam, index);
            } else {
                job(cam, index);
                return Error();
            }
        });
    }

private:
    Error Gone();
    std::string Refusal(const char* what) const;
    Error StartOnThread(C1394Dcam& cam, int index, std::shared_ptr<FrameStream>& stream,
                        bool transmit);
    Error SetModeOnThread(C1394Dcam& cam, int index);
    // Format 7: the packet size to send, or 0 to keep the mode set-up's.
    int Format7Packet(C1394Dcam& cam, int index) const;
    int RingSlots(C1394Dcam& cam, int index) const;
    void StopOnThread(C1394Dcam& cam, int index);

    std::shared_ptr<CameraManager> m_pManager;
    CameraInfo m_info;
    CameraLock m_claim;
    std::atomic<State> m_state{State::Acquired};
    StreamConfig m_config;
    std::shared_ptr<FrameStream> m_pStream;
    std::atomic<bool> m_bTransmitting{false};
};

}  // namespace kestrix::session
