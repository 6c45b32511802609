// The process's way to the cameras: it owns the camera object (C1394Dcam), lists the cameras on
// the bus, hands out claimed cameras and hears the bus notices for all of them.
//
// The camera object wants every call on the thread that opened it, and that thread must dispatch
// its message queue. OwnThread runs it on a thread of the manager's own (for callers from any
// thread: the GStreamer element, Python); CallerThread runs it on the thread that created the
// manager, which watches NoticeFd() and calls Pump() (a GUI event loop, a headless poll loop).
//
// Threading: OwnThread: everything from any thread. CallerThread: everything on the creating
// thread, except BusResets and DeviceChanges.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

#include "camera/C1394Dcam.h"
#include "camera/CameraLock.h"
#include "platform/MessageEndpoint.h"
#include "session/CameraInfo.h"
#include "session/CameraOwnerThread.h"
#include "session/CameraPick.h"
#include "session/Error.h"

namespace kestrix::session {

class Camera;

class CameraManager : public std::enable_shared_from_this<CameraManager> {
public:
    enum class Threading { OwnThread, CallerThread };
    enum class Notice { DeviceChange, BusReset };
    using NoticeHandler = std::function<void(Notice)>;

    // Opens the camera library; null with error set when it cannot.
    static std::shared_ptr<CameraManager> Create(Threading threading, Error& error);
    // The process's OwnThread manager, made when none lives; it goes with its last holder.
    static std::shared_ptr<CameraManager> Shared(Error& error);
    ~CameraManager();
    CameraManager(const CameraManager&) = delete;
    CameraManager& operator=(const CameraManager&) = delete;

    // CallerThread: the descriptor that becomes readable when notices or work wait, and the
    // dispatch of what waits (waiting up to wait for it).
    int NoticeFd() const;
    void Pump(std::chrono::milliseconds wait = std::chrono::milliseconds{0});
    // CallerThread: called on this thread for each notice, while it is dispatched.
    void SetNoticeHandler(NoticeHandler handler) { m_handler = std::move(handler); }

    // Runs job(camera object) on the owner thread and returns its result (rethrowing what it
    // threw).
    template <class Job>
    auto Call(Job job) -> std::invoke_result_t<Job&, C1394Dcam&> {
        if (m_pOwner) return m_pOwner->Call(std::move(job));
        return job(*m_pCam);
    }

    // The camera object itself, for what needs it whole (the parameter dialogs, a camera
    // picker): on the owner thread only, which for OwnThread is inside Call.
    C1394Dcam& Device() { return m_pOwner ? m_pOwner->Device() : *m_pCam; }

    // The cameras on the bus now; error set when one cannot be read.
    std::vector<CameraInfo> Cameras(Error& error);
    // Finds and claims the camera the pick names; null with error set (NotFound, InUse,
    // Failed) when it cannot. The claim keeps other programs off it until the camera goes.
    std::shared_ptr<Camera> Acquire(const CameraPick& pick, Error& error);
    // Finds the camera the pick names without claiming it, for what a program may do to a
    // camera that another one records from (read and set its features, as a parameter dialog
    // does): it refuses Configure, and so streaming, with WrongState. Null with error set
    // (NotFound, Failed) when it cannot.
    std::shared_ptr<Camera> Find(const CameraPick& pick, Error& error);

    bool OwnsThread() const { return m_threading == Threading::OwnThread; }
    // Bus notices heard since the manager opened; any thread.
    std::uint64_t BusResets() const;
    std::uint64_t DeviceChanges() const;

private:
    struct Key {};

public:
    CameraManager(Key, Threading threading);

private:
    bool Open(Error& error);
    std::optional<CameraInfo> Pick(const CameraPick& pick, Error& error);
    std::shared_ptr<Camera> Keep(const CameraInfo& info, CameraLock claim);
    void OnNotice(std::uint32_t message);

    std::mutex m_camerasLock;  // guards m_cameras
    std::vector<std::weak_ptr<Camera>> m_cameras;  // those acquired, for the notices
    const Threading m_threading;
    std::unique_ptr<CameraOwnerThread> m_pOwner;  // OwnThread
    std::unique_ptr<C1394Dcam> m_pCam;            // CallerThread
    std::unique_ptr<platform::MessageEndpoint> m_pClient;
    NoticeHandler m_handler;
    std::atomic<std::uint64_t> m_nBusResets{0};
    std::atomic<std::uint64_t> m_nDeviceChanges{0};
};

}  // namespace kestrix::session
