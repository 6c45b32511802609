// Parses the environment into the fake kernel's settings.
#include "tests/support/fakefw/Config.h"

#include <cstdio>
#include <cstdlib>

namespace fakefw {
namespace {

// The variable as a number in [low, high], or fallback (with a note) when it is not one.
double Number(const char* name, double low, double high, double fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (*end != '\0' || !(value >= low && value <= high)) {
        std::fprintf(stderr, "libkestrix_fakefw: ignoring %s=%s (expected %g to %g)\n", name, text,
                     low, high);
        return fallback;
    }
    return value;
}

std::string Text(const char* name) {
    const char* text = std::getenv(name);
    return text == nullptr ? std::string() : std::string(text);
}

Config Load() {
    Config c;
    c.cameras = unsigned(Number("KESTRIX_FAKEFW_CAMERAS", 0, 16, c.cameras));
    if (const std::string model = Text("KESTRIX_FAKEFW_MODEL"); !model.empty()) {
        if (const auto kind = simbus::CameraModel::KindNamed(model))
            c.model = *kind;
        else
            std::fprintf(stderr, "libkestrix_fakefw: ignoring KESTRIX_FAKEFW_MODEL=%s "
                                 "(expected generic or kx1360)\n", model.c_str());
    }
    c.rateScale = Number("KESTRIX_FAKEFW_RATE_SCALE", 1e-3, 1000, c.rateScale);
    c.requestDelayUs = std::uint32_t(Number("KESTRIX_FAKEFW_REQUEST_DELAY_US", 0, 1e7, 0));
    c.resetDelayUs = std::uint32_t(Number("KESTRIX_FAKEFW_RESET_DELAY_US", 0, 1e7, 0));
    c.queueLimit = std::uint32_t(Number("KESTRIX_FAKEFW_QUEUE_LIMIT", 1, 1 << 20, c.queueLimit));
    c.contexts = unsigned(Number("KESTRIX_FAKEFW_CONTEXTS", 1, 64, c.contexts));
    c.controlPath = Text("KESTRIX_FAKEFW_CTL");
    c.devDir = Text("KESTRIX_FW_DEVDIR");
    while (c.devDir.size() > 1 && c.devDir.back() == '/') c.devDir.pop_back();
    c.log = Text("KESTRIX_FAKEFW_LOG") == "1";
    return c;
}

}  // namespace

const Config& Config::Get() {
    static const Config config = Load();
    return config;
}

}  // namespace fakefw
