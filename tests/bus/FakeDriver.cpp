// A stand-in bus driver on one unit socket, for the bus-layer tests.
#include "tests/bus/FakeDriver.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <gtest/gtest.h>

#include "driver/RequestDecoder.h"
#include "platform/ByteOrder.h"
#include "platform/DriverProtocol.h"
#include "platform/DeviceProtocol.h"
#include "platform/ErrorCodes.h"

namespace bustest {
namespace {

// The daemons' own decoding of a request, so that every bus test also proves that the driver
// understands what the client sent: 0, or the status the driver would answer.
std::uint32_t DecodeAsTheDriver(const SeenRequest& request) {
    using driver::RequestDecoder;
    namespace p = platform::protocol;
    const std::span<const std::uint8_t> in(request.bytes);
    const std::uint32_t out = request.outSize;
    bool host = false;
    std::uint32_t a = 0, b = 0;
    switch (request.code) {
        case p::kIoctlAsyncRead:
        case p::kIoctlAsyncWrite: {
            driver::AsyncRecord record;
            return RequestDecoder::Async(in, out, request.code == p::kIoctlAsyncWrite, record);
        }
        case p::kIoctlAsyncBroadcastWrite: {
            driver::AsyncRecord record;
            return RequestDecoder::BroadcastWrite(in, out, record);
        }
        case p::kIoctlNodeAddress:
            return RequestDecoder::NodeAddress(in, out, host);
        case p::kIoctlMaxSpeed:
            return RequestDecoder::MaxSpeed(in, out, host);
        case p::kIoctlConfigInfo: {
            driver::ConfigInfoRecord record;
            return RequestDecoder::ConfigInfo(in, out, record);
        }
        case p::kIoctlHostInfo:
            return RequestDecoder::HostInfo(in, out);
        case p::kIoctlHostMemoryRead:
        case p::kIoctlHostMemoryWrite: {
            driver::HostMemoryRecord record;
            return RequestDecoder::HostMemory(in, out, request.code == p::kIoctlHostMemoryWrite,
                                              record);
        }
        case p::kIoctlAllocateBandwidth:
            return RequestDecoder::Bandwidth(in, out, a, b);
        case p::kIoctlAllocateChannel:
            return RequestDecoder::Channel(in, out, a);
        case p::kIoctlAllocateResources: {
            driver::ResourceRecord record;
            return RequestDecoder::Resources(in, out, record);
        }
        case p::kIoctlAttachBuffers: {
            driver::AttachRecord record;
            return RequestDecoder::Attach(in, record);
        }
        case p::kIoctlDetachBuffers:
            return RequestDecoder::Detach(in, a, b);
        case p::kIoctlIsochRead: {
            driver::IsochReadRecord record;
            return RequestDecoder::IsochRead(in, out, record);
        }
        case p::kIoctlListen:
        case p::kIoctlTalk:
            return RequestDecoder::Handle(in, p::kStartRecordBytes, a);
        case p::kIoctlStop:
            return RequestDecoder::Handle(in, p::kStopRecordBytes, a);
        case p::kIoctlFreeBandwidth:
        case p::kIoctlFreeChannel:
        case p::kIoctlFreeResources:
            return RequestDecoder::Handle(in, p::kFreeRecordBytes, a);
        default:
            return 0;
    }
}

}  // namespace

class FakeDriver::Connection {
public:
    explicit Connection(int socket) : fd(socket) {}
    ~Connection() { ::close(fd); }

    bool Write(std::uint32_t id, std::uint32_t status, const std::vector<std::uint8_t>& answer) {
        const auto header = platform::EncodeFrameHeader(
            platform::MakeCompletion(id, status, static_cast<std::uint32_t>(answer.size())));
        std::vector<std::uint8_t> frame(header.begin(), header.end());
        frame.insert(frame.end(), answer.begin(), answer.end());
        std::lock_guard lock(writeMutex);
        std::size_t done = 0;
        while (done < frame.size()) {
            const ssize_t n = ::send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += std::size_t(n);
        }
        return true;
    }

    const int fd;
    std::mutex writeMutex;
    std::map<std::uint32_t, SeenRequest> pending;  // by id; guarded by the driver's mutex
};

namespace {

bool ReadAll(int fd, std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::recv(fd, data + done, size - done, 0);
        if (n <= 0) return false;
        done += std::size_t(n);
    }
    return true;
}

bool Pends(std::uint32_t code) {
    using namespace platform::protocol;
    return code == kIoctlAttachBuffers || code == kIoctlIsochRead || code == kIoctlBusResetWait;
}

void FillPattern(std::vector<std::uint8_t>& bytes, std::size_t from) {
    for (std::size_t i = from; i < bytes.size(); ++i) bytes[i] = std::uint8_t(0x40 + (i - from));
}

}  // namespace

FakeDriver::FakeDriver(const std::filesystem::path& directory, const std::string& unitName,
                       DriverModel model)
    : m_path((directory / unitName).string()), m_model(std::move(model)) {
    m_listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (m_listener < 0 || m_path.size() >= sizeof(address.sun_path)) {
        throw std::runtime_error("fake driver: no socket");
    }
    std::memcpy(address.sun_path, m_path.c_str(), m_path.size() + 1);
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(m_listener, 16) != 0) {
        throw std::runtime_error("fake driver: cannot listen on " + m_path);
    }
    m_acceptor = std::thread([this] { AcceptLoop(); });
}

FakeDriver::~FakeDriver() {
    m_stop = true;
    m_acceptor.join();
    {
        std::lock_guard lock(m_mutex);
        for (const auto& connection : m_connections) ::shutdown(connection->fd, SHUT_RDWR);
    }
    for (std::thread& thread : m_threads) thread.join();
    ::close(m_listener);
    ::unlink(m_path.c_str());
    EXPECT_EQ(m_undecoded, 0u) << "requests the driver's decoder refuses";
}

void FakeDriver::AcceptLoop() {
    while (!m_stop) {
        pollfd entry{m_listener, POLLIN, 0};
        if (::poll(&entry, 1, 20) <= 0) continue;
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        auto connection = std::make_shared<Connection>(fd);
        std::lock_guard lock(m_mutex);
        m_connections.push_back(connection);
        m_threads.emplace_back([this, connection] { Serve(connection); });
    }
}

void FakeDriver::Serve(const std::shared_ptr<Connection>& connection) {
    for (;;) {
        std::array<std::uint8_t, platform::kFrameHeaderBytes> raw{};
        if (!ReadAll(connection->fd, raw.data(), raw.size())) break;
        const auto header = platform::DecodeFrameHeader(raw);
        if (!header) break;
        SeenRequest request{header->code, std::vector<std::uint8_t>(header->PayloadBytes()),
                            header->outSize};
        if (!ReadAll(connection->fd, request.bytes.data(), request.bytes.size())) break;
        if (header->kind == platform::FrameKind::Cancel) {
            std::vector<std::uint32_t> ids;
            {
                std::lock_guard lock(m_mutex);
                for (auto it = connection->pending.begin(); it != connection->pending.end();) {
                    if (header->id != 0 && it->first != header->id) {
                        ++it;
                        continue;
                    }
                    ids.push_back(it->first);
                    it = connection->pending.erase(it);
                }
                m_cancellations += ids.size();
            }
            for (std::uint32_t id : ids)
                connection->Write(id, platform::kErrorOperationAborted, {});
            m_changed.notify_all();
            continue;
        }
        std::uint32_t status = 0;
        bool pend = false;
        std::vector<std::uint8_t> answer;
        {
            std::lock_guard lock(m_mutex);
            answer = Answer(request, status, pend);
            if (pend) connection->pending[header->id] = request;
            m_requests.push_back(std::move(request));
        }
        m_changed.notify_all();
        if (!pend) connection->Write(header->id, status, answer);
    }
    std::lock_guard lock(m_mutex);
    connection->pending.clear();
}

std::vector<std::uint8_t> FakeDriver::Answer(const SeenRequest& request, std::uint32_t& status,
                                             bool& pend) {
    using namespace platform::protocol;
    if ((status = DecodeAsTheDriver(request)) != 0) {
        ++m_undecoded;
        return {};
    }
    if (auto failure = m_model.failures.find(request.code); failure != m_model.failures.end()) {
        status = failure->second;
        return {};
    }
    if (Pends(request.code)) {
        pend = true;
        return {};
    }
    std::vector<std::uint8_t> answer = request.bytes;
    answer.resize(request.outSize, 0);
    auto put = [&answer](std::size_t offset, std::uint32_t value) {
        if (offset + 4 <= answer.size()) platform::StoreLE32(&answer[offset], value);
    };
    const bool host = answer.size() >= 4 && platform::LoadLE32(answer.data()) == 1;
    switch (request.code) {
        case kIoctlNodeAddress:
            put(kNodeAddressOffset, 0xFFC0u | (host ? m_model.hostNode : m_model.deviceNode));
            break;
        case kIoctlMaxSpeed:
            put(kMaxSpeedOffset, host ? m_model.hostSpeed : m_model.deviceSpeed);
            break;
        case kIoctlConfigInfo: {
            std::copy(m_model.busInfo.begin(), m_model.busInfo.end(), answer.begin());
            put(kConfigSizeOffsets[0], std::uint32_t(m_model.unitDirectory.size()));
            put(kConfigSizeOffsets[1], std::uint32_t(m_model.unitDependentDirectory.size()));
            put(kConfigSizeOffsets[2], 0);
            put(kConfigSizeOffsets[3], 0);
            std::vector<std::uint8_t> data = m_model.unitDirectory;
            data.insert(data.end(), m_model.unitDependentDirectory.begin(),
                        m_model.unitDependentDirectory.end());
            if (answer.size() >= kConfigHeaderBytes + data.size()) {
                std::copy(data.begin(), data.end(), answer.begin() + kConfigHeaderBytes);
            }
            break;
        }
        case kIoctlAsyncRead:
            FillPattern(answer, kAsyncHeaderBytes);
            break;
        case kIoctlHostMemoryRead:
            FillPattern(answer, kHostMemoryHeaderBytes);
            break;
        case kIoctlHostInfo:
            put(kHostInfoCapsOffset, m_model.hostCaps);
            break;
        case kIoctlAllocateBandwidth:
            put(kBandwidthHandleOffset, m_model.bandwidthHandle);
            break;
        case kIoctlAllocateResources:
            put(kResourceHandleOffset, m_model.resourceHandle);
            break;
        default:
            break;
    }
    return answer;
}

void FakeDriver::SetModel(const DriverModel& model) {
    std::lock_guard lock(m_mutex);
    m_model = model;
}

std::vector<SeenRequest> FakeDriver::Requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::vector<SeenRequest> FakeDriver::RequestsWithCode(std::uint32_t code) const {
    std::vector<SeenRequest> matching = Requests();
    std::erase_if(matching, [code](const SeenRequest& r) { return r.code != code; });
    return matching;
}

std::vector<std::uint32_t> FakeDriver::Codes() const {
    std::vector<std::uint32_t> codes;
    for (const SeenRequest& request : Requests()) codes.push_back(request.code);
    return codes;
}

void FakeDriver::ClearRequests() {
    std::lock_guard lock(m_mutex);
    m_requests.clear();
}

bool FakeDriver::WaitForRequests(std::uint32_t code, std::size_t count,
                                 std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] {
        return std::size_t(
                   std::count_if(m_requests.begin(), m_requests.end(),
                                 [code](const SeenRequest& r) { return r.code == code; })) >= count;
    });
}

std::size_t FakeDriver::PendingCount(std::uint32_t code) const {
    std::lock_guard lock(m_mutex);
    std::size_t count = 0;
    for (const auto& connection : m_connections) {
        for (const auto& [id, request] : connection->pending) count += request.code == code;
    }
    return count;
}

void FakeDriver::CompletePending(std::uint32_t code, std::uint32_t status, const AnswerFn& answer) {
    struct Due {
        std::shared_ptr<Connection> connection;
        std::uint32_t id;
        std::vector<std::uint8_t> reply;
    };
    std::vector<Due> due;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& connection : m_connections) {
            for (auto it = connection->pending.begin(); it != connection->pending.end();) {
                if (it->second.code != code) {
                    ++it;
                    continue;
                }
                std::vector<std::uint8_t> reply;
                if (answer) reply = answer(it->second.bytes);
                reply.resize(std::min<std::size_t>(reply.size(), it->second.outSize));
                due.push_back({connection, it->first, std::move(reply)});
                it = connection->pending.erase(it);
            }
        }
    }
    for (const Due& item : due) item.connection->Write(item.id, status, item.reply);
}

std::size_t FakeDriver::Cancellations() const {
    std::lock_guard lock(m_mutex);
    return m_cancellations;
}

}  // namespace bustest
