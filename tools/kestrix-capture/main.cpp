// kestrix-capture: records from a camera into an AVI file and stills, and reads or sets its
// features, for scripts and headless machines. See --help and docs/kestrix-capture.md.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <utility>

#include "common/CommandLine.h"
#include "common/PrivateBus.h"
#include "common/StopSignals.h"
#include "platform/Log.h"
#include "tools/kestrix-capture/CaptureOptions.h"
#include "tools/kestrix-capture/CapturePlan.h"
#include "tools/kestrix-capture/CaptureRecorder.h"
#include "tools/kestrix-capture/CaptureSession.h"
#include "tools/kestrix-capture/CaptureSummary.h"
#include "tools/kestrix-capture/ExitCodes.h"

namespace {


// A standard descriptor closed by the caller would be handed to the next file or socket
// opened, and the summary written into it: hold it with a descriptor that takes no writes, so
// that writing fails and is reported instead.
void HoldClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) ::open("/dev/null", O_RDONLY);
    }
}

// The object --json promises for a run that got past its arguments, when no bus came up.
int PrintJsonOfFailedStart(const CaptureOptions& options, const std::string& error, int status) {
    CaptureSummary summary;
    for (const auto& [kind, path] : {std::pair<const char*, const std::string&>{"avi", options.avi},
                                     {"record", options.record},
                                     {"bmp", options.bmp},
                                     {"jpeg", options.jpeg}}) {
        if (!path.empty()) summary.files.emplace_back(kind, path);
    }
    summary.exitReason = error;
    summary.exitStatus = status;
    if (std::fputs(summary.Json().c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "kestrix-capture: cannot write to standard output: %s\n",
                     std::strerror(errno));
        return kExitFailed;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    HoldClosedStandardDescriptors();
    std::string error;
    const auto options =
        CaptureOptions::Parse(std::span<char* const>(argv + 1, std::size_t(argc - 1)), error);
    if (!options) {
        std::fprintf(stderr, "kestrix-capture: %s\n", error.c_str());
        return kExitUsage;
    }
    if (options->help) {
        std::fputs(CaptureOptions::Usage(), stdout);
        return kExitOk;
    }
    if (options->version) {
        std::puts(CommandLine::VersionLine("kestrix-capture").c_str());
        return kExitOk;
    }
    platform::SetLogVerbosity(options->verbosity);
    const std::atomic<int>& stopSignal = StopSignals::Catch();
    if (options->preTrigger > 0) CaptureRecorder::CatchEvent();
    // A file-size limit becomes a failed write, reported, not a sudden death.
    std::signal(SIGXFSZ, SIG_IGN);
    // Declared first, so that the daemon outlives the session that uses it.
    PrivateBus bus;
    // Without --simulate, the machine's FireWire cameras, through a bridge of its own when no
    // bus daemon runs.
    const auto daemon =
        options->simulate ? PrivateBus::Daemon::Simulated : PrivateBus::Daemon::FireWire;
    if (!bus.StartUnlessRunning(error, daemon)) {
        std::fprintf(stderr, "kestrix-capture: %s\n", error.c_str());
        const int status = bus.NoController() ? kExitNoCamera : kExitFailed;
        return options->json ? PrintJsonOfFailedStart(*options, error, status) : status;
    }
    if (options->plan) return RunPlan(*options);
    CaptureSession session(*options, stopSignal);
    return session.Run();
}
