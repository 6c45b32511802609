// The fake kernel's settings, read from the environment once (docs/fake-kernel.md).
#pragma once

#include <cstdint>
#include <string>

#include "simbus/CameraModel.h"

namespace fakefw {

struct Config {
    unsigned cameras = 1;
    simbus::CameraModel::Kind model = simbus::CameraModel::Kind::Kx1360;
    double rateScale = 1.0;
    std::uint32_t requestDelayUs = 0;
    std::uint32_t resetDelayUs = 0;
    std::uint32_t queueLimit = 16384;  // packets queued on one context
    unsigned contexts = 4;             // isochronous receive contexts of the controller
    std::string controlPath;
    std::string devDir;  // KESTRIX_FW_DEVDIR, without a trailing slash
    bool log = false;

    // Bad values are reported on stderr once and replaced by the defaults.
    static const Config& Get();
};

}  // namespace fakefw
