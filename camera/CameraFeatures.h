// The camera's standard IIDC features by name, as kestrix-capture's --get prints them
// (NAME=VALUE, with the value in real units beside the raw one where the camera has absolute
// registers: "shutter=2048 (33.33 ms)") and --set takes them (raw, or with a unit: "10ms",
// "6dB"): a setting is written, then read back. A value is checked against the camera's
// inquiry register (presence, range, auto, on/off, one-push, absolute range) first.
//
// Threading: the camera object's owner thread only, like every register access.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "camera/C1394Dcam.h"
#include "camera/FeatureAccess.h"

class CameraFeatures {
public:
    using DWORD = C1394Dcam::DWORD;
    enum class Status {
        Ok,
        Failed,   // a register access failed
        Refused,  // the camera lacks the feature, the value is out of its range, or not taken
    };
    struct Outcome {
        Status status = Status::Ok;
        std::string message;  // why, for a failure
    };
    using Values =
        std::vector<std::pair<std::string, std::string>>;  // name, value as --set takes it

    CameraFeatures(C1394Dcam& cam, int camera) : m_cam(cam), m_nCamera(camera) {}

    static bool IsName(std::string_view name);
    // The feature number of a name (-1 for none), and the name of a number (null for none).
    static int FeatureNumber(std::string_view name);
    static const char* FeatureName(int feature);
    // The value as --get prints it, with the absolute value in its unit beside the raw one:
    // "2048 (33.33 ms)".
    static std::string Format(int feature, DWORD inquiry, const FeatureAccess::State& state);
    // "one of brightness, ..., optical-filter"
    static std::string NameHint();
    // Why setting (NAME=VALUE) cannot be meant, whatever the camera; empty when it can.
    static std::string CheckSetting(std::string_view setting);

    // Appends the feature's value, or every present feature's for "all".
    Outcome Get(std::string_view nameOrAll, Values& values);
    Outcome Set(std::string_view setting);

private:
    struct Request;

    Outcome ReadOne(int feature, bool skipAbsent, Values& values);
    Outcome Inquiry(int feature, FeatureAccess::Offer& offer);
    // The control value that carries the request, or a refusal.
    Outcome Compose(const Request& request, DWORD inquiry, DWORD current, DWORD& wanted) const;
    // A value in units, written to the absolute register.
    Outcome SetAbsolute(const Request& request, const FeatureAccess::Offer& offer);
    static std::string Format(int feature, DWORD inquiry, DWORD control);

    C1394Dcam& m_cam;
    int m_nCamera;
};
