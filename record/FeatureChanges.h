// The feature changes a front end notes while a recording runs, each held until the first frame
// that arrived after it was noted, for that frame's place in the frame log.
//
// Threading: Note from any thread, Due from the recorder's; one lock guards both.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "session/Feature.h"

namespace kestrix::record {

class FeatureChanges {
public:
    // start: the values the recording began with.
    explicit FeatureChanges(std::vector<session::Feature> start) : m_Features(std::move(start)) {}

    // The features as read now; a value unlike the last one is a change.
    void Note(const std::vector<session::Feature>& features);
    // The changes noted by arrivalNs (CLOCK_MONOTONIC), in order, taken out of the queue.
    std::vector<session::Feature> Due(std::int64_t arrivalNs);

private:
    struct Change {
        std::int64_t seenNs = 0;
        session::Feature feature;
    };

    std::mutex m_lock;  // guards the two below
    std::vector<session::Feature> m_Features;  // as last noted
    std::vector<Change> m_Changes;             // noted, not yet due
};

}  // namespace kestrix::record
