// The sidecar of a recording of several cameras, NAME.sync.csv: one row per frame set,
// "set,cycle_time," then each camera's frame sequence (as its own frame log numbers it) or an
// empty field where the camera missed the set; the header names the columns by camera index
// (set,cycle_time,camera0,camera1). Rows go out as the sets are written.
//
// Threading: one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "files/PosixFile.h"
#include "session/FrameSet.h"

namespace kestrix::record {

class SyncLog {
public:
    // Creates path; cameras: the index of each member's camera, in the group's order. error set
    // when the file cannot be made.
    SyncLog(const std::string& path, const std::vector<int>& cameras, std::string& error);

    bool Row(const session::FrameSet& set, std::string& error);
    bool Finish(std::string& error);

private:
    bool Append(const std::string& text, std::string& error);

    files::PosixFile m_file;
    std::uint64_t m_nBytes = 0;
};

}  // namespace kestrix::record
