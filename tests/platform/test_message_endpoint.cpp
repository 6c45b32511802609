// Message endpoints: Send and Post within a process and between processes, dead and hung
// endpoints, mutual Sends, queue readiness, malformed socket input and handle claims.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/EndpointDirectory.h"
#include "platform/EndpointProtocol.h"
#include "platform/MessageEndpoint.h"
#include "platform/MessageQueue.h"
#include "platform/UniqueFd.h"
#include "platform/UnixSocket.h"
#include "tests/platform/endpoint_peer.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using platform::EndpointDirectory;
using platform::EndpointHandle;
using platform::Message;
using platform::MessageEndpoint;
using platform::MessageQueue;
using platform::UniqueFd;
using Clock = std::chrono::steady_clock;
namespace peer = endpoint_peer;

// Waits for conditions are generous; a Send that must fail "at once" gets a time-out far longer
// than any loaded machine needs, and only has to come back well before it.
constexpr auto kPatience = 30s;
constexpr auto kLongTimeout = std::chrono::milliseconds(120s);

bool IsReadable(int fd, std::chrono::milliseconds wait = 0ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(wait.count())) == 1;
}

template <class Condition>
bool PumpUntil(Condition done) {
    const auto giveUp = Clock::now() + kPatience;
    while (!done()) {
        if (Clock::now() > giveUp) return false;
        MessageQueue::ForCurrentThread().Pump(20ms);
    }
    return true;
}

// A thread that owns one endpoint and pumps its queue for as long as this object lives.
class OwnerThread {
public:
    explicit OwnerThread(MessageEndpoint::Handler handler) {
        std::promise<EndpointHandle> created;
        std::future<EndpointHandle> handle = created.get_future();
        m_thread = std::jthread(
            [this, handler, created = std::move(created)](std::stop_token stop) mutable {
                m_id = std::this_thread::get_id();
                auto endpoint = MessageEndpoint::Create(handler);
                created.set_value(endpoint ? endpoint->Handle() : 0);
                while (!stop.stop_requested()) MessageQueue::ForCurrentThread().Pump(20ms);
            });
        m_handle = handle.get();
    }
    EndpointHandle Handle() const { return m_handle; }
    std::thread::id Id() const { return m_id; }

private:
    std::thread::id m_id;  // written before the handle is handed over
    EndpointHandle m_handle = 0;
    std::jthread m_thread;
};

// The endpoint peer (endpoint_peer.cpp) as a child process, killed if still running at the end.
class Peer {
public:
    explicit Peer(const std::string& mode) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        m_output.Reset(fds[0]);
        const UniqueFd childEnd(fds[1]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, childEnd.Get(), STDOUT_FILENO);
        std::string path = ENDPOINT_PEER_PATH;
        std::string argument = mode;
        char* argv[] = {path.data(), argument.data(), nullptr};
        if (posix_spawn(&m_pid, path.c_str(), &actions, nullptr, argv, environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        // An empty or unreadable line is handle 0.
        if (m_pid > 0)
            m_handle = static_cast<EndpointHandle>(std::strtoul(ReadLine().c_str(), nullptr, 10));
    }
    ~Peer() { Kill(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    EndpointHandle Handle() const { return m_handle; }

    // The next line the peer prints, empty when none comes in time.
    std::string ReadLine() {
        std::string line;
        char c;
        while (IsReadable(m_output.Get(), kPatience) && ::read(m_output.Get(), &c, 1) == 1) {
            if (c == '\n') return line;
            line += c;
        }
        return {};
    }
    void Kill() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    int WaitForExit() {
        int status = -1;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return status;
    }

private:
    pid_t m_pid = -1;
    UniqueFd m_output;
    EndpointHandle m_handle = 0;
};

std::int64_t Echo(const Message& m) { return static_cast<std::int64_t>(m.wParam) + m.lParam; }

// ---- within one process ----

TEST(MessageEndpointLocal, OwnerThreadSendIsDirectAndItsPostWaitsForDispatch) {
    MessageQueue& queue = MessageQueue::ForCurrentThread();
    EndpointHandle self = 0;
    int calls = 0;
    auto endpoint = MessageEndpoint::Create([&](const Message& m) -> std::int64_t {
        ++calls;
        // A handler sending to its own endpoint re-enters directly.
        if (m.msg == 2) return MessageEndpoint::Send(self, Message{1, 10, 0}).value_or(-1) + 1;
        return Echo(m);
    });
    ASSERT_TRUE(endpoint);
    self = endpoint->Handle();

    EXPECT_EQ(MessageEndpoint::Send(self, Message{1, 40, 2}), 42);
    EXPECT_EQ(MessageEndpoint::Send(self, Message{2, 0, 0}), 11);
    EXPECT_EQ(calls, 3);
    EXPECT_FALSE(IsReadable(queue.Fd()));

    ASSERT_TRUE(MessageEndpoint::Post(self, Message{1, 1, 0}));
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(IsReadable(queue.Fd()));
    EXPECT_EQ(queue.DispatchPending(), 1u);
    EXPECT_EQ(calls, 4);
    EXPECT_FALSE(IsReadable(queue.Fd()));
}

TEST(MessageEndpointLocal, OtherThreadsSendAndPostRunOnTheOwnerThreadInOrder) {
    std::atomic<std::thread::id> ranOn;
    std::vector<std::uint64_t> record;  // owner thread only
    OwnerThread owner([&](const Message& m) -> std::int64_t {
        ranOn = std::this_thread::get_id();
        if (m.msg == peer::kRecord) record.push_back(m.wParam);
        if (m.msg != peer::kCheckOrder) return Echo(m);
        for (std::size_t i = 0; i < record.size(); ++i) {
            if (record[i] != i + 1) return -1;
        }
        return static_cast<std::int64_t>(record.size());
    });
    ASSERT_NE(owner.Handle(), 0u);
    EXPECT_TRUE(MessageEndpoint::Exists(owner.Handle()));

    EXPECT_EQ(MessageEndpoint::Send(owner.Handle(), Message{peer::kEcho, 5, -7}), -2);
    EXPECT_EQ(ranOn.load(), owner.Id());

    for (std::uint64_t i = 1; i <= 300; ++i) {
        ASSERT_TRUE(MessageEndpoint::Post(owner.Handle(), Message{peer::kRecord, i, 0}));
    }
    EXPECT_EQ(MessageEndpoint::Send(owner.Handle(), Message{peer::kCheckOrder, 0, 0}), 300);
}

TEST(MessageEndpointLocal, QueueFdIsReadableExactlyWhileWorkWaits) {
    MessageQueue& queue = MessageQueue::ForCurrentThread();
    EndpointHandle self = 0;
    int reposts = 0;
    auto endpoint = MessageEndpoint::Create([&](const Message& m) -> std::int64_t {
        // A handler that posts to itself must not keep one DispatchPending call busy forever.
        if (m.msg == 7 && ++reposts < 3) MessageEndpoint::Post(self, m);
        return Echo(m);
    });
    ASSERT_TRUE(endpoint);
    self = endpoint->Handle();
    EXPECT_FALSE(IsReadable(queue.Fd()));
    EXPECT_EQ(queue.Pump(10ms), 0u);

    std::optional<std::int64_t> answer;
    std::jthread sender([&] {
        answer = MessageEndpoint::Send(self, Message{1, 2, 3}, kLongTimeout);
    });
    EXPECT_TRUE(IsReadable(queue.Fd(), kPatience));
    EXPECT_EQ(queue.DispatchPending(), 1u);
    sender.join();
    EXPECT_EQ(answer, 5);
    EXPECT_FALSE(IsReadable(queue.Fd()));

    ASSERT_TRUE(MessageEndpoint::Post(self, Message{7, 0, 0}));
    EXPECT_EQ(queue.DispatchPending(), 1u);
    EXPECT_TRUE(IsReadable(queue.Fd()));
    EXPECT_EQ(queue.Pump(kPatience), 1u);
    EXPECT_EQ(queue.DispatchPending(), 1u);
    EXPECT_EQ(reposts, 3);
    EXPECT_FALSE(IsReadable(queue.Fd()));
}

TEST(MessageEndpointLocal, DestroyingAnEndpointFailsItsSendersAndDropsItsPosts) {
    MessageQueue& queue = MessageQueue::ForCurrentThread();
    int calls = 0;
    auto endpoint =
        MessageEndpoint::Create([&](const Message&) -> std::int64_t { return ++calls; });
    ASSERT_TRUE(endpoint);
    const EndpointHandle handle = endpoint->Handle();

    auto pending = std::async(std::launch::async, [handle] {
        const auto start = Clock::now();
        const auto answer = MessageEndpoint::Send(handle, Message{}, kLongTimeout);
        return std::pair(answer, Clock::now() - start);
    });
    ASSERT_TRUE(IsReadable(queue.Fd(), kPatience));  // the Send waits in the queue
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(MessageEndpoint::Post(handle, Message{}));
    endpoint.reset();

    const auto [answer, took] = pending.get();
    EXPECT_FALSE(answer);
    EXPECT_LT(took, kLongTimeout / 2);
    EXPECT_FALSE(IsReadable(queue.Fd()));
    EXPECT_EQ(queue.DispatchPending(), 0u);
    EXPECT_EQ(calls, 0);

    EXPECT_FALSE(MessageEndpoint::Post(handle, Message{}));
    EXPECT_FALSE(MessageEndpoint::Send(handle, Message{}, kLongTimeout));
    EXPECT_FALSE(MessageEndpoint::Exists(handle));
    EXPECT_FALSE(std::filesystem::exists(EndpointDirectory::SocketPath(handle)));
}

TEST(MessageEndpointLocal, SendToAnOwnerThatNeverDispatchesTimesOut) {
    std::promise<EndpointHandle> created;
    std::latch release(1);
    std::jthread owner([&] {
        auto endpoint = MessageEndpoint::Create([](const Message&) -> std::int64_t { return 1; });
        created.set_value(endpoint ? endpoint->Handle() : 0);
        release.wait();
    });
    const EndpointHandle handle = created.get_future().get();
    ASSERT_NE(handle, 0u);

    EXPECT_FALSE(MessageEndpoint::Send(handle, Message{}, 200ms));
    EXPECT_TRUE(MessageEndpoint::Exists(handle));
    EXPECT_TRUE(MessageEndpoint::Post(handle, Message{}));
    release.count_down();
    owner.join();
    EXPECT_FALSE(MessageEndpoint::Exists(handle));
}

TEST(MessageEndpointLocal, MutualSendsDoNotDeadlock) {
    // A worker sends to the main thread while the main thread waits for that worker's answer.
    auto mine = MessageEndpoint::Create([](const Message& m) -> std::int64_t { return Echo(m); });
    ASSERT_TRUE(mine);
    const EndpointHandle mainHandle = mine->Handle();
    OwnerThread worker([mainHandle](const Message& m) -> std::int64_t {
        return MessageEndpoint::Send(mainHandle, Message{1, 100, m.lParam}).value_or(-1) + 1;
    });
    EXPECT_EQ(MessageEndpoint::Send(worker.Handle(), Message{1, 0, 5}, kLongTimeout), 106);

    // Two owners send to each other at the same moment, neither pumping otherwise.
    std::atomic<EndpointHandle> handles[2] = {0, 0};
    std::atomic<int> answered = 0;
    std::barrier bothReady(2);
    auto side = [&](int me) {
        auto endpoint =
            MessageEndpoint::Create([](const Message& m) -> std::int64_t { return Echo(m); });
        handles[me] = endpoint ? endpoint->Handle() : 0;
        bothReady.arrive_and_wait();
        const auto answer =
            MessageEndpoint::Send(handles[1 - me], Message{1, 10, me}, kLongTimeout);
        ++answered;
        PumpUntil([&] { return answered == 2; });  // serve the other side until it has its answer
        return answer;
    };
    auto first = std::async(std::launch::async, side, 0);
    auto second = std::async(std::launch::async, side, 1);
    EXPECT_EQ(first.get(), 10);
    EXPECT_EQ(second.get(), 11);
}

TEST(MessageEndpointLocal, HandlesAreUniqueNonZeroAndPublishedPrivately) {
    std::vector<std::unique_ptr<MessageEndpoint>> endpoints;
    std::set<EndpointHandle> handles;
    for (int i = 0; i < 200; ++i) {
        endpoints.push_back(
            MessageEndpoint::Create([](const Message&) -> std::int64_t { return 0; }));
        ASSERT_TRUE(endpoints.back());
        handles.insert(endpoints.back()->Handle());
        EXPECT_TRUE(
            std::filesystem::is_socket(EndpointDirectory::SocketPath(endpoints.back()->Handle())));
    }
    EXPECT_EQ(handles.size(), 200u);
    EXPECT_FALSE(handles.contains(0));

    struct stat folder;
    ASSERT_EQ(::stat(EndpointDirectory::Path().c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);
    EXPECT_EQ(folder.st_uid, ::geteuid());

    endpoints.clear();
    for (const EndpointHandle handle : handles) {
        EXPECT_FALSE(MessageEndpoint::Exists(handle));
        EXPECT_FALSE(std::filesystem::exists(EndpointDirectory::SocketPath(handle)));
    }
}

TEST(MessageEndpointLocal, BadArgumentsFailCleanly) {
    EXPECT_FALSE(MessageEndpoint::Create(MessageEndpoint::Handler{}));
    EXPECT_FALSE(MessageEndpoint::Post(0, Message{}));
    EXPECT_FALSE(MessageEndpoint::Send(0, Message{}));
    EXPECT_FALSE(MessageEndpoint::Exists(0));
}

// ---- the socket a peer process talks to ----

UniqueFd ConnectRaw(EndpointHandle handle, std::span<const std::uint8_t> bytes) {
    UniqueFd connection;
    EXPECT_EQ(platform::ConnectUnix(EndpointDirectory::SocketPath(handle), connection), 0);
    EXPECT_TRUE(platform::WriteAll(connection.Get(), bytes));
    return connection;
}

bool ClosedByEndpoint(const UniqueFd& connection) {
    char byte;
    return IsReadable(connection.Get(), kPatience) && ::recv(connection.Get(), &byte, 1, 0) == 0;
}

TEST(MessageEndpointWire, MalformedRequestsCloseOnlyTheirOwnConnection) {
    std::atomic<int> calls = 0;
    OwnerThread owner([&](const Message& m) -> std::int64_t {
        ++calls;
        return Echo(m);
    });
    const EndpointHandle handle = owner.Handle();
    ASSERT_NE(handle, 0u);
    const auto request = [handle](bool isSend) {
        return platform::EncodeRequest({isSend, handle, Message{1, 20, 22}});
    };

    // A silent connection holds nothing up while the others are served.
    const UniqueFd silent = ConnectRaw(handle, {});

    std::vector<std::uint8_t> garbage(platform::kRequestFrameBytes, 0xA5);
    EXPECT_TRUE(ClosedByEndpoint(ConnectRaw(handle, garbage)));
    auto wrongTarget = platform::EncodeRequest({true, handle + 1, Message{1, 0, 0}});
    EXPECT_TRUE(ClosedByEndpoint(ConnectRaw(handle, wrongTarget)));
    auto spareSet = request(true);
    spareSet[12] = 1;
    EXPECT_TRUE(ClosedByEndpoint(ConnectRaw(handle, spareSet)));
    const auto whole = request(true);
    UniqueFd truncated = ConnectRaw(handle, std::span(whole).first(10));
    ::shutdown(truncated.Get(), SHUT_WR);
    EXPECT_TRUE(ClosedByEndpoint(truncated));

    // A well-formed Send over the socket is answered with a reply frame.
    const UniqueFd good = ConnectRaw(handle, request(true));
    platform::ReplyFrame reply;
    std::size_t filled = 0;
    while (filled < reply.size() && IsReadable(good.Get(), kPatience)) {
        if (platform::ReadMore(good.Get(), reply, filled) != platform::ReadProgress::NeedMore)
            break;
    }
    ASSERT_EQ(filled, reply.size());
    EXPECT_EQ(platform::DecodeReply(reply), 42);
    EXPECT_EQ(calls, 1);

    ConnectRaw(handle, request(false));
    const auto giveUp = Clock::now() + kPatience;
    while (calls < 2 && Clock::now() < giveUp) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(IsReadable(silent.Get()));  // still open, still waiting
}

// ---- between two processes ----

TEST(MessageEndpointProcess, SendAndPostReachAnotherProcessInOrder) {
    Peer other("serve");
    const EndpointHandle handle = other.Handle();
    ASSERT_NE(handle, 0u);
    EXPECT_TRUE(MessageEndpoint::Exists(handle));

    EXPECT_EQ(MessageEndpoint::Send(handle, Message{peer::kEcho, 40, 2}, kLongTimeout), 42);
    EXPECT_EQ(MessageEndpoint::Send(handle, Message{peer::kEcho, 1, INT64_MIN + 1}, kLongTimeout),
              INT64_MIN + 2);
    for (std::uint64_t i = 1; i <= 300; ++i) {
        ASSERT_TRUE(MessageEndpoint::Post(handle, Message{peer::kRecord, i, 0}));
    }
    EXPECT_EQ(MessageEndpoint::Send(handle, Message{peer::kCheckOrder, 0, 0}, kLongTimeout), 300);

    ASSERT_TRUE(MessageEndpoint::Post(handle, Message{peer::kQuit, 0, 0}));
    const int status = other.WaitForExit();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(MessageEndpoint::Exists(handle));
}

TEST(MessageEndpointProcess, PeerSendsBackWhileWeWaitForItsAnswer) {
    std::atomic<int> calls = 0;
    auto mine = MessageEndpoint::Create([&](const Message& m) -> std::int64_t {
        ++calls;
        return Echo(m);
    });
    ASSERT_TRUE(mine);
    Peer other("serve");
    ASSERT_NE(other.Handle(), 0u);

    const Message callBack{peer::kCallBack, mine->Handle(), 41};
    EXPECT_EQ(MessageEndpoint::Send(other.Handle(), callBack, kLongTimeout), 42);
    EXPECT_EQ(calls, 1);
}

TEST(MessageEndpointProcess, KilledProcessFailsItsSendersAtOnce) {
    Peer other("serve");
    const EndpointHandle handle = other.Handle();
    ASSERT_NE(handle, 0u);
    ASSERT_EQ(MessageEndpoint::Send(handle, Message{peer::kEcho, 1, 1}, kLongTimeout), 2);

    auto inFlight = std::async(std::launch::async, [handle] {
        const auto start = Clock::now();
        const auto answer =
            MessageEndpoint::Send(handle, Message{peer::kBlock, 0, 0}, kLongTimeout);
        return std::pair(answer, Clock::now() - start);
    });
    ASSERT_EQ(other.ReadLine(), "blocked");
    other.Kill();
    const auto [answer, took] = inFlight.get();
    EXPECT_FALSE(answer);
    EXPECT_LT(took, kLongTimeout / 2);

    const auto start = Clock::now();
    EXPECT_FALSE(MessageEndpoint::Send(handle, Message{peer::kEcho, 1, 1}, kLongTimeout));
    EXPECT_LT(Clock::now() - start, kLongTimeout / 2);
    EXPECT_FALSE(MessageEndpoint::Post(handle, Message{peer::kEcho, 1, 1}));
    EXPECT_FALSE(MessageEndpoint::Exists(handle));

    // The dead process's socket file is swept by the next process that claims a handle.
    Peer next("serve");
    ASSERT_NE(next.Handle(), 0u);
    EXPECT_FALSE(std::filesystem::exists(EndpointDirectory::SocketPath(handle)));
}

TEST(MessageEndpointProcess, HungProcessTimesOut) {
    Peer other("hang");
    const EndpointHandle handle = other.Handle();
    ASSERT_NE(handle, 0u);
    EXPECT_TRUE(MessageEndpoint::Exists(handle));
    EXPECT_FALSE(MessageEndpoint::Send(handle, Message{peer::kEcho, 1, 1}, 300ms));
    EXPECT_TRUE(MessageEndpoint::Post(handle, Message{peer::kEcho, 1, 1}));
}

}  // namespace
