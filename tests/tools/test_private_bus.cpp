// The private bus of --simulate: what an owner that died leaves is swept at the next start.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/UniqueFd.h"
#include "tests/support/SimulatedBus.h"
#include "tests/support/TempDir.h"
#include "common/PrivateBus.h"

namespace {

namespace fs = std::filesystem;

// Whether pid has exited, without reaping it; waits up to bound.
bool Exited(pid_t pid, std::chrono::seconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            return true;
        }
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// An owner killed before it could hand its death on leaves a daemon serving its folder, with
// the owner's lock free: the sweep ends that daemon and removes the folder.
TEST(PrivateBus, TheSweepEndsADaemonWhoseOwnerIsGone) {
    testsupport::TempDir base;
    const fs::path dir = base.Path() / "kestrix-capture-orphan";
    ASSERT_TRUE(fs::create_directory(dir));
    const platform::UniqueFd ownerLock(
        ::open((dir / ".owner.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(ownerLock);
    testsupport::SimulatedBus::Options options;
    options.extraArguments = {"--dir", dir.string()};  // the last --dir is the one it serves
    testsupport::SimulatedBus orphan(options);
    ASSERT_TRUE(orphan.IsRunning());
    ASSERT_TRUE(PrivateBus::IsServed(dir));

    EXPECT_EQ(PrivateBus::SweepLeftovers(base.Path()), 1);
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_TRUE(Exited(orphan.Pid(), std::chrono::seconds(10)));
}

}  // namespace
