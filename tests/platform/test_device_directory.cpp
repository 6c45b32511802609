// The device directory: where it is, what it lists, and the notices when units come and go.
#include "platform/DeviceDirectory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <optional>

#include "platform/DeviceNotification.h"
#include "platform/DirectoryWatcher.h"
#include "platform/MessageQueue.h"
#include "tests/platform/DeviceTestDir.h"

namespace platform {
namespace {

using testing::DeviceTestDir;
using testing::ListenAt;
using Change = DirectoryWatcher::Change;

constexpr std::chrono::seconds kPatience{10};

void Touch(const std::string& path) { std::ofstream(path) << "1234\n"; }

// Sets or clears an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { m_old ? ::setenv(m_name, m_old->c_str(), 1) : ::unsetenv(m_name); }

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

TEST(DeviceDirectoryTest, PathComesFromTheEnvironmentWithAPerUserDefault) {
    ScopedEnv bus("KESTRIX_BUS_DIR", "/somewhere/bus");
    ScopedEnv runtime("XDG_RUNTIME_DIR", "/run/user/77");
    EXPECT_EQ(DeviceDirectory::Path(), "/somewhere/bus");
    ::setenv("KESTRIX_BUS_DIR", "", 1);  // empty counts as unset
    EXPECT_EQ(DeviceDirectory::Path(), "/run/user/77/kestrix-bus");
    ::unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(DeviceDirectory::Path(), "/tmp/kestrix-bus-" + std::to_string(::geteuid()));
}

TEST(DeviceDirectoryTest, ListsOnlySocketsInAscendingOrder) {
    DeviceTestDir dir;
    std::vector<UniqueFd> units;
    for (const char* name : {"unit-2", "unit-10", "unit-0"}) units.push_back(ListenAt(dir / name));
    Touch(dir / "busd.lock");
    Touch(dir / "busd.pid");
    std::filesystem::create_directory(dir / "sub");
    EXPECT_EQ(DeviceDirectory::ListInterfaces(),
              (std::vector{dir / "unit-0", dir / "unit-10", dir / "unit-2"}));

    std::filesystem::remove_all(dir.Path());
    EXPECT_TRUE(DeviceDirectory::ListInterfaces().empty());
}

TEST(DeviceDirectoryTest, PathsLongerThanTheDeviceTableStillListed) {
    DeviceTestDir dir;
    std::filesystem::path deep = dir.Path();
    while (deep.string().size() < 260) deep /= std::string(50, 'd');
    std::filesystem::create_directories(deep);
    ScopedEnv bus("KESTRIX_BUS_DIR", deep.c_str());
    UniqueFd unit = ListenAt(deep / "unit-0");
    const auto listed = DeviceDirectory::ListInterfaces();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_GT(listed[0].size(), 254u);
}

// A directory someone else owns could hold sockets that pose as the driver.
TEST(DeviceDirectoryTest, AnotherUsersDirectoryIsNeitherListedNorWatched) {
    DeviceTestDir dir;
    UniqueFd unit = ListenAt(dir / "unit-0");
    if (::chown(dir.Path().c_str(), ::geteuid() + 1, -1) != 0) GTEST_SKIP() << "needs root";
    EXPECT_TRUE(DeviceDirectory::ListInterfaces().empty());
    EXPECT_EQ(DirectoryWatcher::Start(dir.Path(), [](Change, const std::string&) {}), nullptr);
}

class DirectoryWatcherTest : public ::testing::Test {
protected:
    void Start() {
        m_watcher =
            DirectoryWatcher::Start(m_dir.Path(), [this](Change change, const std::string& path) {
                std::lock_guard lock(m_mutex);
                m_changes.emplace_back(change, path);
                m_arrived.notify_all();
            });
        ASSERT_NE(m_watcher, nullptr);
    }

    std::pair<Change, std::string> Next() {
        std::unique_lock lock(m_mutex);
        if (!m_arrived.wait_for(lock, kPatience, [&] { return !m_changes.empty(); })) {
            ADD_FAILURE() << "no change reported";
            return {};
        }
        auto change = m_changes.front();
        m_changes.pop_front();
        return change;
    }

    DeviceTestDir m_dir;
    std::mutex m_mutex;  // guards m_changes
    std::condition_variable m_arrived;
    std::deque<std::pair<Change, std::string>> m_changes;
    std::unique_ptr<DirectoryWatcher> m_watcher;  // stopped before the fields it reports to
};

TEST_F(DirectoryWatcherTest, ReportsSocketsComingAndGoingButNoOtherFiles) {
    UniqueFd present = ListenAt(m_dir / "unit-0");
    Start();
    Touch(m_dir / "busd.lock");
    UniqueFd unit = ListenAt(m_dir / "unit-1");
    EXPECT_EQ(Next(), std::pair(Change::Arrival, m_dir / "unit-1"));  // not the lock, nor unit-0

    std::filesystem::rename(m_dir / "unit-1", m_dir / "unit-2");
    EXPECT_EQ(Next(), std::pair(Change::Removal, m_dir / "unit-1"));
    EXPECT_EQ(Next(), std::pair(Change::Arrival, m_dir / "unit-2"));
    std::filesystem::remove(m_dir / "busd.lock");
    std::filesystem::remove(m_dir / "unit-0");
    EXPECT_EQ(Next(), std::pair(Change::Removal, m_dir / "unit-0"));
}

TEST_F(DirectoryWatcherTest, MakesAMissingDirectoryAndFollowsItWhenRemadeLater) {
    std::filesystem::remove(m_dir.Path());
    Start();
    struct stat info {};
    ASSERT_EQ(::stat(m_dir.Path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    UniqueFd unit = ListenAt(m_dir / "unit-0");
    EXPECT_EQ(Next(), std::pair(Change::Arrival, m_dir / "unit-0"));
    std::filesystem::remove_all(m_dir.Path());
    EXPECT_EQ(Next(), std::pair(Change::Removal, m_dir / "unit-0"));

    std::filesystem::create_directory(m_dir.Path());
    UniqueFd again = ListenAt(m_dir / "unit-0");
    EXPECT_EQ(Next(), std::pair(Change::Arrival, m_dir / "unit-0"));
}

TEST(DeviceNotificationTest, PostsDeviceChangeToTheEndpoint) {
    DeviceTestDir dir;
    std::deque<Message> received;
    auto endpoint = MessageEndpoint::Create([&](const Message& message) {
        received.push_back(message);
        return 0;
    });
    ASSERT_NE(endpoint, nullptr);
    EXPECT_EQ(DeviceNotification::Register(0), nullptr);
    auto notification = DeviceNotification::Register(endpoint->Handle());
    ASSERT_NE(notification, nullptr);

    const auto next = [&] {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (received.empty() && std::chrono::steady_clock::now() < deadline) {
            MessageQueue::ForCurrentThread().Pump(std::chrono::milliseconds(100));
        }
        if (received.empty()) return Message{};
        const Message message = received.front();
        received.pop_front();
        return message;
    };
    const auto expect = [](const Message& message, std::uint32_t event) {
        EXPECT_EQ(message.msg, kWmDeviceChange);
        EXPECT_EQ(message.wParam, event);
        EXPECT_EQ(message.lParam, kDeviceTypeInterface);
    };
    UniqueFd unit = ListenAt(dir / "unit-0");
    expect(next(), kDeviceArrival);
    std::filesystem::remove(dir / "unit-0");
    expect(next(), kDeviceRemoveComplete);
}

}  // namespace
}  // namespace platform
