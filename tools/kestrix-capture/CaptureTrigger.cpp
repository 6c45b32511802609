// Setting, firing and restoring the trigger for a run.
#include "tools/kestrix-capture/CaptureTrigger.h"

namespace {

using Status = CameraFeatures::Status;

CameraFeatures::Outcome Refused(const std::string& why) { return {Status::Refused, why}; }

}  // namespace

CameraFeatures::Outcome CaptureTrigger::Apply(kestrix::session::Camera& camera) {
    CameraFeatures::Outcome outcome{Status::Failed, "the camera is gone from the bus"};
    camera.Call([&](C1394Dcam& cam, int index) {
        CameraTrigger trigger = camera.Trigger(cam, index);
        outcome = Set(trigger);
    });
    return outcome;
}

CameraFeatures::Outcome CaptureTrigger::Set(CameraTrigger& trigger) {
    if (!trigger.Read(m_found)) return {Status::Failed, "reading the camera's trigger failed"};
    m_now = m_found;
    if (!m_options.trigger) return {};
    CameraTrigger::Offer offer;
    if (!trigger.Inquire(offer)) {
        return {Status::Failed, "reading what the camera offers for its trigger failed"};
    }
    CameraTrigger::Setting wanted = m_found;
    wanted.on = *m_options.trigger != CaptureOptions::kTriggerOff;
    if (wanted.on) {
        wanted.mode = unsigned(*m_options.trigger);
        const bool software = m_options.softwareTriggerMs != 0;
        wanted.source = software ? CameraTrigger::kSoftwareSource : 0;
        if (!offer.present) return Refused("the camera has no trigger");
        if (!offer.HasMode(wanted.mode)) {
            return Refused("the camera has no trigger mode " + std::to_string(wanted.mode));
        }
        if (software && !offer.software) return Refused("the camera has no software trigger");
        if (!software && !offer.HasSource(0)) return Refused("the camera has no trigger input");
    } else if (!offer.present || !offer.onOff) {
        if (!m_found.on) return {};
        return Refused("the camera's trigger cannot be switched off");
    }
    m_bChanged = true;
    CameraTrigger::Setting now;
    if (!trigger.Write(wanted) || !trigger.Read(now)) {
        return {Status::Failed, "writing the camera's trigger failed"};
    }
    m_now = now;
    if (now.on != wanted.on ||
        (wanted.on && (now.mode != wanted.mode || now.source != wanted.source)))
        return Refused("the camera did not take the trigger setting");
    return {};
}

std::string CaptureTrigger::SilenceNote(kestrix::session::Camera& camera) const {
    bool on = false;
    camera.Call([&](C1394Dcam& cam, int index) { on = cam.IsTriggerOn(index); });
    if (!on) return {};
    return " (the camera's trigger is on (mode " + std::to_string(m_now.mode) +
           "): it sends when triggered)";
}

std::optional<bool> CaptureTrigger::TriggeredRunEnds(Clock::time_point now,
                                                     Clock::time_point started) const {
    if (!m_options.Triggered()) return std::nullopt;
    return m_options.seconds != 0 &&
           now - started >= std::chrono::duration<double>(m_options.seconds);
}

void CaptureTrigger::Tick(kestrix::session::Camera& camera, Clock::time_point now) {
    if (m_options.softwareTriggerMs == 0 || now < m_nextFire) return;
    const auto period = std::chrono::milliseconds(m_options.softwareTriggerMs);
    // A trigger the camera is still busy with is ignored by it; the next keeps the beat.
    m_nextFire = m_nextFire == Clock::time_point{} ? now + period : m_nextFire + period;
    if (m_nextFire <= now) m_nextFire = now + period;
    camera.Call([&](C1394Dcam& cam, int index) { camera.Trigger(cam, index).Fire(); });
}

bool CaptureTrigger::Restore(kestrix::session::Camera& camera) {
    if (!m_bChanged) return true;
    m_bChanged = false;
    bool written = false;
    camera.Call(
        [&](C1394Dcam& cam, int index) { written = camera.Trigger(cam, index).Write(m_found); });
    return written;
}
