// Temporary-then-rename file creation for the still writers.
#include "files/StagedFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "files/CFileException.h"

namespace files {

namespace {

// ".<name>.<pid>-<n>.tmp" in the target's folder: same file system, so the rename is atomic.
std::string TemporaryName(const std::string& target, unsigned serial) {
    const std::size_t slash = target.rfind('/');
    const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    return target.substr(0, nameStart) + "." + target.substr(nameStart) + "." +
           std::to_string(::getpid()) + "-" + std::to_string(serial) + ".tmp";
}

}  // namespace

StagedFile::StagedFile(std::string target) : m_target(std::move(target)) {}

StagedFile::~StagedFile() {
    if (!m_temporary.empty()) ::unlink(m_temporary.c_str());
}

void StagedFile::Create() {
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0;; ++attempt) {
        std::string name = TemporaryName(m_target, serial++);
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
    m_file.Sync();
    m_file.Close();
    if (std::rename(m_temporary.c_str(), m_target.c_str()) != 0) {
        throw CFileException(m_target, errno);
    }
    m_temporary.clear();
}

}  // namespace files
