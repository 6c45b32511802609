// Helpers of the file-writer suites: reading back, an independent RIFF/OpenDML reader, ffprobe
// and ffmpeg runs, test frames, and child processes for disk-full and crash cases.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ByteOrder.h"

namespace filestest {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

inline Bytes ReadAt(const fs::path& path, std::uint64_t position, std::size_t bytes) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(std::streamoff(position));
    Bytes data(bytes);
    in.read(reinterpret_cast<char*>(data.data()), std::streamsize(bytes));
    data.resize(std::size_t(in.gcount()));
    return data;
}

inline Bytes ReadAll(const fs::path& path) { return ReadAt(path, 0, fs::file_size(path)); }

inline std::uint32_t Le32At(const fs::path& path, std::uint64_t position) {
    return platform::LoadLE32(ReadAt(path, position, 4).data());
}

inline std::string Text4(const std::uint8_t* p) { return {reinterpret_cast<const char*>(p), 4}; }

inline std::size_t EntriesIn(const fs::path& folder) {
    return std::size_t(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

// Test frames differ from one another and carry their counter big-endian in their first 4
// bytes, as the simulated camera stamps it.
inline void FillFrame(std::span<std::uint8_t> frame, std::uint32_t counter) {
    for (std::size_t i = 4; i < frame.size(); ++i) frame[i] = std::uint8_t(i * 7 + counter * 13);
    if (frame.size() >= 4) platform::StoreBE32(frame.data(), counter);
}

inline Bytes MakeFrame(std::size_t bytes, std::uint32_t counter) {
    Bytes frame(bytes);
    FillFrame(frame, counter);
    return frame;
}

// The video stream as ffprobe counts it: codec_tag_string, width, nb_read_packets, ...
inline std::map<std::string, std::string> ProbeStream(const fs::path& path) {
    const std::string command =
        std::string("'" KESTRIX_FFPROBE_PATH "'") +
        " -v error -count_frames -count_packets -select_streams v:0 -show_entries "
        "stream=codec_name,codec_tag_string,width,height,nb_read_packets,nb_read_frames,"
        "r_frame_rate,pix_fmt,profile -of default=noprint_wrappers=1 '" +
        path.string() + "' 2>/dev/null";
    std::map<std::string, std::string> fields;
    FILE* pipe = ::popen(command.c_str(), "r");
    for (char line[256]; pipe && std::fgets(line, sizeof line, pipe);) {
        std::string text(line);
        const std::size_t eq = text.find('=');
        if (eq != std::string::npos)
            fields[text.substr(0, eq)] = text.substr(eq + 1, text.size() - eq - 2);
    }
    if (pipe) ::pclose(pipe);
    return fields;
}

// Hands each frame ffmpeg reads (stored frames as they are, or decoded with other output
// options) to visit, in order; returns how many whole frames came.
inline std::size_t ForEachFrame(const fs::path& path, std::size_t bytes,
                                const std::function<void(std::span<const std::uint8_t>)>& visit,
                                const std::string& output = "-c copy -f data") {
    const std::string command =
        std::string("'" KESTRIX_FFMPEG_PATH "'") + " -v error -i '" + path.string() + "' -map 0:v:0 " + output + " - 2>/dev/null";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::size_t count = 0;
    for (Bytes frame(bytes); pipe && std::fread(frame.data(), 1, bytes, pipe) == bytes; ++count) {
        visit(frame);
    }
    if (pipe) ::pclose(pipe);
    return count;
}

// A chunk as a RIFF reader walking the file meets it.
struct Chunk {
    std::string id, listType;
    std::uint64_t position;  // of the header
    std::uint32_t size;
    int depth;
};

inline void Walk(const fs::path& path, std::uint64_t at, std::uint64_t end, int depth,
                 std::vector<Chunk>& chunks) {
    for (Bytes h; at + 8 <= end && (h = ReadAt(path, at, 12)).size() >= 8;) {
        Chunk chunk{Text4(&h[0]), "", at, platform::LoadLE32(&h[4]), depth};
        if (chunk.id == "RIFF" || chunk.id == "LIST") {
            chunk.listType = Text4(&h[8]);
            chunks.push_back(chunk);
            Walk(path, at + 12, at + 8 + chunk.size, depth + 1, chunks);
        } else {
            chunks.push_back(chunk);
        }
        at += 8 + chunk.size + (chunk.size & 1);
    }
}

inline std::vector<Chunk> ListChunks(const fs::path& path) {
    std::vector<Chunk> chunks;
    Walk(path, 0, fs::file_size(path), 0, chunks);
    return chunks;
}

// Stream 0's OpenDML index: per ix00 its position, duration and entries, and every frame.
struct OdmlIndex {
    struct Part {
        std::uint64_t position;
        std::uint32_t duration, entries;
    };
    std::vector<Part> parts;
    std::vector<std::uint64_t> frames;  // data positions
};

inline OdmlIndex ReadOdmlIndex(const fs::path& path) {
    using platform::LoadLE32;
    using platform::LoadLE64;
    OdmlIndex index;
    for (const Chunk& chunk : ListChunks(path)) {
        if (chunk.id != "indx") continue;
        const Bytes super = ReadAt(path, chunk.position + 8, chunk.size);
        for (std::uint32_t i = 0; i < LoadLE32(&super[4]); ++i) {
            const std::uint8_t* e = &super[24 + 16 * i];
            const Bytes ix = ReadAt(path, LoadLE64(e) + 8, LoadLE32(e + 8) - 8);
            index.parts.push_back({LoadLE64(e), LoadLE32(e + 12), LoadLE32(&ix[4])});
            for (std::uint32_t k = 0; k < index.parts.back().entries; ++k) {
                index.frames.push_back(LoadLE64(&ix[12]) + LoadLE32(&ix[24 + 8 * k]));
            }
        }
    }
    return index;
}

// Runs body in a child process whose files may not grow past fileSizeLimit bytes (writes fail
// there as on a full disk); returns its exit status, -1 when it did not exit.
inline int RunInChild(const std::function<int()>& body, rlim_t fileSizeLimit) {
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{fileSizeLimit, fileSizeLimit};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(body());
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs body in a child process, killed with SIGKILL where body calls the function it is given.
// False when body returned without calling it.
inline bool RunUntilKilled(const std::function<void(const std::function<void()>&)>& body) {
    int ready[2];
    if (::pipe(ready) != 0) return false;
    const pid_t child = ::fork();
    if (child == 0) {
        body([&] {
            if (::write(ready[1], "k", 1) == 1)
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
