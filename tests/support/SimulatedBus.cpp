// Starting, driving and stopping a private kestrix-busd for a test.
#include "tests/support/SimulatedBus.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/UniqueFd.h"
#include "tests/support/FakeFwControl.h"
#include "tests/support/SharedBlockSweep.h"

extern char** environ;

namespace testsupport {
namespace {

#ifdef KESTRIX_BUSD_PATH
constexpr const char* kBusdPath = KESTRIX_BUSD_PATH;
#else
constexpr const char* kBusdPath = "";
#endif
#ifdef KESTRIX_BUSCTL_PATH
constexpr const char* kBusctlPath = KESTRIX_BUSCTL_PATH;
#else
constexpr const char* kBusctlPath = "";
#endif

#if defined(KESTRIX_FWD_PATH) && defined(KESTRIX_FAKEFW_PRELOAD)
constexpr const char* kFwdPath = KESTRIX_FWD_PATH;
constexpr const char* kFakeKernel = KESTRIX_FAKEFW_PRELOAD;
#else
constexpr const char* kFwdPath = "";
constexpr const char* kFakeKernel = "";
#endif

constexpr auto kPollStep = std::chrono::milliseconds(10);
constexpr auto kStartTimeout = std::chrono::seconds(20);
constexpr auto kStopTimeout = std::chrono::seconds(20);

std::optional<std::string> GetEnv(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

void RestoreEnv(const char* name, const std::optional<std::string>& value) {
    if (value) {
        ::setenv(name, value->c_str(), 1);
    } else {
        ::unsetenv(name);
    }
}

bool IsSocket(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

std::vector<char*> ArgvOf(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// Waits for the child up to timeout; its exit code, or -1 when it did not exit normally, or
// nothing when it still runs.
std::optional<int> WaitFor(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0) return -1;
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(kPollStep);
    }
}

}  // namespace

SimulatedBus::SimulatedBus() : SimulatedBus(Options{}) {}

SimulatedBus::SimulatedBus(unsigned cameras, double rateScale)
    : SimulatedBus(Options{cameras, rateScale, {}, true}) {}

SimulatedBus::SimulatedBus(const Options& options) : m_options(options) {
    m_savedBusDir = GetEnv("KESTRIX_BUS_DIR");
    ::setenv("KESTRIX_BUS_DIR", Dir().c_str(), 1);
    if (options.privateShmNamespace) {
        static std::atomic<unsigned> counter{0};
        m_savedShmNamespace = GetEnv("KESTRIX_SHM_NAMESPACE");
        m_setShmNamespace = true;
        const std::string name =
            "kxbus-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        ::setenv("KESTRIX_SHM_NAMESPACE", name.c_str(), 1);
    }
    if (!Launch()) ADD_FAILURE() << "kestrix-busd did not start in " << Dir();
}

SimulatedBus::~SimulatedBus() {
    // A daemon that crashed, leaked under a sanitizer or could not clean up fails the test; one
    // that stopped cleanly reports the SIGTERM that stopped it.
    if (IsRunning()) {
        const int code = Stop();
        if (code != 128 + SIGTERM) ADD_FAILURE() << "kestrix-busd ended with exit code " << code;
    }
    RestoreEnv("KESTRIX_BUS_DIR", m_savedBusDir);
    if (m_setShmNamespace) SweepSharedBlocks();
    if (m_setShmNamespace) RestoreEnv("KESTRIX_SHM_NAMESPACE", m_savedShmNamespace);
}

std::vector<std::string> SimulatedBus::UnitPaths() const {
    std::vector<std::string> paths;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(Dir(), ignored)) {
        if (IsSocket(entry.path())) paths.push_back(entry.path().string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

bool SimulatedBus::WaitForUnits(std::size_t count, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (UnitPaths().size() != count) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(kPollStep);
    }
    return true;
}

bool SimulatedBus::WaitForResetWaits(std::size_t count, std::chrono::milliseconds timeout) const {
    const std::string field = "reset waits " + std::to_string(count) + ",";
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Busctl({"status"}).output.find(field) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(kPollStep);
    }
    return true;
}

bool SimulatedBus::OverFakeKernel() {
    const char* bridge = std::getenv("KESTRIX_TEST_BRIDGE");
    return bridge != nullptr && std::string(bridge) == "fw";
}

SimulatedBus::Result SimulatedBus::Busctl(const std::vector<std::string>& arguments) const {
    if (OverFakeKernel()) return FakeKernelCommand(arguments);
    std::vector<std::string> argv = {kBusctlPath, "--dir", Dir().string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunProgram(argv);
}

int SimulatedBus::Stop(int signal) {
    if (!IsRunning()) return -1;
    ::kill(m_pid, signal);
    return Reap();
}

void SimulatedBus::Kill() {
    if (!IsRunning()) return;
    ::kill(m_pid, SIGKILL);
    Reap();
}

SimulatedBus::Result SimulatedBus::RunProgram(const std::vector<std::string>& args) {
    Result result;
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) return result;
    platform::UniqueFd outRead(outPipe[0]), outWrite(outPipe[1]);
    if (::pipe2(errPipe, O_CLOEXEC) != 0) return result;
    platform::UniqueFd errRead(errPipe[0]), errWrite(errPipe[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errWrite.Get(), STDERR_FILENO);
    pid_t pid = -1;
    std::vector<char*> argv = ArgvOf(args);
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    outWrite.Reset();
    errWrite.Reset();
    if (spawned != 0) {
        result.errors = "cannot run " + args[0];
        return result;
    }
    pollfd fds[2] = {{outRead.Get(), POLLIN, 0}, {errRead.Get(), POLLIN, 0}};
    std::string* sinks[2] = {&result.output, &result.errors};
    for (int open = 2; open > 0;) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char chunk[4096];
            const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, std::size_t(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    result.exitCode = WaitFor(pid, std::chrono::hours(1)).value_or(-1);
    return result;
}

bool SimulatedBus::Restart() {
    if (IsRunning()) Stop();
    return Launch();
}

std::vector<std::string> SimulatedBus::Arguments() const {
    if (OverFakeKernel()) {
        // Of the simulated bus's options a folder to serve and the receive contexts apply to
        // the bridge.
        std::vector<std::string> args = {kFwdPath, "--dir", Dir().string()};
        const auto& extra = m_options.extraArguments;
        for (const char* name : {"--dir", "--receive-contexts"}) {
            const auto given = std::find(extra.begin(), extra.end(), name);
            if (given != extra.end() && given + 1 != extra.end())
                args.insert(args.end(), given, given + 2);
        }
        return args;
    }
    char scale[32];
    std::snprintf(scale, sizeof scale, "%g", m_options.rateScale);
    std::vector<std::string> args = {
        kBusdPath,      "--dir", Dir().string(), "--cameras", std::to_string(m_options.cameras),
        "--rate-scale", scale};
    args.insert(args.end(), m_options.extraArguments.begin(), m_options.extraArguments.end());
    return args;
}

std::vector<std::string> SimulatedBus::Environment() const {
    std::vector<std::string> environment;
    for (char** variable = environ; *variable != nullptr; ++variable)
        environment.emplace_back(*variable);
    if (!OverFakeKernel()) return environment;
    char scale[32];
    std::snprintf(scale, sizeof scale, "%g", m_options.rateScale);
    environment.insert(environment.end(),
                       {std::string("LD_PRELOAD=") + kFakeKernel,
                        "KESTRIX_FW_DEVDIR=" + m_kernelDir.Path().string(),
                        "KESTRIX_FAKEFW_CTL=" + (m_kernelDir.Path() / "ctl.sock").string(),
                        "KESTRIX_FAKEFW_CAMERAS=" + std::to_string(m_options.cameras),
                        std::string("KESTRIX_FAKEFW_RATE_SCALE=") + scale});
    // The simulated bus's model option names the fake's model.
    const auto& extra = m_options.extraArguments;
    const auto model = std::find(extra.begin(), extra.end(), "--model");
    if (model != extra.end() && model + 1 != extra.end())
        environment.push_back("KESTRIX_FAKEFW_MODEL=" + *(model + 1));
    // The bridge reports the contexts it is told; the fake kernel has as many.
    const auto contexts = std::find(extra.begin(), extra.end(), "--receive-contexts");
    if (contexts != extra.end() && contexts + 1 != extra.end())
        environment.push_back("KESTRIX_FAKEFW_CONTEXTS=" + *(contexts + 1));
    return environment;
}

SimulatedBus::Result SimulatedBus::FakeKernelCommand(const std::vector<std::string>& arguments) const {
    Result result;
    std::string command;
    const std::string verb = arguments.empty() ? "" : arguments[0];
    if (verb == "status" || verb == "bus-reset") {
        command = verb == "status" ? "status" : "reset";
        const auto jump = std::find(arguments.begin(), arguments.end(), "--cycle-jump");
        if (jump != arguments.end() && jump + 1 != arguments.end()) {
            const std::string armed = fakefw::SendCommand(
                (m_kernelDir.Path() / "ctl.sock").string(), "cycle-jump " + *(jump + 1));
            if (armed.rfind("ok", 0) != 0) {
                result.exitCode = 1;
                result.errors = armed;
                return result;
            }
        }
    } else if (verb == "remove" && arguments.size() == 2 &&
               std::stoul(arguments[1]) < m_plugged.size()) {
        const auto at = m_plugged.begin() + std::ptrdiff_t(std::stoul(arguments[1]));
        command = "unplug " + std::to_string(*at);
        m_unplugged.push_back(*at);
        m_plugged.erase(at);
    } else if (verb == "add-camera" && !m_unplugged.empty()) {
        command = "plug " + std::to_string(m_unplugged.front());
        m_plugged.push_back(m_unplugged.front());
        m_unplugged.erase(m_unplugged.begin());
    } else {
        result.exitCode = 2;
        result.errors = "not on the fake kernel: " + verb;
        return result;
    }
    const std::string answer =
        fakefw::SendCommand((m_kernelDir.Path() / "ctl.sock").string(), command);
    result.exitCode = answer.rfind("ok", 0) == 0 ? 0 : 1;
    (result.exitCode == 0 ? result.output : result.errors) = answer;
    return result;
}

bool SimulatedBus::Launch() {
    const std::vector<std::string> args = Arguments();
    std::vector<char*> argv = ArgvOf(args);
    const std::vector<std::string> variables = Environment();
    std::vector<char*> environment = ArgvOf(variables);
    m_plugged.clear();
    m_unplugged.clear();
    for (unsigned camera = 1; camera <= m_options.cameras; ++camera) m_plugged.push_back(camera);

    // The daemon says on stdout when it serves; its errors go to the test's stderr.
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return false;
    platform::UniqueFd readyRead(ready[0]), readyWrite(ready[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, readyWrite.Get(), STDOUT_FILENO);
    const int spawned =
        ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    readyWrite.Reset();
    if (spawned != 0) {
        m_pid = -1;
        return false;
    }
    return WaitUntilServing(readyRead.Get());
}

bool SimulatedBus::WaitUntilServing(int readyFd) {
    // Files a crashed daemon left behind prove nothing: only the ready line does.
    std::string line;
    pollfd poll{readyFd, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || ::poll(&poll, 1, int(left.count())) == 0) {
            Kill();
            return false;
        }
        char chunk[256];
        const ssize_t n = ::read(readyFd, chunk, sizeof chunk);
        if (n == 0 || (n < 0 && errno != EINTR)) {
            Reap();  // it exited: the reason is on stderr
            return false;
        }
        if (n > 0) line.append(chunk, std::size_t(n));
    }
    return true;
}

int SimulatedBus::Reap() {
    auto code = WaitFor(m_pid, kStopTimeout);
    if (!code) {
        ADD_FAILURE() << "kestrix-busd did not stop on SIGTERM";
        ::kill(m_pid, SIGKILL);
        code = WaitFor(m_pid, kStopTimeout);
    }
    m_pid = -1;
    return code.value_or(-1);
}

}  // namespace testsupport
