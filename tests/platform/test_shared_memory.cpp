// Named shared memory: creating and joining, its lifetime across processes (kills included) and
// the process-shared lock. Other processes are this test binary run again in a child mode.
#include "platform/SharedMemory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using platform::SharedMemory;

constexpr std::size_t kSize = 2632;
constexpr char kBlock[] = "block";
constexpr char kChildMode[] = "KESTRIX_SHM_CHILD";
constexpr int kCountRounds = 3000;

std::uint32_t LoadCounter(const SharedMemory& block) {
    std::uint32_t value;
    std::memcpy(&value, block.Data().data(), sizeof value);
    return value;
}

void StoreCounter(const SharedMemory& block, std::uint32_t value) {
    std::memcpy(block.Data().data(), &value, sizeof value);
}

// A read-modify-write that loses updates unless the lock excludes the other process.
void CountUnderLock(SharedMemory& block, int rounds) {
    for (int i = 0; i < rounds; ++i) {
        std::scoped_lock lock(block);
        const std::uint32_t value = LoadCounter(block);
        sched_yield();
        StoreCounter(block, value + 1);
    }
}

std::byte Pattern(std::size_t i, int seed) { return std::byte((i * 7 + seed) % 251); }

void Fill(const SharedMemory& block, int seed) {
    for (std::size_t i = 0; i < block.Data().size(); ++i) block.Data()[i] = Pattern(i, seed);
}

bool Holds(const SharedMemory& block, int seed) {
    for (std::size_t i = 0; i < block.Data().size(); ++i)
        if (block.Data()[i] != Pattern(i, seed)) return false;
    return true;
}

bool AllZero(const SharedMemory& block) {
    return std::ranges::all_of(block.Data(), [](std::byte b) { return b == std::byte{0}; });
}

void Say(const char* line) { dprintf(STDOUT_FILENO, "%s\n", line); }

// Opens and closes the block over and over; a holder count kept in the block must never be
// found below this holder's own share, which a block recreated under a holder's feet would do.
int Churn() {
    Say("churning");
    for (int round = 0; round < 400; ++round) {
        const auto block = SharedMemory::Open(kBlock, kSize);
        if (!block) return 2;
        {
            std::scoped_lock lock(*block);
            StoreCounter(*block, LoadCounter(*block) + 1);
        }
        sched_yield();
        std::scoped_lock lock(*block);
        const std::uint32_t holders = LoadCounter(*block);
        if (holders < 1) return 3;
        StoreCounter(*block, holders - 1);
    }
    return 0;
}

// The child side: runs one mode against the test's block and ends the process.
int RunChild(const std::string& mode) {
    if (mode == "churn") return Churn();
    const auto block = SharedMemory::Open(kBlock, kSize);
    if (!block) return 2;
    if (mode == "join") {
        // Reports what it found, then leaves its own pattern for the parent.
        Say(block->AlreadyExisted() && Holds(*block, 1) ? "existing" : "different");
        Fill(*block, 2);
        return 0;
    }
    if (mode == "fill-and-hold") {
        Fill(*block, 3);
        Say(block->AlreadyExisted() ? "existing" : "created");
    } else if (mode == "lock-and-hold") {
        block->lock();
        Say("locked");
    } else if (mode == "count") {
        Say("counting");
        CountUnderLock(*block, kCountRounds);
        return 0;
    } else {
        return 4;
    }
    for (;;) pause();  // until killed
}

const bool g_isChild = [] {
    if (const char* mode = std::getenv(kChildMode)) _exit(RunChild(mode));
    return false;
}();

// This binary started again in a child mode, its output piped back. Killed if still running
// when dropped.
class ChildProcess {
public:
    explicit ChildProcess(const std::string& mode) {
        int pipeFds[2];
        if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
        std::string self = "/proc/self/exe";
        char* argv[] = {self.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        // The test's process has no other threads here, so the environment may change briefly.
        setenv(kChildMode, mode.c_str(), 1);
        if (posix_spawn(&m_pid, self.c_str(), &actions, nullptr, argv, environ) != 0) m_pid = -1;
        unsetenv(kChildMode);
        posix_spawn_file_actions_destroy(&actions);
        close(pipeFds[1]);
        m_out = pipeFds[0];
    }
    ~ChildProcess() {
        Kill();
        if (m_out >= 0) close(m_out);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return m_pid > 0; }

    // The next line the child printed; empty at its end or after a generous wait.
    std::string ReadLine() {
        std::string line;
        char c;
        pollfd readable{m_out, POLLIN, 0};
        while (poll(&readable, 1, 30000) == 1 && read(m_out, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }

    void Kill() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGKILL);
        Wait();
    }

    // The exit code; -1 when the child was killed. A hung child hangs here until ctest's limit.
    int Wait() {
        const pid_t pid = std::exchange(m_pid, -1);
        int status = 0;
        pid_t reaped;
        do {
            reaped = waitpid(pid, &status, 0);
        } while (reaped < 0 && errno == EINTR);
        return reaped > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
};

// True when the child started and its first line is the expected one.
::testing::AssertionResult Says(ChildProcess& child, const std::string& expected) {
    if (!child.Started()) return ::testing::AssertionFailure() << "the child did not start";
    const std::string line = child.ReadLine();
    if (line != expected) return ::testing::AssertionFailure() << "the child said '" << line << "'";
    return ::testing::AssertionSuccess();
}

// This process and a child each count kCountRounds under the block's lock, at the same time.
void CountAlongsideAChild(SharedMemory& block) {
    ChildProcess child("count");
    ASSERT_TRUE(Says(child, "counting"));
    CountUnderLock(block, kCountRounds);
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_EQ(LoadCounter(block), 2u * kCountRounds);
}

// Gives every test its own names, so suites running in parallel never meet.
class SharedMemoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_namespace = std::to_string(getpid()) + "-" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name();
        setenv("KESTRIX_SHM_NAMESPACE", m_namespace.c_str(), 1);
    }

    // Every block of the test is closed by now: its last holder must have removed it.
    void TearDown() override { EXPECT_TRUE(Leftovers().empty()); }

    // The objects of this test still present in the system.
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
            const auto name = entry.path().filename().string();
            if (name.find(m_namespace) != std::string::npos) found.push_back(name);
        }
        return found;
    }

    std::string m_namespace;
};

using SharedMemoryLocal = SharedMemoryTest;
using SharedMemoryProcesses = SharedMemoryTest;

TEST_F(SharedMemoryLocal, EveryOpenIsAHolderAndTheLastCloseEndsTheBlock) {
    auto first = SharedMemory::Open(kBlock, kSize);
    ASSERT_TRUE(first);
    Fill(*first, 1);
    auto second = SharedMemory::Open(kBlock, kSize);
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->AlreadyExisted());
    EXPECT_TRUE(Holds(*second, 1));
    Fill(*second, 2);
    EXPECT_TRUE(Holds(*first, 2));

    first.reset();
    const auto third = SharedMemory::Open(kBlock, kSize);
    ASSERT_TRUE(third);
    EXPECT_TRUE(third->AlreadyExisted());
    EXPECT_TRUE(Holds(*third, 2));

    second.reset();
    EXPECT_TRUE(Holds(*third, 2));
}

TEST_F(SharedMemoryLocal, ReopenedAfterTheLastCloseStartsAfresh) {
    {
        const auto block = SharedMemory::Open(kBlock, kSize);
        ASSERT_TRUE(block);
        Fill(*block, 1);
    }
    const auto block = SharedMemory::Open(kBlock, kSize);
    ASSERT_TRUE(block);
    EXPECT_FALSE(block->AlreadyExisted());
    EXPECT_EQ(block->Data().size(), kSize);
    EXPECT_TRUE(AllZero(*block));
}

TEST_F(SharedMemoryLocal, StaleObjectWithoutHoldersIsRecreatedZeroedAndPrivate) {
    // What a killed holder may leave behind, here also readable by everyone.
    const std::string name = SharedMemory::ObjectName(kBlock);
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT, 0666);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchmod(fd, 0666), 0);
    ASSERT_EQ(ftruncate(fd, 100), 0);
    ASSERT_EQ(pwrite(fd, "stale", 5, 0), 5);
    close(fd);

    const auto block = SharedMemory::Open(kBlock, kSize);
    ASSERT_TRUE(block);
    EXPECT_FALSE(block->AlreadyExisted());
    EXPECT_TRUE(AllZero(*block));
    struct stat st {};
    ASSERT_EQ(stat(("/dev/shm" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SharedMemoryLocal, RefusesToJoinAHeldObjectItDidNotMake) {
    const int fd = shm_open(SharedMemory::ObjectName(kBlock).c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    const std::vector<char> garbage(4096, '\xFF');
    ASSERT_EQ(pwrite(fd, garbage.data(), garbage.size(), 0), ssize_t(garbage.size()));
    ASSERT_EQ(flock(fd, LOCK_SH), 0);  // someone holds it, so it is joined, not recreated
    errno = 0;
    EXPECT_FALSE(SharedMemory::Open(kBlock, 16));
    EXPECT_EQ(errno, EINVAL);
    close(fd);

    // Once its holder is gone, the object is ours to recreate.
    const auto block = SharedMemory::Open(kBlock, 16);
    ASSERT_TRUE(block);
    EXPECT_FALSE(block->AlreadyExisted());
    EXPECT_TRUE(AllZero(*block));
}

TEST_F(SharedMemoryLocal, RejectsBadNamesAndSizes) {
    for (const std::string& name : {std::string(), std::string("a/b"), std::string("a\0b", 3)}) {
        errno = 0;
        EXPECT_FALSE(SharedMemory::Open(name, kSize));
        EXPECT_EQ(errno, EINVAL);
        EXPECT_TRUE(SharedMemory::ObjectName(name).empty());
    }
    errno = 0;
    EXPECT_FALSE(SharedMemory::Open(kBlock, 0));
    EXPECT_EQ(errno, EINVAL);

    setenv("KESTRIX_SHM_NAMESPACE", "x/y", 1);
    EXPECT_FALSE(SharedMemory::Open(kBlock, kSize));
}

TEST_F(SharedMemoryLocal, JoinerMaySeeLessButNotMoreThanTheCreatorMade) {
    const auto block = SharedMemory::Open(kBlock, kSize);
    ASSERT_TRUE(block);
    Fill(*block, 1);
    errno = 0;
    EXPECT_FALSE(SharedMemory::Open(kBlock, kSize + 1));
    EXPECT_EQ(errno, EINVAL);
    const auto smaller = SharedMemory::Open(kBlock, 16);
    ASSERT_TRUE(smaller);
    EXPECT_EQ(smaller->Data().size(), 16u);
    EXPECT_TRUE(std::ranges::equal(smaller->Data(), block->Data().first(16)));
}

TEST_F(SharedMemoryLocal, LockExcludesThreads) {
    const auto block = SharedMemory::Open(kBlock, kSize);
    ASSERT_TRUE(block);
    {
        std::jthread a([&] { CountUnderLock(*block, 500); });
        std::jthread b([&] { CountUnderLock(*block, 500); });
    }
    EXPECT_EQ(LoadCounter(*block), 1000u);
}

TEST_F(SharedMemoryProcesses, SecondProcessFindsTheBlockWithTheSameBytes) {
    const auto block = SharedMemory::Open(kBlock, kSize);
    ASSERT_TRUE(block);
    Fill(*block, 1);
    ChildProcess child("join");
    ASSERT_TRUE(Says(child, "existing"));
    EXPECT_EQ(child.Wait(), 0);
    EXPECT_TRUE(Holds(*block, 2));
}

TEST_F(SharedMemoryProcesses, BlockOfAKilledOnlyHolderIsRecreatedZeroed) {
    ChildProcess child("fill-and-hold");
    ASSERT_TRUE(Says(child, "created"));
    {
        // While the child holds it, the block and its bytes are there.
        const auto joined = SharedMemory::Open(kBlock, kSize);
        ASSERT_TRUE(joined);
        EXPECT_TRUE(joined->AlreadyExisted());
        EXPECT_TRUE(Holds(*joined, 3));
    }
    child.Kill();
    const auto block = SharedMemory::Open(kBlock, kSize);
    ASSERT_TRUE(block);
    EXPECT_FALSE(block->AlreadyExisted());
    EXPECT_TRUE(AllZero(*block));
}

TEST_F(SharedMemoryProcesses, LockExcludesAcrossProcesses) {
    const auto block = SharedMemory::Open(kBlock, kSize);
    ASSERT_TRUE(block);
    CountAlongsideAChild(*block);
}

TEST_F(SharedMemoryProcesses, LockSurvivesAHolderKilledWhileHoldingIt) {
    const auto block = SharedMemory::Open(kBlock, kSize);
    ASSERT_TRUE(block);
    ChildProcess holder("lock-and-hold");
    ASSERT_TRUE(Says(holder, "locked"));
    holder.Kill();
    block->lock();  // hangs here if the dead owner's lock were never recovered
    block->unlock();
    const auto again = SharedMemory::Open(kBlock, kSize);  // still held by this process
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->AlreadyExisted());

    // Recovered, the lock must still exclude, not merely stop blocking.
    CountAlongsideAChild(*block);
}

TEST_F(SharedMemoryProcesses, RacingOpensClosesAndKillsNeverRecreateAHeldBlock) {
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (int i = 0; i < 4; ++i) {
        children.push_back(std::make_unique<ChildProcess>("churn"));
        ASSERT_TRUE(Says(*children.back(), "churning"));
    }
    // Wherever it stands (opening, closing, holding the lock), a killed process must not
    // disturb the others.
    std::this_thread::sleep_for(5ms);
    children.front()->Kill();
    for (std::size_t i = 1; i < children.size(); ++i) EXPECT_EQ(children[i]->Wait(), 0);
}

}  // namespace
