// The feature, one-push and memory-channel checks: values written and read back, the camera's
// own conversions, and settings that travel through a memory channel.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>

#include "camera/CameraFeatures.h"
#include "camera/FeatureAccess.h"
#include "camera/FeatureUnits.h"
#include "camera/IidcRegisters.h"
#include "camera/MemoryChannels.h"
#include "tools/kestrix-check/CameraSnapshot.h"
#include "tools/kestrix-check/Checks.h"

using namespace camera::iidc;
using DWORD = C1394Dcam::DWORD;

namespace {

constexpr int kWhiteBalance = 3;
constexpr auto kOnePushTime = std::chrono::seconds(10);
constexpr auto kPollStep = std::chrono::milliseconds(20);

// The features a value can be written to by hand: present, manual, with a range.
bool Writable(int feature, const FeatureAccess::Offer& offer) {
    return offer.present && offer.manual && feature != kTriggerFeature &&
           feature != kFrameRateFeature && offer.rawMin < offer.rawMax;
}

// The control that sets feature to raw by hand (both fields for white balance).
DWORD ManualControl(int feature, DWORD found, unsigned raw) {
    DWORD control = (found | kBit31 | kOn) & ~(kAuto | kOnePush | kAbsoluteControl | kValue);
    if (feature == kWhiteBalance) control = (control & ~kHighValue) | DWORD(raw) << 12;
    return control | raw;
}

std::string Absolute(int feature, const std::optional<float>& value) {
    return value ? FeatureUnits::Format(feature, *value) : "no absolute value";
}

// Writes the control and the absolute value found back; false when the camera did not take them.
bool PutBack(FeatureAccess& access, int feature, const FeatureAccess::State& found) {
    bool ok = access.WriteControl(feature, found.control);
    if (ok && found.absoluteControl && found.absolute && !found.automatic)
        ok = access.WriteAbsolute(feature, *found.absolute);
    FeatureAccess::State now;
    // An automatic feature moves its value by itself: its modes must be back.
    const DWORD mask = found.automatic ? ~(kValue | kHighValue) : ~DWORD{0};
    return ok && access.Read(feature, now) && (now.control & mask) == (found.control & mask);
}

void CheckFeature(CheckContext& c, FeatureAccess& access, int feature,
                  const FeatureAccess::Offer& offer) {
    const std::string name = std::string("feature ") + CameraFeatures::FeatureName(feature);
    FeatureAccess::State found;
    if (!access.Read(feature, found)) return c.report.Fail(name, "its control register cannot be read");
    const unsigned values[3] = {offer.rawMin, offer.rawMax, (offer.rawMin + offer.rawMax) / 2};
    std::optional<float> absolute[3];
    std::string problem;
    for (int i = 0; i < 3 && problem.empty(); ++i) {
        FeatureAccess::State state;
        if (!access.WriteControl(feature, ManualControl(feature, found.control, values[i])) ||
            !access.Read(feature, state)) {
            problem = "writing " + std::to_string(values[i]) + " failed";
        } else if (state.value != values[i] ||
                   (feature == kWhiteBalance && state.high != values[i])) {
            problem = "wrote " + std::to_string(values[i]) + ", read back " +
                      std::to_string(state.value);
        } else if (offer.absolute) {
            absolute[i] = state.absolute;
            const float slack = 0.001f * std::fabs(offer.absoluteMax - offer.absoluteMin);
            if (!state.absolute || *state.absolute < offer.absoluteMin - slack ||
                *state.absolute > offer.absoluteMax + slack)
                problem = "raw " + std::to_string(values[i]) + " reads as " +
                          Absolute(feature, state.absolute) + ", outside " +
                          FeatureUnits::Format(feature, offer.absoluteMin) + " to " +
                          FeatureUnits::Format(feature, offer.absoluteMax);
        }
    }
    // The absolute value follows the raw one: the middle lies between the ends.
    if (problem.empty() && offer.absolute &&
        (*absolute[2] - *absolute[0]) * (*absolute[2] - *absolute[1]) > 0)
        problem = "the middle raw value reads as " + Absolute(feature, absolute[2]) +
                  ", not between " + Absolute(feature, absolute[0]) + " and " +
                  Absolute(feature, absolute[1]);
    const bool restored = PutBack(access, feature, found);
    if (problem.empty() && !restored) problem = "the value found did not take again";
    std::string measured = std::to_string(values[0]) + ", " + std::to_string(values[1]) + " and " +
                           std::to_string(values[2]) + " read back";
    if (offer.absolute)
        measured += " as " + Absolute(feature, absolute[0]) + ", " +
                    Absolute(feature, absolute[1]) + " and " + Absolute(feature, absolute[2]);
    if (problem.empty()) {
        c.report.Pass(name, measured + "; the value found put back");
    } else {
        c.report.Fail(name, problem);
    }
}

}  // namespace

namespace checks {

void Features(CheckContext& c) {
    FeatureAccess access(c.cam, c.camera);
    for (int feature = 0; feature < FeatureAccess::kFeatureCount && !c.Stopped(); ++feature) {
        FeatureAccess::Offer offer;
        const std::string name = std::string("feature ") + CameraFeatures::FeatureName(feature);
        if (!access.Inquire(feature, offer)) {
            c.report.Fail(name, "its inquiry register cannot be read");
        } else if (offer.present && !Writable(feature, offer)) {
            c.report.Skip(name, feature == kTriggerFeature     ? "checked by the trigger check"
                                : feature == kFrameRateFeature ? "read only: the mode sets it"
                                                               : "no manual value to write");
        } else if (offer.present) {
            CheckFeature(c, access, feature, offer);
        }
    }
}

void OnePush(CheckContext& c) {
    FeatureAccess access(c.cam, c.camera);
    bool any = false, inquired = true;
    for (int feature = 0; feature < FeatureAccess::kFeatureCount && !c.Stopped(); ++feature) {
        FeatureAccess::Offer offer;
        FeatureAccess::State found;
        if (!access.Inquire(feature, offer)) inquired = false;
        if (!offer.present || !offer.onePush || feature == kTriggerFeature ||
            !access.Read(feature, found))
            continue;
        any = true;
        const std::string name = std::string("one-push ") + CameraFeatures::FeatureName(feature);
        const auto start = std::chrono::steady_clock::now();
        const DWORD request = (found.control | kBit31 | kOn | kOnePush) & ~kAuto;
        bool cleared = false, readable = access.WriteControl(feature, request);
        while (readable && !c.Stopped() && std::chrono::steady_clock::now() - start < kOnePushTime) {
            FeatureAccess::State state;
            readable = access.Read(feature, state);
            if ((cleared = readable && !(state.control & kOnePush))) break;
            std::this_thread::sleep_for(kPollStep);
        }
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        const bool restored = PutBack(access, feature, found);
        if (!readable) {
            c.report.Fail(name, "the request could not be written or read back");
        } else if (!cleared) {
            c.report.Fail(name, "still set after " + std::to_string(took.count()) + " ms");
        } else {
            c.report.Add(restored ? CheckReport::Status::Pass : CheckReport::Status::Fail, name,
                         "cleared within " + std::to_string(took.count()) + " ms" +
                             (restored ? "" : "; the value found did not take again"));
        }
    }
    if (!inquired) {
        c.report.Fail("one-push", "the features' inquiry registers cannot be read");
    } else if (!any && !c.Stopped()) {
        c.report.Skip("one-push", "no feature offers one-push");
    }
}

void MemoryChannels(CheckContext& c) {
    ::MemoryChannels channels(c.cam, c.camera);
    const int count = channels.Count();
    if (count < 0) return c.report.Fail("memory-channels", "BASIC_FUNC_INQ cannot be read");
    if (count == 0) return c.report.Skip("memory-channels", "the camera has no user channel");
    FeatureAccess access(c.cam, c.camera);
    int feature = 0;
    FeatureAccess::Offer offer;
    while (feature < FeatureAccess::kFeatureCount &&
           !(access.Inquire(feature, offer) && Writable(feature, offer)))
        ++feature;
    if (feature == FeatureAccess::kFeatureCount)
        return c.report.Skip("memory-channels", "no feature to save a value of");
    // What the channel holds, so that it can be saved back at the end.
    CameraSnapshot held;
    FeatureAccess::State state;
    std::string problem;
    const auto write = [&](unsigned raw) {
        return access.WriteControl(feature, ManualControl(feature, state.control, raw));
    };
    if (!channels.Load(count) || !held.Take(c.cam, c.camera) || !access.Read(feature, state)) {
        problem = "channel " + std::to_string(count) + " could not be loaded";
    } else if (!write(offer.rawMin) || !channels.Save(count) || !write(offer.rawMax) ||
               !channels.Load(count) || !access.Read(feature, state)) {
        problem = "saving into or loading channel " + std::to_string(count) + " failed";
    } else if (state.value != offer.rawMin) {
        problem = std::string(CameraFeatures::FeatureName(feature)) + " saved as " +
                  std::to_string(offer.rawMin) + " came back as " + std::to_string(state.value);
    } else if (channels.Current() != count) {
        problem = "CUR_MEM_CH reads " + std::to_string(channels.Current()) + ", not " +
                  std::to_string(count);
    }
    const bool kept = held.Restore(c.cam, c.camera).empty() && channels.Save(count);
    if (problem.empty() && !kept)
        problem = "channel " + std::to_string(count) + " could not be given its settings back";
    if (!problem.empty()) return c.report.Fail("memory-channels", problem);
    c.report.Pass("memory-channels", std::string(CameraFeatures::FeatureName(feature)) + " " +
                                         std::to_string(offer.rawMin) + " saved into channel " +
                                         std::to_string(count) + " of " + std::to_string(count) +
                                         " came back; the channel keeps what it held");
}

}  // namespace checks
