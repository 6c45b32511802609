// Device handles against an in-test driver speaking the unit-socket framing.
#include "platform/DeviceHandle.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "platform/ByteOrder.h"
#include "platform/DeviceSocket.h"
#include "platform/ErrorCodes.h"
#include "tests/platform/DeviceTestDir.h"

namespace platform {
namespace {

using testing::DeviceTestDir;
using testing::ListenAt;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kCode = 0x222008;
constexpr std::chrono::seconds kPatience{10};

struct Frame {
    FrameHeader header;
    Bytes payload;
};

// The driver end of one handle's connection. Frames go to `answer` on the reader thread when
// one is given, else into a queue the test takes them from.
class FakeDriver {
public:
    using Answer = std::function<void(FakeDriver&, const Frame&)>;

    // Takes the path over from an earlier driver's socket file.
    explicit FakeDriver(const std::string& path)
        : m_listener((::unlink(path.c_str()), ListenAt(path))) {}
    ~FakeDriver() {
        Hangup();
        if (m_reader.joinable()) m_reader.join();
    }

    void Accept(Answer answer = {}) {
        UniqueFd connection;
        ASSERT_EQ(AcceptUnix(m_listener.Get(), connection), 0);
        m_socket = DeviceSocket(std::move(connection));
        m_reader = std::thread([this, answer = std::move(answer)] { Receive(answer); });
    }

    Frame Next() {
        std::unique_lock lock(m_mutex);
        const bool arrived = m_arrived.wait_for(lock, kPatience, [&] { return !m_frames.empty(); });
        if (!arrived) ADD_FAILURE() << "no frame from the handle";
        if (!arrived) return {};
        Frame frame = std::move(m_frames.front());
        m_frames.pop_front();
        return frame;
    }

    bool WaitClosed() {
        std::unique_lock lock(m_mutex);
        return m_arrived.wait_for(lock, kPatience, [&] { return m_closed; });
    }

    void Complete(std::uint32_t id, std::uint32_t status, const Bytes& answer = {}) {
        Send(EncodeFrameHeader(MakeCompletion(id, status, std::uint32_t(answer.size()))), answer);
    }

    void Send(std::span<const std::uint8_t> head, std::span<const std::uint8_t> tail = {}) {
        std::lock_guard lock(m_writeMutex);
        m_socket.WriteBytes(head, tail);
    }

    void Hangup() { m_socket.Shutdown(); }

private:
    void Receive(const Answer& answer) {
        Bytes payload;
        while (const auto header = m_socket.ReadFrame(payload)) {
            Frame frame{*header, payload};
            if (answer) {
                answer(*this, frame);
                continue;
            }
            std::lock_guard lock(m_mutex);
            m_frames.push_back(std::move(frame));
            m_arrived.notify_all();
        }
        std::lock_guard lock(m_mutex);
        m_closed = true;
        m_arrived.notify_all();
    }

    UniqueFd m_listener;
    DeviceSocket m_socket;
    std::mutex m_writeMutex;  // keeps answers from two threads whole
    std::mutex m_mutex;       // guards m_frames and m_closed
    std::condition_variable m_arrived;
    std::deque<Frame> m_frames;
    bool m_closed = false;
    std::thread m_reader;
};

// Answers every request with its input reversed, cut to the room the caller gave.
void Echo(FakeDriver& driver, const Frame& frame) {
    if (frame.header.kind != FrameKind::Request) return;
    Bytes answer(frame.payload.rbegin(), frame.payload.rend());
    answer.resize(std::min<std::size_t>(answer.size(), frame.header.outSize));
    driver.Complete(frame.header.id, frame.header.code == kCode ? 0 : kErrorGenFailure, answer);
}

class DeviceHandleTest : public ::testing::Test {
protected:
    // Opens `m_handle` on a fresh driver.
    void Connect(FakeDriver::Answer answer = {}) {
        m_driver = std::make_unique<FakeDriver>(m_path);
        ASSERT_EQ(m_handle.Open(m_path), kErrorSuccess);
        m_driver->Accept(std::move(answer));
    }

    // Issues a request signalling m_event; the id the driver received.
    std::uint32_t Pend(Bytes& buffer, AsyncRequest& request) {
        request.SetEvent(&m_event);
        EXPECT_EQ(m_handle.Issue(kCode, buffer, 0, 4, request), kErrorIoPending);
        return m_driver->Next().header.id;
    }

    DeviceTestDir m_dir;
    std::string m_path = m_dir / "unit-0";
    std::unique_ptr<FakeDriver> m_driver;
    Event m_event{EventMode::ManualReset};  // outlives the handle that may signal it
    DeviceHandle m_handle;
};

TEST_F(DeviceHandleTest, OpenFailsWhereNothingListensAndClosedHandlesRefuseWork) {
    EXPECT_EQ(m_handle.Open(m_dir / "absent"), kErrorFileNotFound);
    { FakeDriver gone(m_path); }  // leaves a socket file nobody listens on
    EXPECT_EQ(m_handle.Open(m_path), kErrorFileNotFound);
    EXPECT_FALSE(m_handle.IsOpen());

    Bytes buffer(8);
    AsyncRequest request;
    EXPECT_EQ(m_handle.Request(kCode, buffer, 4, 4), kErrorInvalidHandle);
    EXPECT_EQ(m_handle.Issue(kCode, buffer, 4, 4, request), kErrorInvalidHandle);
}

TEST_F(DeviceHandleTest, SyncRequestRoundTrip) {
    Connect(Echo);
    Bytes buffer = {1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE};
    std::uint32_t bytes = 99;
    EXPECT_EQ(m_handle.Request(kCode, buffer, 3, 2, &bytes), kErrorSuccess);
    EXPECT_EQ(bytes, 2u);
    EXPECT_EQ(buffer, (Bytes{3, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE}));  // the rest stays

    EXPECT_EQ(m_handle.Request(kCode + 4, buffer, 4, 4, &bytes), kErrorGenFailure);
    EXPECT_EQ(m_handle.Request(kCode, buffer, 9, 4), kErrorInvalidParameter);  // beyond the buffer
    EXPECT_EQ(m_handle.Request(kCode, buffer, 0, 0, &bytes), kErrorSuccess);
    EXPECT_EQ(bytes, 0u);
}

TEST_F(DeviceHandleTest, PathTooLongForASocketAddressStillOpens) {
    std::filesystem::path deep = m_dir.Path();
    while (deep.string().size() < 200) deep /= std::string(40, 'd');
    std::filesystem::create_directories(deep);
    m_path = (deep / "unit-0").string();
    Connect(Echo);
    Bytes buffer = {7, 8};
    EXPECT_EQ(m_handle.Request(kCode, buffer, 2, 2), kErrorSuccess);
    EXPECT_EQ(buffer, (Bytes{8, 7}));
}

TEST_F(DeviceHandleTest, PendingRequestsCompleteInAnyOrder) {
    Connect();
    Event second(EventMode::AutoReset);
    Bytes first(4, 0), other(4, 0);
    AsyncRequest a, b;
    a.SetEvent(&m_event);
    b.SetEvent(&second);
    m_event.Set();  // stale: issuing must reset it
    ASSERT_EQ(m_handle.Issue(kCode, first, 0, 4, a), kErrorIoPending);
    ASSERT_EQ(m_handle.Issue(kCode, other, 0, 4, b), kErrorIoPending);
    EXPECT_FALSE(m_event.IsSet());
    EXPECT_EQ(m_handle.Issue(kCode, first, 0, 4, a), kErrorInvalidParameter);  // already pends

    std::uint32_t bytes = 99;
    EXPECT_EQ(m_handle.GetResult(a, &bytes, false), kErrorIoIncomplete);
    EXPECT_EQ(bytes, 0u);
    const Frame requestA = m_driver->Next(), requestB = m_driver->Next();
    m_driver->Complete(requestB.header.id, kErrorBusy, {5, 6});
    EXPECT_EQ(m_handle.GetResult(b, &bytes, true), kErrorBusy);
    EXPECT_EQ(bytes, 2u);
    EXPECT_EQ(other, (Bytes{5, 6, 0, 0}));
    EXPECT_EQ(m_handle.GetResult(a, &bytes, false), kErrorIoIncomplete);

    m_driver->Complete(requestA.header.id, kErrorSuccess, {1, 2, 3, 4});
    EXPECT_EQ(m_handle.GetResult(a, &bytes, true), kErrorSuccess);
    EXPECT_TRUE(m_event.IsSet());
    EXPECT_EQ(first, (Bytes{1, 2, 3, 4}));
}

TEST_F(DeviceHandleTest, WaitWokenWhilePendingReportsIncompleteThenTheRealResult) {
    Connect();
    Bytes buffer(4, 0);
    AsyncRequest request;
    const std::uint32_t id = Pend(buffer, request);

    m_event.Set();  // what a stopping owner does
    EXPECT_EQ(m_handle.GetResult(request, nullptr, true), kErrorIoIncomplete);

    m_event.Reset();
    m_driver->Complete(id, kErrorSuccess, {9, 9});
    std::uint32_t bytes = 0;
    EXPECT_EQ(m_handle.GetResult(request, &bytes, true), kErrorSuccess);
    EXPECT_EQ(bytes, 2u);
}

TEST_F(DeviceHandleTest, CancelAbortsAtOnceAndALateAnswerLeavesTheBufferAlone) {
    Connect();
    Bytes first(4, 0xAA), second(4, 0xBB);
    AsyncRequest a, b;
    const std::uint32_t idA = Pend(first, a);
    const std::uint32_t idB = Pend(second, b);

    m_handle.CancelAll();
    EXPECT_TRUE(m_event.IsSet());
    EXPECT_EQ(m_handle.GetResult(a, nullptr, false), kErrorOperationAborted);
    EXPECT_EQ(m_handle.GetResult(b, nullptr, true), kErrorOperationAborted);
    std::vector<std::uint32_t> cancelled = {m_driver->Next().header.id, m_driver->Next().header.id};
    std::sort(cancelled.begin(), cancelled.end());
    EXPECT_EQ(cancelled, (std::vector{std::min(idA, idB), std::max(idA, idB)}));

    m_driver->Complete(idA, kErrorSuccess, {1, 2, 3, 4});  // raced the cancel
    m_driver->Complete(idB, kErrorOperationAborted);
    Bytes next(2, 0);
    AsyncRequest c;
    ASSERT_EQ(m_handle.Issue(kCode, next, 0, 2, c), kErrorIoPending);
    const Frame frame = m_driver->Next();
    m_driver->Complete(frame.header.id, kErrorSuccess, {3, 3});
    EXPECT_EQ(m_handle.GetResult(c, nullptr, true), kErrorSuccess);  // the connection lived on
    EXPECT_EQ(first, Bytes(4, 0xAA));
}

TEST_F(DeviceHandleTest, AnUnansweredRequestTimesOutAndOnlyItIsCancelled) {
    Connect();  // a driver that never answers by itself
    Bytes other(4, 0xBB);
    AsyncRequest pending;
    const std::uint32_t otherId = Pend(other, pending);
    Bytes buffer(4, 0xAA);
    std::uint32_t status = 0;
    std::thread sync([&] {
        status = m_handle.Request(kCode, buffer, 4, 4, nullptr, std::chrono::milliseconds(50));
    });
    const std::uint32_t id = m_driver->Next().header.id;
    const Frame cancel = m_driver->Next();  // came by itself: the request gave up
    sync.join();
    EXPECT_EQ(status, kErrorSemTimeout);
    EXPECT_EQ(cancel.header.kind, FrameKind::Cancel);
    EXPECT_EQ(cancel.header.id, id);
    m_driver->Complete(id, kErrorSuccess, {1, 2, 3, 4});  // too late: the buffer stays
    m_driver->Complete(otherId, kErrorSuccess, {5, 6, 7, 8});
    EXPECT_EQ(m_handle.GetResult(pending, nullptr, true), kErrorSuccess);
    EXPECT_EQ(other, (Bytes{5, 6, 7, 8}));
    EXPECT_EQ(buffer, Bytes(4, 0xAA));
}

TEST_F(DeviceHandleTest, ClosingOrDestroyingAHandleAbortsWhatPends) {
    Connect();
    Bytes buffer(4, 0x55);
    AsyncRequest request;
    Pend(buffer, request);
    m_handle.Close();
    EXPECT_FALSE(m_handle.IsOpen());
    EXPECT_TRUE(m_event.IsSet());
    EXPECT_EQ(m_handle.GetResult(request, nullptr, true), kErrorOperationAborted);
    EXPECT_TRUE(m_driver->WaitClosed());
    EXPECT_EQ(m_handle.Issue(kCode, buffer, 0, 4, request), kErrorInvalidHandle);

    Connect();
    {
        DeviceHandle moved = std::move(m_handle);
        ASSERT_EQ(moved.Issue(kCode, buffer, 0, 4, request), kErrorIoPending);
    }
    EXPECT_EQ(m_handle.GetResult(request, nullptr, true), kErrorOperationAborted);
    EXPECT_EQ(buffer, Bytes(4, 0x55));
}

Bytes Header(std::uint32_t magic, std::uint32_t id, std::uint32_t status, std::uint32_t size) {
    Bytes bytes(kFrameHeaderBytes, 0);
    StoreLE32(&bytes[0], magic);
    StoreLE32(&bytes[4], id);
    StoreLE32(&bytes[8], status);
    StoreLE32(&bytes[12], size);
    return bytes;
}

TEST_F(DeviceHandleTest, AMisbehavingDriverBreaksTheConnectionNotTheProcess) {
    struct Garbage {
        const char* what;
        std::function<Bytes(std::uint32_t id)> bytes;
        bool hangup;
    };
    const std::vector<Garbage> cases = {
        {"bad magic", [](auto id) { return Header(0x12345678, id, 0, 0); }, false},
        {"oversized", [](auto id) { return Header(kMagicCompletion, id, 0, kMaxPayload + 1); },
         false},
        {"longer than outSize", [](auto id) { return Header(kMagicCompletion, id, 0, 5); }, false},
        {"unknown id", [](auto id) { return Header(kMagicCompletion, id + 7, 0, 0); }, false},
        {"request frame", [](auto id) { return Header(kMagicRequest, id, 0, 0); }, false},
        {"pending status", [](auto id) { return Header(kMagicCompletion, id, kErrorIoPending, 0); },
         false},
        {"truncated", [](auto id) { return Header(kMagicCompletion, id, 0, 4); }, true},
    };
    for (const Garbage& garbage : cases) {
        SCOPED_TRACE(garbage.what);
        Connect();
        Bytes buffer(4, 0x77);
        AsyncRequest request;
        m_driver->Send(garbage.bytes(Pend(buffer, request)), Bytes(2, 1));
        if (garbage.hangup) m_driver->Hangup();
        EXPECT_EQ(m_handle.GetResult(request, nullptr, true), kErrorDeviceNotConnected);
        EXPECT_EQ(m_handle.Request(kCode, buffer, 0, 4), kErrorDeviceNotConnected);
        EXPECT_TRUE(m_driver->WaitClosed());
        m_handle.Close();
    }
}

// Random answers, well-formed or not, for random requests: every request ends, never writes
// past the room it gave, and nothing crashes (run under the sanitizers).
TEST_F(DeviceHandleTest, RandomBytesFromTheDriver) {
    std::mt19937 rng(20240611);
    const auto pick = [&](std::uint32_t below) { return std::uint32_t(rng() % below); };
    for (int round = 0; round < 150; ++round) {
        Connect();
        constexpr std::uint32_t kCanary = 0xC5;
        std::array<Bytes, 3> buffers;
        std::array<AsyncRequest, 3> requests;
        std::array<std::uint32_t, 3> ids{}, room{};
        for (std::size_t i = 0; i < requests.size(); ++i) {
            room[i] = pick(16);
            buffers[i].assign(20, kCanary);
            ASSERT_EQ(m_handle.Issue(kCode, buffers[i], 2, room[i], requests[i]), kErrorIoPending);
            ids[i] = m_driver->Next().header.id;
        }
        for (int frame = 0; frame < 6; ++frame) {
            const std::uint32_t id = pick(4) == 0 ? rng() : ids[pick(3)];
            Bytes bytes = Header(pick(8) == 0 ? rng() : kMagicCompletion, id, pick(3),
                                 pick(8) == 0 ? rng() : pick(20));
            if (pick(4) == 0) bytes[pick(kFrameHeaderBytes)] ^= std::uint8_t(1 + pick(255));
            bytes.resize(bytes.size() + pick(24), std::uint8_t(rng()));
            m_driver->Send(bytes);
        }
        m_driver->Hangup();
        for (std::size_t i = 0; i < requests.size(); ++i) {
            std::uint32_t bytes = 0;
            EXPECT_NE(m_handle.GetResult(requests[i], &bytes, true), kErrorIoIncomplete);
            EXPECT_LE(bytes, room[i]);
            EXPECT_TRUE(std::all_of(buffers[i].begin() + room[i], buffers[i].end(),
                                    [](auto b) { return b == kCanary; }));
        }
        m_handle.Close();
    }
}

TEST_F(DeviceHandleTest, ThreadsShareOneHandle) {
    // Echoes kCode at once and holds other requests until cancelled, answering each once.
    std::set<std::uint32_t> held;  // the driver's reader thread alone uses it
    Connect([&held](FakeDriver& driver, const Frame& frame) {
        const std::uint32_t id = frame.header.id;
        if (frame.header.kind == FrameKind::Cancel && held.erase(id) == 1) {
            driver.Complete(id, kErrorOperationAborted);
        } else if (frame.header.kind == FrameKind::Request && frame.header.code == kCode) {
            Echo(driver, frame);
        } else if (frame.header.kind == FrameKind::Request) {
            held.insert(id);
        }
    });
    std::thread sync([&] {
        for (std::uint8_t i = 0; i < 200; ++i) {
            Bytes buffer = {i, std::uint8_t(i + 1)};
            const std::uint32_t status = m_handle.Request(kCode, buffer, 2, 2);
            if (status == kErrorOperationAborted) continue;  // caught by a CancelAll
            ASSERT_EQ(status, kErrorSuccess);
            ASSERT_EQ(buffer, (Bytes{std::uint8_t(i + 1), i}));
        }
    });
    for (int i = 0; i < 200; ++i) {
        Bytes buffer(4, 0);
        AsyncRequest request;
        request.SetEvent(&m_event);
        ASSERT_EQ(m_handle.Issue(kCode + 1, buffer, 0, 4, request), kErrorIoPending);
        std::thread canceller([&] { m_handle.CancelAll(); });
        const std::uint32_t status = m_handle.GetResult(request, nullptr, true);
        canceller.join();
        ASSERT_EQ(status, kErrorOperationAborted);
    }
    sync.join();
    Bytes buffer(2, 0);
    EXPECT_EQ(m_handle.Request(kCode, buffer, 2, 2), kErrorSuccess);  // still connected
}

// The driver is another process, killed while a request pends.
TEST_F(DeviceHandleTest, DriverProcessKilledWhileARequestPends) {
    UniqueFd listener = ListenAt(m_path);
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {  // only system calls from here on: the child of a threaded process
        pollfd waiting{listener.Get(), POLLIN, 0};
        ::poll(&waiting, 1, -1);
        const int connection = ::accept(listener.Get(), nullptr, nullptr);
        std::uint8_t header[kFrameHeaderBytes];
        if (::recv(connection, header, sizeof(header), MSG_WAITALL) == sizeof(header)) {
            [[maybe_unused]] auto written = ::write(ready[1], "r", 1);
        }
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    ASSERT_EQ(m_handle.Open(m_path), kErrorSuccess);
    Bytes buffer(4, 0);
    AsyncRequest request;
    request.SetEvent(&m_event);
    ASSERT_EQ(m_handle.Issue(kCode, buffer, 0, 4, request), kErrorIoPending);
    pollfd received{ready[0], POLLIN, 0};
    EXPECT_EQ(::poll(&received, 1, 10'000), 1);
    ::close(ready[0]);

    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(m_handle.GetResult(request, nullptr, true), kErrorDeviceNotConnected);
}

}  // namespace
}  // namespace platform
