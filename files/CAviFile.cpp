// AVI headers, OpenDML indexes and frame appending.
#include "files/CAviFile.h"

#include <algorithm>
#include <cassert>

#include "files/CFileException.h"
#include "platform/ByteOrder.h"

namespace files {

namespace {

using platform::StoreLE16;
using platform::StoreLE32;
using platform::StoreLE64;

constexpr std::uint32_t kFrameChunkId = CRiffFile::FourCC("00db");
// Records the chunk table may need: 12 for the layout up to the first "movi", per super-index
// entry an "ix00" and at most one "AVIX" with its "movi", and the frame being appended.
constexpr std::size_t kMaxChunks = 12 + 3 * std::size_t(CAviFile::kSuperEntries) + 1;

std::uint32_t Truncated(double value) {
    return value >= 4294967295.0 ? 0xFFFFFFFFu : std::uint32_t(value);
}

}  // namespace

CAviFile::CAviFile()
    : m_avih(56),
      m_strh(56),
      m_strf(40),
      m_dmlh(248),
      m_superIndex(kIndexBytes),
      m_standardIndex(kIndexBytes) {}

void CAviFile::SetStream(const StreamFormat& format) {
    const double framesPerSecond = 1000000.0 / format.microsecondsPerFrame;
    const std::uint32_t bufferBytes = format.frameBytes + 8;

    std::fill(m_avih.begin(), m_avih.end(), 0);
    StoreLE32(&m_avih[0], format.microsecondsPerFrame);
    StoreLE32(&m_avih[4], Truncated(framesPerSecond * bufferBytes));
    StoreLE32(&m_avih[12], 0x800);
    StoreLE32(&m_avih[24], 1);
    StoreLE32(&m_avih[28], bufferBytes);
    StoreLE32(&m_avih[32], std::uint32_t(format.width));
    StoreLE32(&m_avih[36], std::uint32_t(format.height));

    std::fill(m_strh.begin(), m_strh.end(), 0);
    StoreLE32(&m_strh[0], FourCC("vids"));
    StoreLE32(&m_strh[4], format.handler);
    StoreLE32(&m_strh[20], 1000);
    StoreLE32(&m_strh[24], Truncated(framesPerSecond * 1000));
    StoreLE32(&m_strh[36], bufferBytes);

    std::fill(m_strf.begin(), m_strf.end(), 0);
    StoreLE32(&m_strf[0], 40);
    StoreLE32(&m_strf[4], std::uint32_t(format.width));
    StoreLE32(&m_strf[8], std::uint32_t(format.height));
    StoreLE16(&m_strf[12], 1);
    StoreLE16(&m_strf[14], format.bitCount);
    StoreLE32(&m_strf[16], format.compression);
    StoreLE32(&m_strf[20], format.frameBytes);

    std::fill(m_dmlh.begin(), m_dmlh.end(), 0);

    std::fill(m_superIndex.begin(), m_superIndex.end(), 0);
    StoreLE16(&m_superIndex[0], 4);  // longs per entry; index type 0: an index of indexes
    StoreLE32(&m_superIndex[8], kFrameChunkId);
    m_nSuperEntries = 0;
    m_nStandardEntries = 0;
    m_nStandardIndex = -1;
    m_nFrames = 0;

    ResetChunks(kMaxChunks);
    m_nRiff = CreateChunk(FourCC("RIFF"), FourCC("AVI "), 4, 0);
    const int hdrl = CreateChunk(FourCC("LIST"), FourCC("hdrl"), 4, m_nRiff);
    m_nAvih = CreateChunk(FourCC("avih"), 0, m_avih.size(), hdrl);
    const int strl = CreateChunk(FourCC("LIST"), FourCC("strl"), 4, hdrl);
    m_nStrh = CreateChunk(FourCC("strh"), 0, m_strh.size(), strl);
    m_nStrf = CreateChunk(FourCC("strf"), 0, m_strf.size(), strl);
    m_nIndx = CreateChunk(FourCC("indx"), 0, kIndexBytes, strl);
    const int odml = CreateChunk(FourCC("LIST"), FourCC("odml"), 4, hdrl);
    m_nDmlh = CreateChunk(FourCC("dmlh"), 0, m_dmlh.size(), odml);
    CreateChunk(FourCC("JUNK"), 0, 20, m_nRiff);  // its data is never written
    m_nMovi = CreateChunk(FourCC("LIST"), FourCC("movi"), 4, m_nRiff);
    m_nRiffs = 1;
}

bool CAviFile::AppendFrame(std::span<const std::uint8_t> frame) {
    // An "AVIX" part opened by the frame before starts with an empty index that serves here too.
    const bool newIndex = m_nStandardIndex < 0 ||
                          (m_nStandardEntries > 0 && GetFrameCount() % kStandardEntries == 0);
    const std::uint64_t riffAfter = GetChunk(m_nRiff).size + (newIndex ? 8 + kIndexBytes : 0) +
                                    8 + frame.size() + (frame.size() & 1);
    // The frame that carries the RIFF past its limit opens the next part at once, so that a file
    // ending on it still has that part and its index.
    const bool opensPart = riffAfter > kRiffLimit;
    if (m_nSuperEntries + unsigned(newIndex) + unsigned(opensPart) > m_nSuperCapacity) {
        return false;
    }

    const std::size_t mark = GetChunkCount();
    const std::uint32_t superEntries = m_nSuperEntries;
    try {
        if (newIndex) StartStandardIndex();
        const int chunk = CreateChunk(kFrameChunkId, 0, frame.size(), m_nMovi);
        WriteChunk(chunk, frame);
        AddIndexEntry(GetChunk(chunk).dataPos, std::uint32_t(frame.size()));
        ForgetLastChunk();
    } catch (const CFileException&) {
        RemoveChunksFrom(mark);
        std::fill(m_superIndex.begin() + kIndexHeaderBytes + 16 * superEntries,
                  m_superIndex.begin() + kIndexHeaderBytes + 16 * m_nSuperEntries, 0);
        m_nSuperEntries = superEntries;
        StoreLE32(&m_superIndex[4], superEntries);
        // A standard index started here is gone again; the one before it is already final.
        if (m_nStandardIndex >= int(mark)) m_nStandardIndex = -1;
        throw;
    }
    assert(GetChunk(m_nRiff).size == riffAfter);
    m_nFrames.store(GetFrameCount() + 1, std::memory_order_relaxed);
    if (opensPart) OpenPart();
    return true;
}

void CAviFile::OpenPart() {
    const std::size_t mark = GetChunkCount();
    const int riff = m_nRiff, movi = m_nMovi;
    try {
        m_nRiff = CreateChunk(FourCC("RIFF"), FourCC("AVIX"), 4, 0);
        m_nMovi = CreateChunk(FourCC("LIST"), FourCC("movi"), 4, m_nRiff);
        StartStandardIndex();
    } catch (const CFileException&) {
        // The frames so far stay whole in the part before. StartStandardIndex takes the new
        // index and its super-index entry only once its writes are done.
        RemoveChunksFrom(mark);
        m_nRiff = riff;
        m_nMovi = movi;
        throw;
    }
    ++m_nRiffs;
}

void CAviFile::WriteHeaders(bool final) {
    const std::uint32_t frames = GetFrameCount();
    StoreLE32(&m_avih[16], frames);
    StoreLE32(&m_strh[32], frames);
    StoreLE32(&m_dmlh[0], frames);
    // Indexes before the headers that count them, so that a reader never meets a count that
    // runs ahead of its entries.
    if (m_nStandardIndex >= 0) WriteChunk(m_nStandardIndex, m_standardIndex);
    WriteChunk(m_nIndx, m_superIndex);
    WriteChunk(m_nAvih, m_avih);
    WriteChunk(m_nStrh, m_strh);
    WriteChunk(m_nStrf, m_strf);
    WriteChunk(m_nDmlh, m_dmlh);
    WritePendingHeaders(final);
}

void CAviFile::StartStandardIndex() {
    if (m_nStandardIndex >= 0) {
        WriteChunk(m_nStandardIndex, m_standardIndex);  // no entry goes there any more
        m_nStandardIndex = -1;
    }
    const int chunk = CreateChunk(FourCC("ix00"), 0, kIndexBytes, m_nMovi);
    const std::uint64_t header = GetChunk(chunk).dataPos - 8;
    ResetStandardIndex(GetChunk(chunk).dataPos + kIndexBytes);
    // Written at once, empty: it holds its space on disk and reads as a valid index until the
    // headers are written again.
    WriteChunk(chunk, m_standardIndex);
    m_nStandardIndex = chunk;

    std::uint8_t* entry = &m_superIndex[kIndexHeaderBytes + 16 * m_nSuperEntries];
    StoreLE64(entry, header);
    StoreLE32(entry + 8, kIndexBytes + 8);
    StoreLE32(entry + 12, 0);
    StoreLE32(&m_superIndex[4], ++m_nSuperEntries);
}

void CAviFile::ResetStandardIndex(std::uint64_t baseOffset) {
    std::fill(m_standardIndex.begin(), m_standardIndex.end(), 0);
    StoreLE16(&m_standardIndex[0], 2);  // longs per entry
    m_standardIndex[3] = 1;             // index type: an index of chunks
    StoreLE32(&m_standardIndex[8], kFrameChunkId);
    StoreLE64(&m_standardIndex[12], baseOffset);
    m_nStandardEntries = 0;
}

void CAviFile::AddIndexEntry(std::uint64_t dataPos, std::uint32_t bytes) {
    const std::uint64_t base = platform::LoadLE64(&m_standardIndex[12]);
    std::uint8_t* entry = &m_standardIndex[kIndexHeaderBytes + 8 * m_nStandardEntries];
    StoreLE32(entry, std::uint32_t(dataPos - base));
    StoreLE32(entry + 4, bytes);  // bit 31 clear: every frame is a key frame
    StoreLE32(&m_standardIndex[4], ++m_nStandardEntries);

    std::uint8_t* duration = &m_superIndex[kIndexHeaderBytes + 16 * (m_nSuperEntries - 1) + 12];
    StoreLE32(duration, platform::LoadLE32(duration) + 1);
}

}  // namespace files
