// The order of a kestrix-check run and its ends.
#include "tools/kestrix-check/CheckRun.h"

#include <sys/utsname.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <utility>

#include "common/CommandLine.h"
#include "tools/kestrix-check/CameraSnapshot.h"
#include "tools/kestrix-check/Checks.h"
#include "tools/kestrix-check/StreamChecks.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitNoCamera = 3;
constexpr int kExitSignal = 128;

std::string FirstLine(const char* path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

int CheckRun::Run() {
    using kestrix::session::CameraManager;
    using kestrix::session::Error;
    CheckReport report(m_options.json ? nullptr : stdout);
    Error error;
    const auto manager = CameraManager::Create(CameraManager::Threading::OwnThread, error);
    if (!manager) {
        std::fprintf(stderr, "kestrix-check: %s\n", error.Message().c_str());
        return kExitFailed;
    }
    const auto camera = manager->Acquire(m_options.camera, error);
    if (!camera) {
        std::fprintf(stderr, "kestrix-check: %s\n", error.Message().c_str());
        return error.GetKind() == Error::Kind::NotFound ? kExitNoCamera : kExitFailed;
    }
    NoteMachine(report);
    RunChecks(*camera, report);
    camera->Release();
    const bool written = Finish(report);
    if (const int signal = m_stopSignal; signal != 0) {
        std::fprintf(stderr, "kestrix-check: stopped by %s; the camera was put back\n",
                     strsignal(signal));
        return kExitSignal + signal;
    }
    return report.Failed() || !written ? kExitFailed : 0;
}

void CheckRun::RunChecks(kestrix::session::Camera& camera, CheckReport& report) {
    CameraSnapshot snapshot;
    bool taken = false;
    camera.Call([&](C1394Dcam& cam, int index) { taken = snapshot.Take(cam, index); });
    if (!taken) return report.Fail("snapshot", "the camera's settings cannot be read, so none is changed");
    // The register checks run on the camera object's thread; the streaming ones through the
    // session, on this one.
    const auto registers = [&](void (*check)(CheckContext&)) {
        return [&, check] {
            camera.Call([&](C1394Dcam& cam, int index) {
                CheckContext context{cam, index, report, m_options.quick, m_stopSignal};
                check(context);
            });
        };
    };
    const auto streams = [&](void (*check)(StreamContext&)) {
        return [&, check] {
            StreamContext context{camera, report, m_options.quick, m_stopSignal};
            check(context);
        };
    };
    const std::pair<const char*, std::function<void()>> steps[] = {
        {"identity", registers(checks::Identity)},
        {"inquiry", registers(checks::Inquiry)},
        {"modes", streams(checks::Modes)},
        {"features", registers(checks::Features)},
        {"one-push", registers(checks::OnePush)},
        {"trigger", streams(checks::Trigger)},
        {"memory-channels", registers(checks::MemoryChannels)},
        {"bus-reset", streams(checks::BusReset)},
        {"bandwidth", streams(checks::Bandwidth)},
    };
    for (const auto& [name, check] : steps) {
        if (m_options.pauseBefore == name) std::raise(SIGSTOP);
        if (m_stopSignal != 0) break;
        check();
    }
    // A stream a check left running (stopped by a signal midway) ends first.
    camera.Stop();
    std::vector<std::string> failed;
    camera.Call([&](C1394Dcam& cam, int index) { failed = snapshot.Restore(cam, index); });
    std::string names;
    for (const std::string& name : failed) names += (names.empty() ? "" : ", ") + name;
    if (failed.empty()) {
        report.Pass("restore", "features, mode, trigger and ISO channel as found, transmission off");
    } else {
        report.Fail("restore", "not put back: " + names);
    }
}

void CheckRun::NoteMachine(CheckReport& report) const {
    utsname system{};
    if (::uname(&system) == 0)
        report.SetFact("machine.kernel", std::string(system.sysname) + " " + system.release);
    // The local node's names, as the kernel shows them; a simulated bus has none.
    const std::string vendor = FirstLine("/sys/bus/firewire/devices/fw0/vendor_name");
    const std::string model = FirstLine("/sys/bus/firewire/devices/fw0/model_name");
    report.SetFact("machine.controller", m_options.simulate ? "simulated bus"
                                         : vendor.empty()   ? "unknown"
                                                            : vendor + " " + model);
    report.SetFact("machine.kestrix", CommandLine::VersionLine("kestrix-check"));
}

bool CheckRun::Finish(const CheckReport& report) {
    bool written = true;
    if (!m_options.report.empty()) {
        std::ofstream file(m_options.report, std::ios::trunc);
        file << report.Json();
        file.close();
        if (!file) {
            std::fprintf(stderr, "kestrix-check: cannot write the report %s: %s\n",
                         m_options.report.c_str(), std::strerror(errno));
            written = false;
        }
    }
    const std::string tail = m_options.json ? report.Json() : report.Summary() + "\n";
    if (std::fputs(tail.c_str(), stdout) < 0 || std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "kestrix-check: cannot write to standard output: %s\n",
                     std::strerror(errno));
        written = false;
    }
    return written;
}
