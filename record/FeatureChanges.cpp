// Holding noted feature changes until their frame.
#include "record/FeatureChanges.h"

#include <time.h>

#include <algorithm>

namespace kestrix::record {

namespace {

bool SameValue(const session::Feature& a, const session::Feature& b) {
    return a.mode == b.mode && a.value == b.value && a.high == b.high && a.absolute == b.absolute;
}

}  // namespace

void FeatureChanges::Note(const std::vector<session::Feature>& features) {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    const std::int64_t now = std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
    const std::lock_guard hold(m_lock);
    for (const session::Feature& f : features) {
        auto known = std::find_if(m_Features.begin(), m_Features.end(),
                                  [&](const session::Feature& k) { return k.name == f.name; });
        if (known != m_Features.end() && SameValue(*known, f)) continue;
        if (known == m_Features.end()) {
            m_Features.push_back(f);
        } else {
            *known = f;
        }
        m_Changes.push_back({now, f});
    }
}

std::vector<session::Feature> FeatureChanges::Due(std::int64_t arrivalNs) {
    std::vector<session::Feature> due;
    const std::lock_guard hold(m_lock);
    auto it = m_Changes.begin();
    for (; it != m_Changes.end() && it->seenNs <= arrivalNs; ++it) due.push_back(it->feature);
    m_Changes.erase(m_Changes.begin(), it);
    return due;
}

}  // namespace kestrix::record
