// A file written under a temporary name beside its target and renamed over the target only once
// it is complete and on disk, so that a failed save leaves neither a partial file nor a damaged
// earlier one.
#pragma once

#include <string>

#include "files/PosixFile.h"

namespace files {

class StagedFile {
public:
    explicit StagedFile(std::string target);
    ~StagedFile();  // removes the temporary file unless committed
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Creates the temporary file. Raises CFileException naming the target.
    void Create();
    PosixFile& File() { return m_file; }
    // Flushes the data to the device, closes and renames over the target. Raises on failure.
    void Commit();

private:
    std::string m_target;
    std::string m_temporary;
    PosixFile m_file;
};

}  // namespace files
