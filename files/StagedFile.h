// A file written under a temporary name beside its target and renamed over the target only once
// it is complete and on disk, so that a failed save leaves neither a partial file nor a damaged
// earlier one. A target reached through a symbolic link is written where the link points (the
// link stays), and an existing target keeps its mode and owner.
#pragma once

#include <sys/stat.h>

#include <string>

#include "files/PosixFile.h"

namespace files {

class StagedFile {
public:
    explicit StagedFile(std::string target);
    ~StagedFile();  // removes the temporary file unless committed
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Creates the temporary file. Raises CFileException naming the target, also for a target
    // that is no regular file (a device, a FIFO, a directory) or a link to nothing.
    void Create();
    PosixFile& File() { return m_file; }
    // Flushes the data to the device, closes and renames over the target. Raises on failure.
    void Commit();

private:
    // Where the data goes: the target, or the file its links lead to; notes the file there.
    std::string Destination();

    std::string m_target;
    std::string m_destination;
    std::string m_temporary;
    struct stat m_existing {};  // the destination as it was, when it existed
    bool m_bExisted = false;
    PosixFile m_file;
};

}  // namespace files
