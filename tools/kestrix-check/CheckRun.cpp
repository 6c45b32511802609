// The order of a kestrix-check run and its ends.
#include "tools/kestrix-check/CheckRun.h"

#include <sys/utsname.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <utility>

#include "camera/CameraIdentity.h"
#include "tools/common/CommandLine.h"
#include "tools/kestrix-check/CameraSnapshot.h"
#include "tools/kestrix-check/Checks.h"

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
    CheckReport report(m_options.json ? nullptr : stdout);
    C1394Dcam cam;
    if (!cam.Open()) {
        std::fprintf(stderr, "kestrix-check: the camera library could not be opened\n");
        return kExitFailed;
    }
    const int camera = PickCamera(cam);
    if (camera < 0) return kExitNoCamera;
    NoteMachine(report);
    CheckContext context{cam, camera, report, m_options.quick, m_stopSignal};
    CameraSnapshot snapshot;
    if (!snapshot.Take(cam, camera)) {
        report.Fail("snapshot", "the camera's settings cannot be read, so none is changed");
    } else {
        const std::pair<const char*, void (*)(CheckContext&)> steps[] = {
            {"identity", checks::Identity},
            {"inquiry", checks::Inquiry},
            {"features", checks::Features},
            {"one-push", checks::OnePush},
            {"memory-channels", checks::MemoryChannels},
        };
        for (const auto& [name, check] : steps) {
            if (m_options.pauseBefore == name) std::raise(SIGSTOP);
            if (context.Stopped()) break;
            check(context);
        }
        const auto failed = snapshot.Restore(cam, camera);
        std::string names;
        for (const std::string& name : failed) names += (names.empty() ? "" : ", ") + name;
        if (failed.empty()) {
            report.Pass("restore", "features, mode, trigger and ISO channel as found, "
                                   "transmission off");
        } else {
            report.Fail("restore", "not put back: " + names);
        }
    }
    const bool written = Finish(report);
    if (const int signal = m_stopSignal; signal != 0) {
        std::fprintf(stderr, "kestrix-check: stopped by %s; the camera was put back\n",
                     strsignal(signal));
        return kExitSignal + signal;
    }
    return report.Failed() || !written ? kExitFailed : 0;
}

int CheckRun::PickCamera(C1394Dcam& cam) {
    const int cameras = cam.GetDeviceCount(C1394Dcam::kCameraDevices);
    if (m_options.guid == 0) {
        if (m_options.camera < cameras) return m_options.camera;
        std::fprintf(stderr, "kestrix-check: no camera %d on the bus (%d found)\n",
                     m_options.camera, cameras);
        return -1;
    }
    for (int camera = 0; camera < cameras; ++camera) {
        if (cam.GetCameraGuid(camera) == m_options.guid) return camera;
    }
    std::fprintf(stderr, "kestrix-check: the camera %s is not on the bus\n",
                 CameraIdentity::GuidText(m_options.guid).c_str());
    return -1;
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
