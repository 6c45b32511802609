// A RIFF chunk file being written: a table of chunks laid out in creation order, each new chunk
// at the end of its parent, written with 64-bit positions. Used by one thread at a time.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "files/PosixFile.h"

namespace files {

class CRiffFile {
public:
    static constexpr std::uint32_t FourCC(const char (&text)[5]) {
        return std::uint32_t(std::uint8_t(text[0])) | std::uint32_t(std::uint8_t(text[1])) << 8 |
               std::uint32_t(std::uint8_t(text[2])) << 16 |
               std::uint32_t(std::uint8_t(text[3])) << 24;
    }

    // One record of the chunk table.
    struct Chunk {
        std::uint32_t id = 0;
        std::uint32_t listType = 0;  // of a RIFF or LIST chunk, else 0
        std::uint64_t size = 0;      // data bytes, a list type included, an odd pad byte not
        std::uint64_t dataPos = 0;   // just past the 8-byte header
        int parent = -1;             // -1 for the root
        bool written = false;        // header on disk with its final size
    };

    CRiffFile();
    virtual ~CRiffFile();  // closes an open file as it stands
    CRiffFile(const CRiffFile&) = delete;
    CRiffFile& operator=(const CRiffFile&) = delete;

    // Creates or truncates path for writing; false with GetErrorText() set when it cannot or
    // when a file is open already. Errors of an earlier file are forgotten.
    virtual bool Open(const std::string& path);
    // False with GetErrorText() set when the system reports an error on closing.
    bool Close();
    bool IsOpen() const { return m_file.IsOpen(); }
    const std::string& GetFileName() const { return m_file.Name(); }
    // Every error met so far, the first first; empty when none.
    const std::string& GetErrorText() const { return m_errorText; }

    const Chunk& GetChunk(int index) const { return m_chunks[std::size_t(index)]; }
    std::size_t GetChunkCount() const { return m_chunks.size(); }

protected:
    // Empties the table down to the root pseudo-chunk "FILE" (the whole file, never written),
    // reserving room for capacity records so that later chunks do not allocate.
    void ResetChunks(std::size_t capacity);
    // Appends a chunk of size data bytes (4 for an empty list) to parent; every enclosing chunk
    // grows. Nothing is written. Returns the chunk's index.
    int CreateChunk(std::uint32_t id, std::uint32_t listType, std::uint64_t size, int parent);
    // Writes the chunk's header and its data (size bytes, plus a pad byte when odd). Raises
    // CFileException.
    void WriteChunk(int index, std::span<const std::uint8_t> data);
    // Writes the header of every chunk whose header is not yet written, with its size as it is
    // now. Only final headers are marked written; provisional ones are written again later.
    void WritePendingHeaders(bool final);
    // Takes the chunks from index first on out of the table and out of their parents' sizes,
    // as if they had never been created.
    void RemoveChunksFrom(std::size_t first);
    // Drops the last record once its chunk is on disk for good; its space stays in the parents.
    void ForgetLastChunk();
    // End of the last chunk: the size of the whole file.
    std::uint64_t GetFileEnd() const { return m_chunks.front().size; }
    void TruncateFile(std::uint64_t size);
    void NoteError(const std::string& text) noexcept;

private:
    void Grow(int parent, std::int64_t bytes);

    PosixFile m_file;
    std::vector<Chunk> m_chunks;
    std::string m_errorText;
};

}  // namespace files
