// kestrix-capture's checks of its output files: before the camera is touched, whether each file
// asked for can be written; while a recording runs, whether its file is still the one created.
// Writes into a file whose folder was removed succeed, and the frames with them are lost, so the
// recording must notice rather than report success.
//
// Threading: the session's thread.
#pragma once

#include <chrono>
#include <string>

#include <sys/stat.h>

class OutputFileCheck {
public:
    using Clock = std::chrono::steady_clock;

    // Why path cannot be written, or empty when it can. Opens the file (making a new one and
    // removing it again at once), so that whatever the system would refuse later (a name too
    // long, a folder such as /proc that takes no files) is refused now.
    static std::string Problem(const std::string& path);

    // Notes the recording's file as it is just after its creation.
    void Created(const std::string& path);
    // Whether the file at the path is no longer the one created.
    bool Gone() const;
    // Gone, looked at once a second at most (now: the caller's clock).
    bool GoneBy(Clock::time_point now);

private:
    std::string m_strPath;
    struct stat m_created {};
    Clock::time_point m_checked{};
};
