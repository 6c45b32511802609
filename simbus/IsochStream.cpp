// Pacing and rendering of a camera's frames.
#include "simbus/IsochStream.h"

#include <algorithm>

#include "driver/RequestCodes.h"
#include "driver/ResourceManager.h"

namespace simbus {

using namespace driver;
namespace {

// A stream that falls further behind than this many frames (a stalled machine, or a rate scale
// beyond what the bus can render) starts afresh instead of sending a flood of stale frames.
constexpr std::uint64_t kMaxFramesBehind = 8;
// Beyond the largest frame any mode has.
constexpr std::uint64_t kMaxFrameBytes = 64u << 20;

std::uint64_t PayloadBytes(const CameraModel::StreamSetup& setup) {
    const std::uint64_t packets = std::max<std::uint64_t>(
        setup.packetsPerFrame,
        (std::uint64_t{setup.frameBytes} + setup.bytesPerPacket - 1) / setup.bytesPerPacket);
    return packets * setup.bytesPerPacket;
}

}  // namespace

void IsochStream::Follow(const CameraModel::StreamSetup& setup, std::uint64_t now) {
    const bool wasSending = m_sending;
    const bool same = SameStream(setup);
    m_refusal.clear();
    m_sending = false;
    if (setup.transmitting) {
        const std::uint32_t limit = ResourceManager::MaxPacketBytes(setup.speedCode);
        if (setup.bytesPerPacket == 0 || setup.frameBytes == 0) {
            m_refusal = "the programmed mode sends no packets";
        } else if (setup.bytesPerPacket > limit) {
            m_refusal = "packets of " + std::to_string(setup.bytesPerPacket) +
                        " bytes exceed the speed's limit of " + std::to_string(limit);
        } else if (PayloadBytes(setup) > kMaxFrameBytes) {
            m_refusal = "the frame is too large";
        } else {
            m_sending = true;
        }
    }
    m_setup = setup;
    if (!m_sending || (wasSending && same)) return;
    m_frame.assign(PayloadBytes(setup), 0);
    m_streamStart = m_frameStart = now;
    m_frameIndex = 0;
}

std::optional<std::uint64_t> IsochStream::DueAt() const {
    if (!m_sending) return std::nullopt;
    // One packet goes out each cycle.
    return m_frameStart + PacketsPerFrame();
}

PacketRun IsochStream::SendFrame(CameraModel& camera, std::uint64_t now) {
    m_sent.push_back({m_counter, m_frameStart});
    if (m_sent.size() > kSentKept) m_sent.pop_front();
    camera.RenderFrame(std::span<std::uint8_t>(m_frame).first(m_setup.frameBytes), m_counter++);
    ++m_framesSent;
    PacketRun run;
    run.channel = m_setup.channel;
    run.tag = kCameraTag;
    run.firstSy = kFrameStartSy;
    run.bytesPerPacket = m_setup.bytesPerPacket;
    run.payload = m_frame;
    run.cycle = m_frameStart;
    NextFrame(now);
    return run;
}

void IsochStream::SkipFrame(std::uint64_t now) {
    ++m_counter;
    ++m_framesSkipped;
    NextFrame(now);
}

void IsochStream::NextFrame(std::uint64_t now) {
    // The next frame starts on time, but never before this one's last packet.
    const std::uint64_t packets = PacketsPerFrame();
    m_frameStart = std::max(m_streamStart + FrameOffset(++m_frameIndex), m_frameStart + packets);
    if (now > m_frameStart + kMaxFramesBehind * (FrameOffset(1) + packets)) {
        // The camera went on sending while the bus stalled: the frames whose time passed are
        // lost on the bus, counted as such, and its counter and clock moved on with them.
        const std::uint64_t missed = SkipPassedFrames(now - packets);
        m_counter += std::uint32_t(missed);
        m_framesLost += missed;
        ++m_lateRestarts;
    }
}

std::string IsochStream::Describe() const {
    if (!m_refusal.empty()) return "not sending: " + m_refusal;
    if (!m_sending) return "idle, frames " + std::to_string(m_framesSent);
    return "sending on channel " + std::to_string(m_setup.channel) + ", " +
           std::to_string(m_setup.bytesPerPacket) + " B x " + std::to_string(PacketsPerFrame()) +
           " packets every " + std::to_string(FrameOffset(1)) + " cycles, frames " +
           std::to_string(m_framesSent) + ", late restarts " + std::to_string(m_lateRestarts) +
           " (frames lost on the bus " + std::to_string(m_framesLost) + "), frames skipped " +
           std::to_string(m_framesSkipped);
}

bool IsochStream::SameStream(const CameraModel::StreamSetup& setup) const {
    return setup.channel == m_setup.channel && setup.speedCode == m_setup.speedCode &&
           setup.bytesPerPacket == m_setup.bytesPerPacket &&
           setup.packetsPerFrame == m_setup.packetsPerFrame &&
           setup.frameBytes == m_setup.frameBytes &&
           setup.cyclesPerFrame == m_setup.cyclesPerFrame &&
           setup.cyclesPerFrameNum == m_setup.cyclesPerFrameNum &&
           setup.cyclesPerFrameDen == m_setup.cyclesPerFrameDen;
}

std::uint64_t IsochStream::SkipPassedFrames(std::uint64_t last) {
    const std::uint64_t num = m_setup.cyclesPerFrameNum != 0 && m_setup.cyclesPerFrameDen != 0
                                  ? m_setup.cyclesPerFrameNum
                                  : m_setup.cyclesPerFrame;
    const std::uint64_t den = m_setup.cyclesPerFrameNum != 0 && m_setup.cyclesPerFrameDen != 0
                                  ? m_setup.cyclesPerFrameDen
                                  : 1;
    if (num == 0 || last < m_streamStart) return 0;
    // The last frame n that starts at or before last: floor(n x num / den) <= last - start.
    const std::uint64_t passed = ((last - m_streamStart + 1) * den - 1) / num;
    if (passed < m_frameIndex) return 0;
    const std::uint64_t missed = passed + 1 - m_frameIndex;
    m_frameIndex = passed + 1;
    m_frameStart = m_streamStart + FrameOffset(m_frameIndex);
    return missed;
}

std::uint64_t IsochStream::FrameOffset(std::uint64_t n) const {
    if (m_setup.cyclesPerFrameNum != 0 && m_setup.cyclesPerFrameDen != 0) {
        return m_setup.FrameStartCycle(n);
    }
    return n * m_setup.cyclesPerFrame;
}

}  // namespace simbus
