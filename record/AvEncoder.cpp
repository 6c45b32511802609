// Encoding camera frames with libavcodec.
#include "record/AvEncoder.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

namespace kestrix::record {

std::string AvErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

namespace {

AVPixelFormat SourceFormat(int coding) {
    switch (coding) {
        case FrameFormat::Mono8:
        case FrameFormat::Raw8:
            return AV_PIX_FMT_GRAY8;
        case FrameFormat::Mono16:
            return AV_PIX_FMT_GRAY16BE;
        case FrameFormat::Rgb8:
            return AV_PIX_FMT_RGB24;
        case FrameFormat::Rgb16:
            return AV_PIX_FMT_RGB48BE;
        case FrameFormat::Yuv422:
            return AV_PIX_FMT_UYVY422;
        case FrameFormat::Yuv411:
            return AV_PIX_FMT_UYYVYY411;
        default:
            return AV_PIX_FMT_NONE;  // YUV 4:4:4 in the camera's order has no FFmpeg format
    }
}

void SetCodecOptions(AVCodecContext& c, const std::string& codec) {
    if (codec == "ffv1") {
        // Version 3 codes its slices on every core and checks each with a CRC (a few per cent).
        // Golomb-Rice with the small context model is the fastest lossless coding, half the time
        // of the range coder; samples past 8 bits take the range coder whatever is asked.
        c.level = 3;
        c.slices = 4;  // the fewest version 3 takes
        c.thread_count = 0;
        av_opt_set_int(c.priv_data, "slicecrc", 1, 0);
        av_opt_set(c.priv_data, "coder", "rice", 0);
        av_opt_set_int(c.priv_data, "context", 0, 0);
    } else if (codec == "h264") {
        av_opt_set(c.priv_data, "preset", "veryfast", 0);
        c.max_b_frames = 0;  // presentation order is sending order: pts rises with dts
        c.thread_count = 0;
    }
}

}  // namespace

AvEncoder::AvEncoder(const FrameFormat& format, const std::string& codec, AVRational timeBase,
                     bool globalHeader, std::string& error)
    : m_format(format), m_source(SourceFormat(format.coding)) {
    const AVCodec* encoder = avcodec_find_encoder_by_name(codec == "h264" ? "libx264" : codec.c_str());
    if (encoder == nullptr) {
        error = "this FFmpeg has no " + codec + " encoder";
        return;
    }
    if (m_source == AV_PIX_FMT_NONE) {
        error = codec + " cannot take " + format.Name() + " frames";
        return;
    }
    const AVPixelFormat target =
        encoder->pix_fmts ? avcodec_find_best_pix_fmt_of_list(encoder->pix_fmts, m_source, 0, nullptr)
                          : m_source;
    m_pContext.reset(avcodec_alloc_context3(encoder));
    m_pFrame.reset(av_frame_alloc());
    m_pPacket.reset(av_packet_alloc());
    if (!m_pContext || !m_pFrame || !m_pPacket) {
        error = "out of memory for the " + codec + " encoder";
        return;
    }
    AVCodecContext& c = *m_pContext;
    c.width = format.width;
    c.height = format.height;
    c.pix_fmt = target;
    c.time_base = timeBase;
    if (format.fps > 0) c.framerate = av_d2q(format.fps, 100000);
    if (globalHeader) c.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    SetCodecOptions(c, codec);
    if (const int status = avcodec_open2(&c, encoder, nullptr); status < 0) {
        error = codec + " encoder: " + AvErrorText(status);
        return;
    }
    m_pFrame->format = target;
    m_pFrame->width = format.width;
    m_pFrame->height = format.height;
    if (target == m_source) return;
    m_pScale.reset(sws_getContext(format.width, format.height, m_source, format.width,
                                  format.height, target, SWS_POINT | SWS_ACCURATE_RND, nullptr,
                                  nullptr, nullptr));
    if (!m_pScale || av_frame_get_buffer(m_pFrame.get(), 0) < 0)
        error = "cannot rearrange " + format.Name() + " frames for " + codec;
}

bool AvEncoder::Encode(std::span<const std::uint8_t> frame, std::int64_t pts,
                       const PacketSink& sink, std::string& error) {
    AVFrame& f = *m_pFrame;
    if (m_pScale) {
        std::uint8_t* planes[4] = {};
        int strides[4] = {};
        av_image_fill_arrays(planes, strides, frame.data(), m_source, m_format.width,
                             m_format.height, 1);
        if (av_frame_make_writable(&f) < 0) {
            error = "out of memory for a frame";
            return false;
        }
        sws_scale(m_pScale.get(), planes, strides, 0, m_format.height, f.data, f.linesize);
    } else {
        // Not reference-counted: the encoder copies what it keeps.
        av_image_fill_arrays(f.data, f.linesize, frame.data(), m_source, m_format.width,
                             m_format.height, 1);
    }
    f.pts = pts;
    if (const int status = avcodec_send_frame(m_pContext.get(), &f); status < 0) {
        error = "encoding failed: " + AvErrorText(status);
        return false;
    }
    return Drain(sink, error);
}

bool AvEncoder::Flush(const PacketSink& sink, std::string& error) {
    avcodec_send_frame(m_pContext.get(), nullptr);
    return Drain(sink, error);
}

bool AvEncoder::Drain(const PacketSink& sink, std::string& error) {
    for (;;) {
        const int status = avcodec_receive_packet(m_pContext.get(), m_pPacket.get());
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return true;
        if (status < 0) {
            error = "encoding failed: " + AvErrorText(status);
            return false;
        }
        const bool taken = sink(*m_pPacket, error);
        av_packet_unref(m_pPacket.get());
        if (!taken) return false;
    }
}

}  // namespace kestrix::record
