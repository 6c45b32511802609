// How fast kestrix-busd streams 1360 x 1024 RGB 8 Format 7 frames to one reading client: for
// rising rate scales, frames and megabytes per second received, and frames lost on the way.
// Usage: bench_busd_stream [SECONDS_PER_SCALE] [SCALE ...]
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/DeviceHandle.h"
#include "tests/simbus/BusRecords.h"
#include "tests/support/SimulatedBus.h"

namespace {

using namespace simbustest;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kWidth = 1360, kHeight = 1024;
constexpr std::uint32_t kFormat7 = 0xE000'0000;
constexpr std::uint32_t kRgb8 = 4u << 24;

class Camera {
public:
    explicit Camera(const std::string& path) { m_ok = m_handle.Open(path) == 0; }

    std::uint32_t Call(std::uint32_t code, Bytes& record, std::uint32_t inSize) {
        return m_handle.Request(code, record, inSize, std::uint32_t(record.size()));
    }
    std::uint32_t Call(std::uint32_t code, Bytes& record) {
        return Call(code, record, std::uint32_t(record.size()));
    }

    bool Write(std::uint64_t address, std::uint32_t value) {
        Bytes record = AsyncWrite(NodeAddress(0), address, {value});
        return Call(simbus::kIoctlAsyncWrite, record) == 0;
    }
    std::uint32_t Read(std::uint64_t address) {
        Bytes record = AsyncRecord(NodeAddress(0), address, 4);
        return Call(simbus::kIoctlAsyncRead, record) == 0 ? platform::LoadBE32(&record[36]) : 0;
    }

    // Programs the mode with the largest packets and starts listening; false on any failure.
    bool Setup() {
        Bytes header(68);
        if (!m_ok || Call(simbus::kIoctlConfigInfo, header) != 0) return false;
        Bytes full(68 + Word(header, 24) + Word(header, 40) + Word(header, 56) + Word(header, 60));
        std::copy_n(header.begin() + 24, 44, full.begin() + 24);
        if (Call(simbus::kIoctlConfigInfo, full) != 0) return false;
        const std::uint64_t base =
            kCsrBase + (platform::LoadBE32(&full[68 + Word(header, 24)]) & 0xFF'FFFF) * 4ull;
        const std::uint64_t mode = kCsrBase + std::uint64_t(Read(base + 0x2E0)) * 4;
        if (!Write(base + kCurFormat, kFormat7) || !Write(base + kCurMode, 0) ||
            !Write(mode + 0x10, kRgb8) || !Write(mode + 0x08, 0) ||
            !Write(mode + 0x0C, kWidth << 16 | kHeight)) {
            return false;
        }
        const std::uint32_t maxPacket = Read(mode + 0x40) & 0xFFFF;
        if (!Write(mode + 0x44, maxPacket << 16 | maxPacket)) return false;
        m_packets = Read(mode + 0x48);
        m_bytes = maxPacket * m_packets;
        if (!Write(base + kIsoChannelSpeed, 2u << 24)) return false;

        Bytes record = Words({maxPacket, 4, 0, 0, 0});
        if (Call(simbus::kIoctlAllocateBandwidth, record) != 0) return false;
        record = Words({0, 0, 0, 0});
        if (Call(simbus::kIoctlAllocateChannel, record) != 0) return false;
        record = Resources(0x0D, 0, maxPacket, 1, m_bytes);
        if (Call(simbus::kIoctlAllocateResources, record) != 0) return false;
        m_resource = Word(record, 28);
        m_attach = Attach(m_resource, {{simbus::kDescriptorSync, m_bytes, maxPacket, 1, 0}});
        m_attachRequest.SetEvent(nullptr);
        m_handle.Issue(simbus::kIoctlAttachBuffers, m_attach, std::uint32_t(m_attach.size()),
                       std::uint32_t(m_attach.size()), m_attachRequest);
        record = Words({m_resource, 0, 0});
        m_read = IsochRead(m_resource, m_bytes);
        return Call(simbus::kIoctlListen, record) == 0 && Write(base + kIsoEnable, 0x8000'0000);
    }

    // The next frame's counter; fullRecord sends the whole buffer, as the transfer thread does.
    std::optional<std::uint32_t> NextFrame(bool fullRecord) {
        platform::StoreLE32(&m_read[4], 0);
        const std::uint32_t in = fullRecord ? std::uint32_t(m_read.size()) : 16;
        if (Call(simbus::kIoctlIsochRead, m_read, in) != 0 || std::int32_t(Word(m_read, 4)) < 0)
            return std::nullopt;
        return platform::LoadBE32(&m_read[16]);
    }

    std::uint32_t Packets() const { return m_packets; }
    std::uint32_t FrameBytes() const { return m_bytes; }

private:
    platform::DeviceHandle m_handle;
    bool m_ok = false;
    std::uint32_t m_packets = 0, m_bytes = 0, m_resource = 0;
    Bytes m_attach, m_read;
    platform::AsyncRequest m_attachRequest;
};

struct Figures {
    double framesPerSecond = 0;
    double megabytesPerSecond = 0;
    double nominal = 0;
    std::uint64_t lost = 0;
};

std::optional<Figures> Measure(double scale, double seconds, bool fullRecord) {
    testsupport::SimulatedBus bus(1, scale);
    if (!bus.IsRunning()) return std::nullopt;
    Camera camera(bus.UnitPaths().at(0));
    if (!camera.Setup()) return std::nullopt;
    auto first = camera.NextFrame(fullRecord);  // the stream is up
    if (!first) return std::nullopt;
    const auto start = Clock::now();
    std::uint32_t last = *first;
    std::uint64_t frames = 0;
    while (Clock::now() - start < std::chrono::duration<double>(seconds)) {
        const auto counter = camera.NextFrame(fullRecord);
        if (!counter) return std::nullopt;
        last = *counter;
        ++frames;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    Figures figures;
    figures.framesPerSecond = double(frames) / elapsed;
    figures.megabytesPerSecond = figures.framesPerSecond * camera.FrameBytes() / 1e6;
    figures.nominal = 8000.0 * scale / camera.Packets();
    figures.lost = (last - *first) - frames;
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    std::vector<double> scales;
    for (int i = 2; i < argc; ++i) scales.push_back(std::atof(argv[i]));
    if (scales.empty()) scales = {1, 5, 10, 12, 15, 20, 30};

    std::printf("1360 x 1024 RGB 8, Format 7, 4096-byte packets, one reading client\n");
    std::printf("%8s %12s %10s %10s %10s %8s\n", "scale", "read", "nominal", "got", "MB/s", "lost");
    for (const bool fullRecord : {true, false}) {
        for (const double scale : scales) {
            const auto figures = Measure(scale, seconds, fullRecord);
            if (!figures) {
                std::printf("%8g %12s  failed\n", scale,
                            fullRecord ? "full record" : "header only");
                return 1;
            }
            std::printf("%8g %12s %10.1f %10.1f %10.1f %8llu\n", scale,
                        fullRecord ? "full record" : "header only", figures->nominal,
                        figures->framesPerSecond, figures->megabytesPerSecond,
                        static_cast<unsigned long long>(figures->lost));
            std::fflush(stdout);
        }
    }
    return 0;
}
