// Plain (synchronous) device handles against an in-test driver that answers each request with
// whatever the test scripts: a good answer, a malformed one, or none.
#include "platform/PlainDeviceHandle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>
#include <vector>

#include "platform/ByteOrder.h"
#include "platform/ErrorCodes.h"
#include "tests/platform/DeviceTestDir.h"

namespace platform {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

constexpr std::uint32_t kCode = 0x222050;
constexpr std::chrono::milliseconds kPatience = 10s;  // for answers that do come

// Serves one connection: for each request, the bytes `answer` makes from it are sent back
// (nothing when empty), until the client hangs up.
class ScriptedDriver {
public:
    using Answer = std::function<Bytes(const FrameHeader&, const Bytes&)>;

    ScriptedDriver(const std::string& path, Answer answer)
        : m_listener(testing::ListenAt(path)), m_thread([this, answer] { Serve(answer); }) {}
    ~ScriptedDriver() { m_thread.join(); }

private:
    void Serve(const Answer& answer) {
        pollfd entry{m_listener.Get(), POLLIN, 0};
        UniqueFd connection;
        if (PollUntil({&entry, 1}, DeadlineAfter(10s)) != 1 ||
            AcceptUnix(m_listener.Get(), connection) != 0) {
            return;
        }
        DeviceSocket socket(std::move(connection));
        Bytes payload;
        while (const auto header = socket.ReadFrame(payload)) {
            const Bytes reply = answer(*header, payload);
            if (!reply.empty() && !socket.WriteBytes(reply)) break;
        }
    }

    UniqueFd m_listener;
    std::thread m_thread;
};

Bytes Completion(std::uint32_t id, std::uint32_t status, const Bytes& data) {
    const FrameHeaderBytes header =
        EncodeFrameHeader(MakeCompletion(id, status, std::uint32_t(data.size())));
    Bytes frame(header.size() + data.size());
    std::copy(header.begin(), header.end(), frame.begin());
    std::copy(data.begin(), data.end(), frame.begin() + std::ptrdiff_t(header.size()));
    return frame;
}

class PlainDeviceHandleTest : public ::testing::Test {
protected:
    testing::DeviceTestDir m_dir;
    std::string m_path = m_dir / "unit-0";
    PlainDeviceHandle m_handle;
};

TEST_F(PlainDeviceHandleTest, AnswersLandInTheBufferAndClosedHandlesRefuseWork) {
    EXPECT_EQ(m_handle.Open(m_path), kErrorFileNotFound);
    Bytes buffer = {1, 2, 3, 4, 0xEE, 0xEE};
    EXPECT_EQ(m_handle.Request(kCode, buffer, 4, 4, nullptr, kPatience), kErrorInvalidHandle);
    {
        // The input reversed, cut to the room given; the second request's status comes back.
        ScriptedDriver driver(m_path, [](const FrameHeader& header, const Bytes& in) {
            Bytes out(in.rbegin(), in.rend());
            out.resize(std::min<std::size_t>(out.size(), header.outSize));
            return Completion(header.id, header.id == 1 ? 0 : kErrorGenFailure, out);
        });
        ASSERT_EQ(m_handle.Open(m_path), kErrorSuccess);
        std::uint32_t bytes = 99;
        EXPECT_EQ(m_handle.Request(kCode, buffer, 3, 2, &bytes, kPatience), kErrorSuccess);
        EXPECT_EQ(bytes, 2u);
        EXPECT_EQ(buffer, (Bytes{3, 2, 3, 4, 0xEE, 0xEE}));
        EXPECT_EQ(m_handle.Request(kCode, buffer, 0, 4, &bytes, kPatience), kErrorGenFailure);
        EXPECT_EQ(m_handle.Request(kCode, buffer, 7, 4, &bytes, kPatience), kErrorInvalidParameter);
        m_handle.Close();
    }
    EXPECT_EQ(m_handle.Request(kCode, buffer, 4, 4, nullptr, kPatience), kErrorInvalidHandle);
}

// A malformed answer or none in time ends the connection: the request fails, every later one
// fails as not connected, and the buffer is left alone.
TEST_F(PlainDeviceHandleTest, AMisbehavingOrSilentDriverBreaksTheConnection) {
    struct Case {
        const char* what;
        ScriptedDriver::Answer answer;
        std::uint32_t status;
    };
    const std::vector<Case> cases = {
        {"silent", [](auto&, auto&) { return Bytes{}; }, kErrorSemTimeout},
        {"another id", [](auto& h, auto&) { return Completion(h.id + 1, 0, {}); },
         kErrorDeviceNotConnected},
        {"longer than outSize", [](auto& h, auto&) { return Completion(h.id, 0, Bytes(5)); },
         kErrorDeviceNotConnected},
        {"pending status", [](auto& h, auto&) { return Completion(h.id, kErrorIoPending, {}); },
         kErrorDeviceNotConnected},
        // Read along with the answer, they would be taken for the start of the next one.
        {"bytes past the answer",
         [](auto& h, auto&) {
             Bytes frame = Completion(h.id, 0, {});
             frame.insert(frame.end(), {0xAB, 0xCD});
             return frame;
         },
         kErrorDeviceNotConnected},
        {"truncated",
         [](auto& h, auto&) {
             Bytes frame = Completion(h.id, 0, Bytes(4));
             frame.resize(frame.size() - 2);
             return frame;
         },
         kErrorSemTimeout},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::unlink(m_path.c_str());
        ScriptedDriver driver(m_path, c.answer);
        ASSERT_EQ(m_handle.Open(m_path), kErrorSuccess);
        Bytes buffer(4, 0x77);
        // Only a driver that answers nothing whole is waited out; the others get all the time
        // a busy machine may need.
        const auto timeout = c.status == kErrorSemTimeout ? 100ms : kPatience;
        EXPECT_EQ(m_handle.Request(kCode, buffer, 0, 4, nullptr, timeout), c.status);
        EXPECT_EQ(m_handle.Request(kCode, buffer, 0, 4, nullptr, timeout),
                  kErrorDeviceNotConnected);
        EXPECT_EQ(buffer, Bytes(4, 0x77));
        m_handle.Close();  // lets the driver see the hang-up and end
    }
}

}  // namespace
}  // namespace platform
