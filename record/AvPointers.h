// Owners of the libavcodec, libavformat and libswscale objects, each freed by its own call.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace kestrix::record {

struct AvFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
    void operator()(AVFrame* f) const { av_frame_free(&f); }
    void operator()(AVPacket* p) const { av_packet_free(&p); }
    void operator()(SwsContext* s) const { sws_freeContext(s); }
    void operator()(AVDictionary* d) const { av_dict_free(&d); }
};
template <class T>
using AvPtr = std::unique_ptr<T, AvFree>;

// FFmpeg's message for an error code.
std::string AvErrorText(int code);

}  // namespace kestrix::record
