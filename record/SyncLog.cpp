// Writing the frame-set sidecar.
#include "record/SyncLog.h"

#include <fcntl.h>

#include <cstdio>

#include "files/CFileException.h"

namespace kestrix::record {

SyncLog::SyncLog(const std::string& path, const std::vector<int>& cameras, std::string& error) {
    std::string header = "set,cycle_time";
    for (const int camera : cameras) header += ",camera" + std::to_string(camera);
    try {
        m_file.Open(path, O_WRONLY | O_CREAT | O_TRUNC);
    } catch (const files::CFileException& e) {
        error = e.what();
        return;
    }
    Append(header + "\n", error);
}

bool SyncLog::Row(const session::FrameSet& set, std::string& error) {
    char start[48];
    // The cycle time as the frame logs write it, so that rows of both files compare as text.
    std::snprintf(start, sizeof start, "%llu,0x%08x", (unsigned long long)set.index, set.cycleTime);
    std::string row = start;
    for (const session::FrameSet::Member& member : set.members) {
        row += ',';
        if (member.present) row += std::to_string(member.meta.sequence);
    }
    return Append(row + "\n", error);
}

bool SyncLog::Finish(std::string& error) {
    try {
        m_file.Close();
        return true;
    } catch (const files::CFileException& e) {
        error = e.what();
        return false;
    }
}

bool SyncLog::Append(const std::string& text, std::string& error) {
    try {
        m_file.Write(m_nBytes, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
        m_nBytes += text.size();
        return true;
    } catch (const files::CFileException& e) {
        error = e.what();
        return false;
    }
}

}  // namespace kestrix::record
