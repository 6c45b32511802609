// A claimed camera: its modes and features, its set-up, and the start and stop of its stream.
#include "session/Camera.h"

#include <algorithm>
#include <cmath>

#include "camera/CDcamCaptureThread.h"
#include "camera/CameraFeatures.h"
#include "camera/IidcRegisters.h"
#include "camera/MemoryChannels.h"
#include "platform/Log.h"
#include "session/BusPlanner.h"

namespace kestrix::session {
namespace {

constexpr double kCyclesPerSecond = 8000;  // one isochronous packet per 125 us cycle
constexpr double kUnknownRate = 15;

Error FromOutcome(const CameraFeatures::Outcome& outcome) {
    switch (outcome.status) {
        case CameraFeatures::Status::Ok:
            return {};
        case CameraFeatures::Status::Refused:
            return {Error::Kind::Refused, outcome.message};
        case CameraFeatures::Status::Failed:
            break;
    }
    return {Error::Kind::Failed, outcome.message};
}

std::string RateText(const StreamConfig& config) {
    if (config.mode.Format7()) return {};
    return std::string(" at ") + CameraModes::RateName(config.rateIndex) + " fps";
}

}  // namespace

const char* Camera::StateName(State state) {
    switch (state) {
        case State::Acquired:
            return "acquired";
        case State::Configured:
            return "configured";
        case State::Streaming:
            return "streaming";
        case State::Lost:
            return "lost";
        case State::Released:
            break;
    }
    return "released";
}

Camera::Camera(std::shared_ptr<CameraManager> manager, CameraInfo info, CameraLock claim)
    : m_pManager(std::move(manager)), m_info(std::move(info)), m_claim(std::move(claim)) {}

Camera::~Camera() { Release(); }

std::string Camera::Refusal(const char* what) const {
    return std::string("the camera cannot ") + what + " while it is " + StateName(m_state);
}

Error Camera::Gone() {
    m_state = State::Lost;
    return {Error::Kind::NotFound, "the camera is gone from the bus (was it unplugged?)"};
}

int Camera::Index(C1394Dcam& cam) const {
    for (int i = 0; i < cam.GetDeviceCount(C1394Dcam::kCameraDevices); ++i) {
        if (cam.GetDevicePath(unsigned(cam.GetCameraDevice(i))) == m_info.path) return i;
    }
    return -1;
}

void Camera::OnDevicesChanged(C1394Dcam& cam) {
    // Its capture, if any, went with the change; its stream hears of it by itself.
    if (m_state != State::Released && Index(cam) < 0) m_state = State::Lost;
}

Error Camera::Modes(std::vector<ModeOffer>& offers) {
    return Call([&](C1394Dcam& cam, int index) {
        offers = ModeOffer::Read(cam, index);
        return offers.empty() ? Error(Error::Kind::Failed, "the camera does not answer with its modes")
                              : Error();
    });
}

Error Camera::FindMode(std::string_view name, CameraModes::Mode& mode) {
    if (!CameraModes::IsModeName(name)) {
        return {Error::Kind::Refused, "not a mode name: '" + std::string(name) +
                                          "' (WIDTHxHEIGHT-CODING, such as 640x480-mono8)"};
    }
    return Call([&](C1394Dcam& cam, int index) {
        const auto found = CameraModes::Find(cam, index, name);
        if (!found) {
            return Error(Error::Kind::Refused, "camera " + std::to_string(index) +
                                                   " does not offer " + std::string(name));
        }
        mode = *found;
        return Error();
    });
}

Error Camera::Features(std::vector<Feature>& features) {
    features.clear();
    return Call([&](C1394Dcam& cam, int index) {
        for (int number = 0; CameraFeatures::FeatureName(number) != nullptr; ++number) {
            bool ok = true;
            if (auto feature = Feature::Read(cam, index, number, ok)) {
                features.push_back(std::move(*feature));
            } else if (!ok) {
                return Error(Error::Kind::Failed, std::string("reading ") +
                                                      CameraFeatures::FeatureName(number) + " failed");
            }
        }
        return Error();
    });
}

Error Camera::GetFeature(std::string_view name, Feature& feature) {
    const int number = CameraFeatures::FeatureNumber(name);
    if (number < 0) {
        return {Error::Kind::NotFound,
                "no feature " + std::string(name) + ": " + CameraFeatures::NameHint()};
    }
    return Call([&](C1394Dcam& cam, int index) {
        bool ok = true;
        auto read = Feature::Read(cam, index, number, ok);
        if (!ok) return Error(Error::Kind::Failed, "reading " + std::string(name) + " failed");
        if (!read) return Error(Error::Kind::Refused, "the camera has no " + std::string(name));
        feature = std::move(*read);
        return Error();
    });
}

Error Camera::SetFeature(std::string_view setting) {
    if (const std::string why = CameraFeatures::CheckSetting(setting); !why.empty()) {
        return {Error::Kind::Refused, why};
    }
    return Call([&](C1394Dcam& cam, int index) {
        return FromOutcome(CameraFeatures(cam, index).Set(setting));
    });
}

Error Camera::MemoryChannels(int& count) {
    return Call([&](C1394Dcam& cam, int index) {
        count = ::MemoryChannels(cam, index).Count();
        return count < 0 ? Error(Error::Kind::Failed, "the memory-channel inquiry cannot be read")
                         : Error();
    });
}

Error Camera::SaveMemoryChannel(int channel) {
    return Call([&](C1394Dcam& cam, int index) {
        return ::MemoryChannels(cam, index).Save(channel)
                   ? Error()
                   : Error(Error::Kind::Refused,
                           "the camera did not save memory channel " + std::to_string(channel));
    });
}

Error Camera::LoadMemoryChannel(int channel) {
    return Call([&](C1394Dcam& cam, int index) {
        return ::MemoryChannels(cam, index).Load(channel)
                   ? Error()
                   : Error(Error::Kind::Refused,
                           "the camera did not load memory channel " + std::to_string(channel));
    });
}

// ---- Set-up and streaming ----

Error Camera::Configure(const StreamConfig& config) {
    const State state = m_state;
    if (state != State::Acquired && state != State::Configured) {
        return {Error::Kind::WrongState, Refusal("change its mode")};
    }
    // Another program may be recording from a camera this one has not claimed.
    if (!Claimed()) {
        return {Error::Kind::WrongState, "the camera cannot stream without its claim"};
    }
    m_config = config;
    return Call([&](C1394Dcam& cam, int index) {
        const Error error = SetModeOnThread(cam, index);
        if (!error) m_state = State::Configured;
        return error;
    });
}

Error Camera::SetModeOnThread(C1394Dcam& cam, int index) {
    const CameraModes::Mode& mode = m_config.mode;
    // Transmission off before anything else: a mode change under a running stream would tear
    // its frames.
    cam.StopTransmission(index);
    bool set = false;
    if (mode.Format7()) {
        const Format7Region r = m_config.region.value_or(Format7Region{0, 0, mode.width, mode.height});
        const C1394Dcam::Rect area{r.left, r.top, r.left + r.width - 1, r.top + r.height - 1};
        set = cam.SetFormat7Mode(index, mode.modeIndex, mode.colorCoding, &area);
        // The mode set-up sends the largest packets the camera allows; a chosen size replaces
        // them, and without one the camera takes the largest the bus has left for it.
        const int bytes = set ? Format7Packet(cam, index) : 0;
        if (bytes > 0) {
            const C1394Dcam::DWORD packet = C1394Dcam::DWORD(bytes) << 16;
            set = cam.WriteFormat7Register(index, mode.modeIndex - 24,
                                           camera::iidc::kBytePerPacket, &packet, false);
        }
    } else {
        set = cam.SetVideoMode(index, mode.modeIndex, m_config.rateIndex, false);
    }
    if (set) return {};
    std::string what = "the camera refused " + mode.name + RateText(m_config);
    if (mode.Format7() && m_config.region) {
        what += " at " + std::to_string(m_config.region->width) + "x" +
                std::to_string(m_config.region->height);
    }
    return {Error::Kind::Refused, what};
}

int Camera::Format7Packet(C1394Dcam& cam, int index) const {
    if (m_config.packetBytes > 0) return m_config.packetBytes;
    BusPlanner::Demand demand;
    if (BusPlanner::ReadDemand(cam, index, m_config, demand)) return 0;
    const int planned[] = {index};
    return BusPlanner::Compute({demand}, BusPlanner::ReadResources(cam, planned))
        .cameras.front()
        .packetBytes;
}

int Camera::RingSlots(C1394Dcam& cam, int index) const {
    const RingSize& ring = m_config.ring;
    const auto share = [&](int percent) {
        return m_config.mode.Format7() ? cam.CalcBufferCountForCamera(index, percent, 1)
                                       : cam.CalcBufferCount(m_config.mode.modeIndex, percent, 1);
    };
    const int minimum = std::max(2, ring.minimum);
    switch (ring.kind) {
        case RingSize::Kind::Frames:
            return std::max(minimum, int(ring.amount));
        case RingSize::Kind::MemoryShare:
            return std::max(minimum, share(int(ring.amount)));
        case RingSize::Kind::Seconds:
            break;
    }
    const double period = cam.GetFramePeriodCycles(index);
    const double fps = period > 0 ? kCyclesPerSecond / period : kUnknownRate;
    const int wanted = int(std::ceil(ring.amount * fps));
    return std::max(minimum, std::min(wanted, share(ring.capPercent)));
}

Error Camera::Start(std::shared_ptr<FrameStream>& stream, bool transmit) {
    if (m_state != State::Configured) return {Error::Kind::WrongState, Refusal("start streaming")};
    return Call([&](C1394Dcam& cam, int index) { return StartOnThread(cam, index, stream, transmit); });
}

Error Camera::StartOnThread(C1394Dcam& cam, int index, std::shared_ptr<FrameStream>& stream,
                            bool transmit) {
    const CameraModes::Mode& mode = m_config.mode;
    if (!cam.StartCapture(index, m_config.speed, m_config.CaptureFlags(), RingSlots(cam, index))) {
        std::uint32_t needed = 0, left = 0;
        if (cam.GetBandwidthRefusal(&needed, &left)) {
            return Error::NoBandwidth(needed, left, mode.name + RateText(m_config));
        }
        return {Error::Kind::Failed, "the capture of " + mode.name +
                                         " did not start (KESTRIX_LOG=capture:info shows why)"};
    }
    CDcamCaptureThread* thread = cam.GetCaptureThread(index);
    std::shared_ptr<FrameRing> ring = thread != nullptr ? thread->Ring() : nullptr;
    if (!ring) {
        cam.StopCapture(index);
        return {Error::Kind::Failed, "the capture has no frame ring"};
    }
    if (m_config.prefaultRing && !ring->Prefault()) {
        KX_LOG(Capture, Warn) << "the ring's pages could not all be brought in before the start";
    }
    // Without the spares' memory every frame is copied: slower, but nothing is lost.
    if (m_config.lendSlots > 0 && !ring->AddSpares(m_config.lendSlots)) {
        KX_LOG(Capture, Warn) << "no memory for " << m_config.lendSlots
                              << " spare frames: copying all";
    }
    // The stream may outlive this object (a reader holds it): it holds the manager, and asks
    // the camera through a weak reference.
    const std::shared_ptr<CameraManager> manager = m_pManager;
    FrameStream::Bus bus{[manager] { return manager->BusResets(); },
                         [manager] { return manager->DeviceChanges(); },
                         [self = weak_from_this()] {
                             const auto camera = self.lock();
                             return !camera || camera->DriverAnswers();
                         },
                         manager->OwnsThread(),
                         [self = weak_from_this()] {
                             const auto camera = self.lock();
                             return camera ? camera->ReadCycleTimer() : std::nullopt;
                         }};
    const auto frameBytes = std::uint32_t(std::max(0, cam.GetFrameBytes(index)));
    m_pStream = std::make_shared<FrameStream>(std::move(ring), frameBytes, std::move(bus));
    m_state = State::Streaming;
    if (transmit) {
        m_bTransmitting = true;
        if (!cam.StartTransmission(index, 0)) {
            StopOnThread(cam, index);
            return {Error::Kind::Failed, "the camera does not start transmitting"};
        }
    }
    stream = m_pStream;
    return {};
}

Error Camera::SetTransmission(bool on, bool write) {
    if (m_state != State::Streaming) {
        return {Error::Kind::WrongState, Refusal(on ? "start transmitting" : "stop transmitting")};
    }
    return Call([&](C1394Dcam& cam, int index) {
        m_bTransmitting = on;
        const bool done = !write ? !on || cam.PrepareTransmission(index, 0)
                          : on   ? cam.StartTransmission(index, 0)
                                 : cam.StopTransmission(index);
        return done ? Error()
                    : Error(Error::Kind::Failed, on ? "the camera does not start transmitting"
                                                    : "the camera does not stop transmitting");
    });
}

bool Camera::DriverAnswers() {
    return m_pManager->Call([this](C1394Dcam& cam) {
        const int index = Index(cam);
        C1394Dcam::DWORD value = 0;
        // The read waits at most the bus layer's request time-out (a second).
        return index >= 0 && cam.ReadRegister(index, camera::iidc::kIsoEnable, &value);
    });
}

std::optional<platform::CycleTimerReading> Camera::ReadCycleTimer() {
    return m_pManager->Call([this](C1394Dcam& cam) -> std::optional<platform::CycleTimerReading> {
        platform::CycleTimerReading reading;
        const int index = Index(cam);
        if (index < 0 || !cam.ReadCycleTimer(index, &reading)) return std::nullopt;
        return reading;
    });
}

Error Camera::Stop() {
    if (m_state != State::Streaming) return {Error::Kind::WrongState, Refusal("stop streaming")};
    m_pManager->Call([this](C1394Dcam& cam) { StopOnThread(cam, Index(cam)); });
    return {};
}

void Camera::StopOnThread(C1394Dcam& cam, int index) {
    const std::shared_ptr<FrameStream> stream = std::move(m_pStream);
    const Error reason = stream ? stream->EndReason() : Error();
    if (stream) stream->Stop();
    m_bTransmitting = false;
    m_state = index >= 0 ? State::Configured : State::Lost;
    // A gone camera's capture went with the device change; a silent driver is not asked.
    if (index < 0) return;
    if (reason.GetKind() == Error::Kind::DriverGone) {
        cam.AbandonCapture(index);
        return;
    }
    if (reason.GetKind() != Error::Kind::Unplugged) cam.StopTransmission(index);
    cam.StopCapture(index);
}

void Camera::Release() {
    if (m_state == State::Released) return;
    if (m_state == State::Streaming) Stop();
    m_claim.Release();
    m_state = State::Released;
}

}  // namespace kestrix::session
