// Saving what a ring holds.
#include "record/SaveRing.h"

#include <vector>

#include "record/RecordingFile.h"

namespace kestrix::record {

namespace {

struct Held {
    int slot = 0;
    std::uint16_t sequence = 0;
    std::uint64_t stored = 0;  // the frame's place among the frames the ring stored
};

// The frames held, oldest first, as the ring numbers them now.
std::vector<Held> HeldFrames(const FrameRing& ring) {
    const int slots = ring.GetSlotCount();
    const int newest = ring.NewestSlot();
    const std::uint64_t stored = ring.GetStats().stored;
    if (newest < 0 || slots <= 0) return {};
    const std::uint64_t count = std::min<std::uint64_t>(stored, std::uint64_t(slots));
    const std::uint16_t newestSequence = ring.GetSequence(newest);
    std::vector<Held> held;
    for (std::uint64_t k = 0; k < count; ++k) {
        const std::uint64_t back = count - 1 - k;
        const int slot = int((std::uint64_t(newest) + std::uint64_t(slots) - back) % std::uint64_t(slots));
        held.push_back({slot, std::uint16_t(newestSequence - back), stored - 1 - back});
    }
    return held;
}

}  // namespace

bool SaveRing(const session::FrameStream& stream, const RecordingSetup& setup, double lastSeconds,
              const std::function<bool(std::uint64_t, std::uint64_t)>& progress,
              SaveRingResult& result, std::string& error) {
    const std::shared_ptr<FrameRing>& ring = stream.Ring();
    std::vector<std::uint8_t> frame(stream.SlotBytes());
    std::vector<Held> held = HeldFrames(*ring);
    FrameRing::SlotInfo newest;
    if (held.empty() || !stream.CopySlot(held.back().slot, frame, newest)) {
        error = "the ring holds no frame";
        return false;
    }
    const std::int64_t from =
        lastSeconds > 0 ? newest.arrival - std::int64_t(lastSeconds * 1e9) : INT64_MIN;
    RecordingFile file(setup, error);
    if (!error.empty()) return false;
    bool ok = true;
    for (std::size_t k = 0; k < held.size() && ok; ++k) {
        FrameRing::SlotInfo info;
        if (!stream.CopySlot(held[k].slot, frame, info) || info.sequence != held[k].sequence) {
            ++result.overwritten;
            continue;
        }
        if (info.arrival < from) continue;
        session::FrameMetadata meta;
        meta.sequence = held[k].stored;
        meta.cycleTime = info.cycleTime;
        meta.arrivalNs = info.arrival;
        stream.MapSentTime(meta);
        meta.flags = info.shortFrame ? session::FrameMetadata::kShort : 0;
        meta.slot = info.slot;
        ok = file.Add(std::span(frame).first(stream.FrameBytes()), meta, error);
        if (ok && progress && !progress(file.Frames(), held.size())) break;
    }
    result.frames = file.Frames();
    std::string finishError;
    if (!file.Finish(ok ? std::string() : error, finishError) && ok) {
        error = finishError;
        ok = false;
    }
    return ok;
}

}  // namespace kestrix::record
