// Whether an output file can be written, and whether a recording's file is still there.
#include "tools/kestrix-capture/OutputFileCheck.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/UniqueFd.h"

namespace {
constexpr auto kCheckInterval = std::chrono::seconds(1);
}  // namespace

std::string OutputFileCheck::Problem(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return "is a directory";
        // A FIFO or a device would block the open or take the file's structure apart.
        if (!S_ISREG(info.st_mode)) return "is not a regular file";
        const platform::UniqueFd file(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
        return file ? std::string() : std::strerror(errno);
    }
    if (errno != ENOENT) return std::strerror(errno);
    const platform::UniqueFd file(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!file)
        return errno == EEXIST ? "is a symbolic link to a missing file" : std::strerror(errno);
    ::unlink(path.c_str());
    return {};
}

void OutputFileCheck::Created(const std::string& path) {
    m_strPath = path;
    ::stat(path.c_str(), &m_created);
}

bool OutputFileCheck::Gone() const {
    struct stat now {};
    return ::stat(m_strPath.c_str(), &now) != 0 || now.st_dev != m_created.st_dev ||
           now.st_ino != m_created.st_ino;
}

bool OutputFileCheck::GoneBy(Clock::time_point now) {
    if (now - m_checked < kCheckInterval) return false;
    m_checked = now;
    return Gone();
}
