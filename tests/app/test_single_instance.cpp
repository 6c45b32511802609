// One running copy per user and camera, across real kestrixview processes: a second copy for
// the same camera asks the first to raise its window and ends with status 0, a copy for another
// camera runs beside it, and a copy moved to another camera lets its old one go; a first copy
// that crashed blocks nobody.
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/CKestrixViewApp.h"
#include "app/SingleInstance.h"
#include "tests/app/ViewerProcess.h"
#include "tests/support/SimulatedBus.h"
#include "tests/support/TempDir.h"

namespace {

using namespace std::chrono_literals;

using Viewer = viewertest::ViewerProcess;

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_bus.IsRunning());
        ::setenv("XDG_RUNTIME_DIR", m_runtime.Path().c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", m_runtime.Path().c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }

    // key: the camera's part of the name ("camera1", a GUID); empty for camera 0.
    std::string SocketPath(const std::string& key = {}) const {
        const std::string name = "kestrixview-" + std::to_string(::getuid());
        return (m_runtime.Path() / ((key.empty() ? name : name + "-" + key) + ".sock")).string();
    }

    // Asks the running first copy to raise its window, as a second copy does; true once it
    // answered within the time.
    bool FirstCopyAnswers(std::chrono::milliseconds timeout = 20s,
                          const std::string& key = {}) const {
        const auto end = std::chrono::steady_clock::now() + timeout;
        do {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strncpy(address.sun_path, SocketPath(key).c_str(), sizeof(address.sun_path) - 1);
            char answer[16] = {};
            timeval wait{5, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
            const bool answered =
                ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                ::send(fd, "raise\n", 6, MSG_NOSIGNAL) == 6 && ::recv(fd, answer, 15, 0) > 0 &&
                std::string(answer) == "raised\n";
            ::close(fd);
            if (answered) return true;
            std::this_thread::sleep_for(50ms);
        } while (std::chrono::steady_clock::now() < end);
        return false;
    }

    testsupport::SimulatedBus m_bus;
    testsupport::TempDir m_runtime{"kestrix-view-runtime"};
};

TEST_F(SingleInstanceTest, SecondCopyRaisesTheFirstAndEndsWithStatusZero) {
    Viewer first;
    ASSERT_TRUE(FirstCopyAnswers());
    Viewer second;
    EXPECT_EQ(second.Wait(20s), 0);
    EXPECT_EQ(first.Wait(0ms), -1) << "the first copy must keep running";
    EXPECT_TRUE(FirstCopyAnswers(1s));
}

TEST_F(SingleInstanceTest, CopiesForTwoCamerasRunBesideEachOther) {
    Viewer first;  // camera 0
    ASSERT_TRUE(FirstCopyAnswers());
    Viewer other({"--camera", "1"});
    ASSERT_TRUE(FirstCopyAnswers(20s, "camera1")) << "runs beside the first";
    Viewer again({"--camera=1"});
    EXPECT_EQ(again.Wait(20s), 0) << "the copy for camera 1 is raised instead";
    EXPECT_EQ(Viewer({"--camera", "0"}).Wait(20s), 0) << "camera 0 is the default's";
    EXPECT_EQ(Viewer({"--camera", "one"}).Wait(20s), 2);
    EXPECT_EQ(first.Wait(0ms), -1);
    EXPECT_EQ(other.Wait(0ms), -1);
}

TEST_F(SingleInstanceTest, CopyMovedToAnotherCameraLetsItsOldCameraGo) {
    Viewer other({"--camera", "1"});
    ASSERT_TRUE(FirstCopyAnswers(20s, "camera1"));
    SingleInstance mine;  // camera 0, as Camera Format moves it
    ASSERT_TRUE(mine.Claim());
    ASSERT_TRUE(mine.Listen());
    EXPECT_FALSE(mine.Move("camera1")) << "another copy shows camera 1";
    ASSERT_TRUE(mine.Move("camera2"));
    EXPECT_FALSE(SingleInstance("camera2").Claim());
    Viewer first;  // camera 0 is free again
    EXPECT_TRUE(FirstCopyAnswers());
    EXPECT_EQ(first.Wait(0ms), -1);
}

TEST(CameraOptionTest, NumberOrGuidNamesTheCameraAndItsKey) {
    const auto parse = [](std::vector<std::string> words, std::string& error) {
        words.insert(words.begin(), "kestrixview");
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        return CKestrixViewApp::Parse(int(argv.size()), argv.data(), error);
    };
    std::string error;
    auto options = parse({"--camera=12"}, error);
    ASSERT_TRUE(options);
    EXPECT_EQ(options->cameraIndex, 12);
    EXPECT_EQ(CKestrixViewApp::InstanceKey(*options), "camera12");
    options = parse({"--camera", "0x02CA3E0000010001"}, error);
    ASSERT_TRUE(options);
    EXPECT_EQ(options->cameraGuid, 0x02CA3E0000010001u);
    EXPECT_EQ(CKestrixViewApp::InstanceKey(*options), "02ca3e0000010001");
    options = parse({}, error);
    EXPECT_EQ(CKestrixViewApp::InstanceKey(*options), "") << "camera 0 keeps the old names";
    for (const char* bad : {"64", "-1", "0000000000000000", "02ca3e000001000", "cam"}) {
        EXPECT_FALSE(parse({"--camera", bad}, error)) << bad;
        EXPECT_EQ(error, std::string("--camera ") + bad +
                             ": give a camera number from 0 to 63 or a GUID of 16 hex digits");
    }
    EXPECT_FALSE(parse({"--camera"}, error));
    EXPECT_EQ(error, "--camera needs a camera number or GUID (see --help)");
}

TEST_F(SingleInstanceTest, CrashedFirstCopyDoesNotBlockTheNext) {
    {
        Viewer crashed;
        ASSERT_TRUE(FirstCopyAnswers());
        crashed.Signal(SIGKILL);
        EXPECT_EQ(crashed.Wait(10s), -2);
    }
    Viewer next;
    // It becomes the first copy: it stays and answers on a fresh socket.
    ASSERT_TRUE(FirstCopyAnswers());
    EXPECT_EQ(next.Wait(0ms), -1);
}

}  // namespace
