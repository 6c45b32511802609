// RIFF chunk table and chunk output.
#include "files/CRiffFile.h"

#include <fcntl.h>

#include <array>
#include <cassert>

#include "files/CFileException.h"
#include "platform/ByteOrder.h"
#include "platform/Log.h"

namespace files {

namespace {

// Bytes a chunk takes in its parent: header, data and the pad byte after odd data.
std::uint64_t SpaceOf(const CRiffFile::Chunk& chunk) { return 8 + chunk.size + (chunk.size & 1); }

}  // namespace

CRiffFile::CRiffFile() { ResetChunks(1); }

CRiffFile::~CRiffFile() = default;

bool CRiffFile::Open(const std::string& path) {
    if (IsOpen()) {
        NoteError(path + ": another file is open");
        return false;
    }
    m_errorText.clear();
    try {
        m_file.Open(path, O_WRONLY | O_CREAT | O_TRUNC);
        return true;
    } catch (const CFileException& e) {
        NoteError(e.what());
        return false;
    }
}

bool CRiffFile::Close() {
    try {
        m_file.Close();
        return true;
    } catch (const CFileException& e) {
        NoteError(e.what());
        return false;
    }
}

void CRiffFile::ResetChunks(std::size_t capacity) {
    m_chunks.clear();
    m_chunks.reserve(capacity);
    m_chunks.push_back({FourCC("FILE"), FourCC("FILE"), 0, 0, -1, true});
}

int CRiffFile::CreateChunk(std::uint32_t id, std::uint32_t listType, std::uint64_t size,
                           int parent) {
    const Chunk& outer = GetChunk(parent);
    Chunk chunk{id, listType, size, outer.dataPos + outer.size + 8, parent, false};
    Grow(parent, std::int64_t(SpaceOf(chunk)));
    m_chunks.push_back(chunk);
    return int(m_chunks.size() - 1);
}

void CRiffFile::WriteChunk(int index, std::span<const std::uint8_t> data) {
    Chunk& chunk = m_chunks[std::size_t(index)];
    assert(data.size() == chunk.size);
    std::array<std::uint8_t, 8> header;
    platform::StoreLE32(&header[0], chunk.id);
    platform::StoreLE32(&header[4], std::uint32_t(chunk.size));
    static const std::uint8_t pad = 0;
    const std::array<iovec, 3> pieces{{
        {header.data(), header.size()},
        {const_cast<std::uint8_t*>(data.data()), data.size()},
        {const_cast<std::uint8_t*>(&pad), data.size() & 1},
    }};
    m_file.Write(chunk.dataPos - 8, pieces);
    chunk.written = true;
}

void CRiffFile::WritePendingHeaders(bool final) {
    for (std::size_t i = 1; i < m_chunks.size(); ++i) {
        Chunk& chunk = m_chunks[i];
        if (chunk.written) continue;
        std::array<std::uint8_t, 12> header;
        platform::StoreLE32(&header[0], chunk.id);
        platform::StoreLE32(&header[4], std::uint32_t(chunk.size));
        platform::StoreLE32(&header[8], chunk.listType);
        m_file.Write(chunk.dataPos - 8, std::span(header).first(chunk.listType ? 12 : 8));
        chunk.written = final;
    }
}

void CRiffFile::RemoveChunksFrom(std::size_t first) {
    while (m_chunks.size() > first) {
        Grow(m_chunks.back().parent, -std::int64_t(SpaceOf(m_chunks.back())));
        m_chunks.pop_back();
    }
}

void CRiffFile::ForgetLastChunk() { m_chunks.pop_back(); }

void CRiffFile::TruncateFile(std::uint64_t size) { m_file.Truncate(size); }

void CRiffFile::NoteError(const std::string& text) noexcept {
    try {
        KX_LOG(Files, Warn) << "AVI file: " << text;
        m_errorText += m_errorText.empty() ? text : "; " + text;
    } catch (...) {
        // Out of memory while describing an error: the result already tells of the failure.
    }
}

void CRiffFile::Grow(int parent, std::int64_t bytes) {
    for (int i = parent; i >= 0; i = m_chunks[std::size_t(i)].parent) {
        m_chunks[std::size_t(i)].size += std::uint64_t(bytes);
    }
}

}  // namespace files
