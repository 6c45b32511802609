// Writing Matroska files with libavformat.
#include "record/MkvWriter.h"

#include "record/TimeText.h"

namespace kestrix::record {

namespace {

constexpr AVRational kMicroseconds{1, 1'000'000};

std::int64_t FrameNs(const session::FrameMetadata& meta) {
    return meta.sentNs != 0 ? meta.sentNs : meta.arrivalNs;
}

}  // namespace

void MkvWriter::CloseOutput::operator()(AVFormatContext* c) const {
    avio_closep(&c->pb);
    avformat_free_context(c);
}

MkvWriter::MkvWriter(const std::string& path, const FrameFormat& format,
                     const std::string& codec, std::string& error)
    : m_strPath(path) {
    m_pEncoder = std::make_unique<AvEncoder>(format, codec, kMicroseconds, true, error);
    if (!error.empty()) return;
    AVFormatContext* output = nullptr;
    if (avformat_alloc_output_context2(&output, nullptr, "matroska", path.c_str()) < 0) {
        error = "this FFmpeg cannot write Matroska";
        return;
    }
    m_pOutput.reset(output);
    m_pStream = avformat_new_stream(output, nullptr);
    if (m_pStream == nullptr) {
        error = "out of memory for the Matroska stream";
        return;
    }
    m_pStream->time_base = kMicroseconds;
    avcodec_parameters_from_context(m_pStream->codecpar, &m_pEncoder->Context());
    if (const int status = avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE); status < 0)
        error = Named(AvErrorText(status));
}

MkvWriter::~MkvWriter() {
    std::string ignored;
    Finish(ignored);
}

bool MkvWriter::Start(const session::FrameMetadata& first, std::string& error) {
    m_bStarted = true;
    m_nFirstNs = FrameNs(first);
    av_dict_set(&m_pOutput->metadata, "creation_time", IsoUtc(FrameUtcNs(first)).c_str(), 0);
    AVDictionary* raw = nullptr;
    av_dict_set(&raw, "flush_packets", "1", 0);
    AvPtr<AVDictionary> options(raw);
    raw = options.release();
    const int status = avformat_write_header(m_pOutput.get(), &raw);
    options.reset(raw);
    if (status < 0) {
        error = Named(AvErrorText(status));
        return false;
    }
    return true;
}

bool MkvWriter::Mux(AVPacket& packet, std::string& error) {
    packet.stream_index = m_pStream->index;
    av_packet_rescale_ts(&packet, kMicroseconds, m_pStream->time_base);
    // A flush ends the frame's cluster, so that the frame is in the file on return.
    int status = av_write_frame(m_pOutput.get(), &packet);
    if (status >= 0) status = av_write_frame(m_pOutput.get(), nullptr);
    if (status < 0) {
        error = Named(AvErrorText(status));
        return false;
    }
    if (m_pOutput->pb->error < 0) {
        error = Named(AvErrorText(m_pOutput->pb->error));
        return false;
    }
    return true;
}

bool MkvWriter::Write(std::span<const std::uint8_t> frame, const session::FrameMetadata& meta,
                      std::string& error) {
    if (m_bFailed || !m_pOutput) return false;
    if (!m_bStarted && !Start(meta, error)) {
        m_bFailed = true;
        return false;
    }
    // The file keeps milliseconds: times closer than that still rise by one step.
    std::int64_t pts = (FrameNs(meta) - m_nFirstNs) / 1000;
    if (m_nLastPts >= 0) pts = std::max(pts, m_nLastPts + 1000);
    m_nLastPts = pts;
    const auto mux = [this](AVPacket& packet, std::string& why) { return Mux(packet, why); };
    if (!m_pEncoder->Encode(frame, pts, mux, error)) {
        m_bFailed = true;
        return false;
    }
    return true;
}

bool MkvWriter::Finish(std::string& error) {
    if (!m_pOutput) return true;
    bool ok = true;
    if (m_bStarted) {
        const auto mux = [this](AVPacket& packet, std::string& why) { return Mux(packet, why); };
        if (!m_bFailed) ok = m_pEncoder->Flush(mux, error);
        // After a failed write the trailer still goes out: the cues of what is in the file.
        if (const int status = av_write_trailer(m_pOutput.get()); status < 0 && ok) {
            error = Named(AvErrorText(status));
            ok = false;
        }
    }
    m_pOutput.reset();
    return ok;
}

}  // namespace kestrix::record
