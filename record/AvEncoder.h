// One video encoder of libavcodec fed with camera frames: the frame's pixels handed over as they
// are where the encoder takes them, else rearranged by libswscale into the encoder's nearest
// format (losslessly where such a format exists: FFV1 and PNG keep every bit of mono, raw and RGB
// frames). A raw mosaic is encoded as grey.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "record/AvPointers.h"
#include "record/FrameFormat.h"

namespace kestrix::record {

class AvEncoder {
public:
    using PacketSink = std::function<bool(AVPacket& packet, std::string& error)>;

    // codec: ffv1, h264 (libx264) or png. globalHeader for containers that keep the codec's
    // set-up in their header (Matroska). error set when the codec or the frames cannot be had.
    AvEncoder(const FrameFormat& format, const std::string& codec, AVRational timeBase,
              bool globalHeader, std::string& error);

    const AVCodecContext& Context() const { return *m_pContext; }
    // Encodes one frame at pts (in the time base) and hands every packet ready to sink.
    bool Encode(std::span<const std::uint8_t> frame, std::int64_t pts, const PacketSink& sink,
                std::string& error);
    // Drains the encoder into sink.
    bool Flush(const PacketSink& sink, std::string& error);

private:
    bool Drain(const PacketSink& sink, std::string& error);

    FrameFormat m_format;
    AVPixelFormat m_source = AV_PIX_FMT_NONE;
    AvPtr<AVCodecContext> m_pContext;
    AvPtr<SwsContext> m_pScale;  // none when the encoder takes the camera's pixels
    AvPtr<AVFrame> m_pFrame;
    AvPtr<AVPacket> m_pPacket;
};

}  // namespace kestrix::record
