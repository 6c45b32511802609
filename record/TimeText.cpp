// UTC times of frames and their text.
#include "record/TimeText.h"

#include <ctime>

namespace kestrix::record {

namespace {

std::int64_t ClockNs(clockid_t clock) {
    timespec t{};
    ::clock_gettime(clock, &t);
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

std::tm UtcFields(std::int64_t utcNs, std::int64_t& subNs) {
    std::int64_t seconds = utcNs / 1'000'000'000;
    subNs = utcNs % 1'000'000'000;
    if (subNs < 0) {
        subNs += 1'000'000'000;
        --seconds;
    }
    const std::time_t t = std::time_t(seconds);
    std::tm fields{};
    ::gmtime_r(&t, &fields);
    return fields;
}

}  // namespace

std::int64_t FrameUtcNs(const session::FrameMetadata& meta) {
    if (meta.sentUtcNs != 0) return meta.sentUtcNs;
    return meta.arrivalNs + (ClockNs(CLOCK_REALTIME) - ClockNs(CLOCK_MONOTONIC));
}

std::string IsoUtc(std::int64_t utcNs) {
    std::int64_t subNs = 0;
    const std::tm f = UtcFields(utcNs, subNs);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", f.tm_year + 1900,
                  f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec, int(subNs / 1000));
    return text;
}

std::string TiffDateTime(std::int64_t utcNs) {
    std::int64_t subNs = 0;
    const std::tm f = UtcFields(utcNs, subNs);
    char text[64];
    std::snprintf(text, sizeof text, "%04d:%02d:%02d %02d:%02d:%02d", f.tm_year + 1900,
                  f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec);
    return text;
}

}  // namespace kestrix::record
