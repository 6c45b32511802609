// The AVI layer over the RIFF chunk file: one video stream, its header chunks, and the OpenDML
// indexes (a super index "indx" over standard indexes "ix00"), with RIFF "AVIX" parts once the
// first RIFF passes 0x3F000000 bytes. No idx1 index is written. Used by one thread at a time,
// except GetFrameCount.
//
// The chunk table never grows by a record per frame (a frame's record is dropped once written)
// and its room is reserved up front, so appending a frame does not allocate.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

#include "files/CRiffFile.h"

namespace files {

class CAviFile : public CRiffFile {
public:
    static constexpr std::uint64_t kRiffLimit = 0x3F000000;
    static constexpr std::uint32_t kIndexBytes = 32248;  // "indx" and every "ix00"
    static constexpr std::uint32_t kIndexHeaderBytes = 24;
    static constexpr std::uint32_t kStandardEntries = 4028;  // frames per "ix00"
    static constexpr std::uint32_t kSuperEntries = 2014;     // "ix00" chunks per file
    static_assert(kIndexHeaderBytes + 8 * kStandardEntries == kIndexBytes);
    static_assert(kIndexHeaderBytes + 16 * kSuperEntries == kIndexBytes);

    // What the stream's header chunks say of its frames.
    struct StreamFormat {
        std::uint32_t handler = 0;      // strh handler FOURCC
        std::uint32_t compression = 0;  // strf compression FOURCC, 0 for uncompressed
        std::uint16_t bitCount = 0;
        std::int32_t width = 0;
        std::int32_t height = 0;  // positive
        std::uint32_t microsecondsPerFrame = 0;
        std::uint32_t frameBytes = 0;
    };

    CAviFile();

    // Frames in the file; any thread may ask.
    std::uint32_t GetFrameCount() const { return m_nFrames.load(std::memory_order_relaxed); }
    std::uint32_t GetRiffCount() const { return m_nRiffs; }

protected:
    // Lets a test reach a full super index without millions of frames; entries <= kSuperEntries.
    void LimitSuperEntries(std::uint32_t entries) {
        m_nSuperCapacity = entries < kSuperEntries ? entries : kSuperEntries;
    }

    // Fills the headers, empties the indexes and lays out the chunks up to the empty LIST "movi".
    // Nothing is written.
    void SetStream(const StreamFormat& format);
    // Appends one frame of exactly the format's frame bytes, starting a new standard index before
    // it when due; when the frame carries the RIFF past kRiffLimit, opens the next "AVIX" part
    // with its "movi" and standard index right after it. False, with nothing changed, when the
    // super index has no room for the standard indexes the frame needs. On a file error
    // CFileException is raised and the chunk table and indexes are as before the call, except
    // when only opening the next part failed: then the frame stays, whole and counted.
    bool AppendFrame(std::span<const std::uint8_t> frame);
    // Writes the header chunks, the super index, the current standard index and the headers not
    // yet written, with the totals as they are now. Raises CFileException.
    void WriteHeaders(bool final);

private:
    void OpenPart();
    void StartStandardIndex();
    void AddIndexEntry(std::uint64_t dataPos, std::uint32_t bytes);
    void ResetStandardIndex(std::uint64_t baseOffset);

    std::vector<std::uint8_t> m_avih, m_strh, m_strf, m_dmlh;
    std::vector<std::uint8_t> m_superIndex;     // stream 0's "indx"
    std::vector<std::uint8_t> m_standardIndex;  // the current "ix00"
    std::uint32_t m_nSuperEntries = 0;
    std::uint32_t m_nSuperCapacity = kSuperEntries;
    std::uint32_t m_nStandardEntries = 0;

    int m_nRiff = -1, m_nAvih = -1, m_nStrh = -1, m_nStrf = -1, m_nIndx = -1, m_nDmlh = -1;
    int m_nMovi = -1;
    int m_nStandardIndex = -1;  // -1 when the last one is written out for good
    std::uint32_t m_nRiffs = 0;
    std::atomic<std::uint32_t> m_nFrames{0};
};

}  // namespace files
