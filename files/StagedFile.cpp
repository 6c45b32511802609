// Temporary-then-rename file creation for the still writers.
#include "files/StagedFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

#include "files/CFileException.h"
#include "platform/Log.h"

namespace files {

namespace {

// ".<name>.<pid>-<n>.tmp" in the target's folder: same file system, so the rename is atomic. A
// name near the system's limit gets a short temporary name instead of failing for its length.
std::string TemporaryName(const std::string& target, unsigned serial) {
    const std::size_t slash = target.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::string tail =
        "." + std::to_string(::getpid()) + "-" + std::to_string(serial) + ".tmp";
    std::string name = "." + target.substr(nameStart) + tail;
    if (name.size() > NAME_MAX) name = ".kestrix" + tail;
    return target.substr(0, nameStart) + name;
}

}  // namespace

StagedFile::StagedFile(std::string target) : m_target(std::move(target)) {}

StagedFile::~StagedFile() {
    if (!m_temporary.empty()) ::unlink(m_temporary.c_str());
}

std::string StagedFile::Destination() {
    m_bExisted = ::stat(m_target.c_str(), &m_existing) == 0;
    // Renaming over a device, a FIFO (/dev/stdout on a pipe) or a directory would replace it,
    // not write into it.
    if (m_bExisted && !S_ISREG(m_existing.st_mode))
        throw CFileException(m_target, EINVAL, "is not a regular file");
    struct stat link {};
    if (::lstat(m_target.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return m_target;
    if (!m_bExisted) throw CFileException(m_target, ENOENT, "is a symbolic link to a missing file");
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::canonical(m_target, error);
    if (error) throw CFileException(m_target, error.value());
    return resolved.string();
}

void StagedFile::Create() {
    m_destination = Destination();
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0;; ++attempt) {
        std::string name = TemporaryName(m_destination, serial++);
        try {
            m_file.Open(name, O_WRONLY | O_CREAT | O_EXCL, m_target);
            m_temporary = std::move(name);
            return;
        } catch (const CFileException& e) {
            // A leftover of an earlier run with the same process id: take the next name.
            if (e.Error() != EEXIST || attempt == 100) throw;
        }
    }
}

void StagedFile::Commit() {
    if (m_bExisted) {
        // The file replaced keeps who owns it and who may read it. A user who may not give a
        // file away keeps at least its group where allowed.
        const int fd = m_file.Descriptor();
        const bool owned = ::fchown(fd, m_existing.st_uid, m_existing.st_gid) == 0 ||
                           ::fchown(fd, uid_t(-1), m_existing.st_gid) == 0;
        if (!owned) {
            KX_LOG(Files, Info) << m_target << " becomes this user's: " << std::strerror(errno);
        }
        if (::fchmod(fd, m_existing.st_mode & 07777) != 0) throw CFileException(m_target, errno);
    }
    m_file.Sync();
    m_file.Close();
    if (std::rename(m_temporary.c_str(), m_destination.c_str()) != 0) {
        throw CFileException(m_target, errno);
    }
    m_temporary.clear();
}

}  // namespace files
