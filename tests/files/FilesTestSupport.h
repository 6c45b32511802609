// Helpers shared by the file-writer suites: reading files back, an independent AVI chunk and
// index reader, ffprobe/ffmpeg runs, test frames, and child processes for disk-full and crash
// cases.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ByteOrder.h"

namespace filestest {

inline std::vector<std::uint8_t> ReadAt(const std::filesystem::path& path, std::uint64_t position,
                                        std::size_t bytes) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(std::streamoff(position));
    std::vector<std::uint8_t> data(bytes);
    in.read(reinterpret_cast<char*>(data.data()), std::streamsize(bytes));
    data.resize(std::size_t(in.gcount()));
    return data;
}

inline std::vector<std::uint8_t> ReadAll(const std::filesystem::path& path) {
    return ReadAt(path, 0, std::size_t(std::filesystem::file_size(path)));
}

inline std::size_t EntriesIn(const std::filesystem::path& folder) {
    return std::size_t(std::distance(std::filesystem::directory_iterator(folder),
                                     std::filesystem::directory_iterator()));
}

inline std::string FourCCText(const std::uint8_t* p) {
    return std::string(reinterpret_cast<const char*>(p), 4);
}

// Runs a shell command and returns what it printed on standard output.
inline std::string RunCommand(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) throw std::runtime_error("cannot run " + command);
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, n);
    ::pclose(pipe);
    return output;
}

inline std::string Quoted(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

// The first video stream as ffprobe sees it, every packet counted (and decoded, when ffmpeg
// knows the codec): codec_tag_string, width, height, nb_read_packets, nb_read_frames...
inline std::map<std::string, std::string> ProbeStream(const std::filesystem::path& path) {
    const std::string text = RunCommand(
        "ffprobe -v error -count_frames -count_packets -select_streams v:0 -show_entries "
        "stream=codec_name,codec_tag_string,width,height,nb_read_packets,nb_read_frames,"
        "r_frame_rate -of default=noprint_wrappers=1 " +
        Quoted(path) + " 2>/dev/null");
    std::map<std::string, std::string> fields;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return fields;
}

// Streams the stored frames of the file through ffmpeg without decoding them, handing each
// frameBytes-long frame to visit in order; returns the number of whole frames.
inline std::size_t ForEachPacket(const std::filesystem::path& path, std::size_t frameBytes,
                                 const std::function<void(std::span<const std::uint8_t>)>& visit,
                                 const std::string& ffmpegOutput = "-c copy -f data") {
    FILE* pipe = ::popen(
        ("ffmpeg -v error -i " + Quoted(path) + " -map 0:v:0 " + ffmpegOutput + " - 2>/dev/null")
            .c_str(),
        "r");
    if (!pipe) throw std::runtime_error("cannot run ffmpeg");
    std::vector<std::uint8_t> frame(frameBytes);
    std::size_t count = 0;
    while (std::fread(frame.data(), 1, frame.size(), pipe) == frame.size()) {
        visit(frame);
        ++count;
    }
    ::pclose(pipe);
    return count;
}

// One chunk met by a walk over the file, as any RIFF reader sees it.
struct ChunkInfo {
    std::string id;
    std::string listType;    // RIFF and LIST only
    std::uint64_t position;  // of the header
    std::uint32_t size;
    int depth;
};

inline void WalkChunks(std::ifstream& in, std::uint64_t begin, std::uint64_t end, int depth,
                       std::vector<ChunkInfo>& chunks) {
    for (std::uint64_t at = begin; at + 8 <= end;) {
        std::uint8_t header[12] = {};
        in.clear();
        in.seekg(std::streamoff(at));
        in.read(reinterpret_cast<char*>(header), 12);
        if (in.gcount() < 8) return;
        ChunkInfo chunk{FourCCText(header), "", at, platform::LoadLE32(header + 4), depth};
        const bool list = chunk.id == "RIFF" || chunk.id == "LIST";
        if (list) chunk.listType = FourCCText(header + 8);
        chunks.push_back(chunk);
        if (list) WalkChunks(in, at + 12, at + 8 + chunk.size, depth + 1, chunks);
        at += 8 + chunk.size + (chunk.size & 1);
    }
}

inline std::vector<ChunkInfo> ListChunks(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<ChunkInfo> chunks;
    WalkChunks(in, 0, std::filesystem::file_size(path), 0, chunks);
    return chunks;
}

// The OpenDML index of stream 0: super-index entries and the frames they reach.
struct OdmlIndex {
    struct Part {
        std::uint64_t position;  // of the ix00 header
        std::uint32_t size;
        std::uint32_t duration;
        std::uint32_t entries;  // as the ix00 itself says
    };
    struct Frame {
        std::uint64_t dataPos;
        std::uint32_t size;
    };
    std::vector<Part> parts;
    std::vector<Frame> frames;
};

inline OdmlIndex ReadOdmlIndex(const std::filesystem::path& path) {
    OdmlIndex index;
    for (const ChunkInfo& chunk : ListChunks(path)) {
        if (chunk.id != "indx") continue;
        const auto super = ReadAt(path, chunk.position + 8, chunk.size);
        const std::uint32_t used = platform::LoadLE32(&super[4]);
        for (std::uint32_t i = 0; i < used; ++i) {
            const std::uint8_t* e = &super[24 + 16 * i];
            OdmlIndex::Part part{platform::LoadLE64(e), platform::LoadLE32(e + 8),
                                 platform::LoadLE32(e + 12), 0};
            const auto standard = ReadAt(path, part.position + 8, part.size - 8);
            part.entries = platform::LoadLE32(&standard[4]);
            const std::uint64_t base = platform::LoadLE64(&standard[12]);
            for (std::uint32_t k = 0; k < part.entries; ++k) {
                const std::uint8_t* f = &standard[24 + 8 * k];
                index.frames.push_back({base + platform::LoadLE32(f), platform::LoadLE32(f + 4)});
            }
            index.parts.push_back(part);
        }
    }
    return index;
}

// A test frame: a byte pattern that differs from frame to frame, with the frame's counter
// stamped big-endian into its first 4 bytes as the simulated camera does.
inline void FillFrame(std::span<std::uint8_t> frame, std::uint32_t counter) {
    for (std::size_t i = 4; i < frame.size(); ++i) frame[i] = std::uint8_t(i * 7 + counter * 13);
    if (frame.size() >= 4) platform::StoreBE32(frame.data(), counter);
}

inline std::vector<std::uint8_t> MakeFrame(std::size_t bytes, std::uint32_t counter) {
    std::vector<std::uint8_t> frame(bytes);
    FillFrame(frame, counter);
    return frame;
}

inline std::uint32_t CounterOf(std::span<const std::uint8_t> frame) {
    return platform::LoadBE32(frame.data());
}

// Runs body in a child process and returns its exit status (-1 when it did not exit normally).
// With fileSizeLimit, writes beyond that many bytes fail there as on a full disk.
inline int RunInChild(const std::function<int()>& body, rlim_t fileSizeLimit = RLIM_INFINITY) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (fileSizeLimit != RLIM_INFINITY) {
            ::signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{fileSizeLimit, fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        }
        ::_exit(body());
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs body in a child process, which is killed with SIGKILL, as a crash would kill it, where
// body calls the function it is given. False when body returned without calling it.
inline bool RunUntilKilled(const std::function<void(const std::function<void()>&)>& body) {
    int ready[2];
    if (::pipe(ready) != 0) return false;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ready[0]);
        body([&] {
            const char done = 1;
            if (::write(ready[1], &done, 1) != 1) ::_exit(1);
            for (;;) ::pause();
        });
        ::_exit(1);
    }
    ::close(ready[1]);
    char done = 0;
    const bool reached = child > 0 && ::read(ready[0], &done, 1) == 1;
    ::close(ready[0]);
    if (child > 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    return reached;
}

}  // namespace filestest
