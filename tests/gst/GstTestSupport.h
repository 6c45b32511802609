// Helpers of the GStreamer suites: GStreamer set up to find the build tree's plugin, a pipeline
// run in this process with bounded waits, and the simulated camera's frame counter.
#pragma once

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/ByteOrder.h"

namespace gsttest {

using namespace std::chrono_literals;

// Points GStreamer at the build tree's plugin (and a registry of the build tree's own) once.
inline void InitGStreamer() {
    static const bool done = [] {
        ::setenv("GST_PLUGIN_PATH", KESTRIX_GST_PLUGIN_PATH, 1);
        ::setenv("GST_REGISTRY", KESTRIX_BINARY_DIR "/tests/gst/registry.bin", 1);
        gst_init(nullptr, nullptr);
        return true;
    }();
    (void)done;
}

// The counter the simulated camera stamps big-endian into a frame's first 4 bytes.
inline std::uint32_t Stamp(GstBuffer* buffer) {
    std::uint8_t head[4] = {};
    gst_buffer_extract(buffer, 0, head, sizeof head);
    return platform::LoadBE32(head);
}

inline std::vector<std::uint8_t> Bytes(GstBuffer* buffer) {
    std::vector<std::uint8_t> bytes(gst_buffer_get_size(buffer));
    gst_buffer_extract(buffer, 0, bytes.data(), bytes.size());
    return bytes;
}

// A pipeline from gst-launch syntax; its appsink, when it has one, is named "sink".
class Pipeline {
public:
    explicit Pipeline(const std::string& description) {
        InitGStreamer();
        GError* error = nullptr;
        m_pipeline = gst_parse_launch(description.c_str(), &error);
        if (error != nullptr) {
            ADD_FAILURE() << description << ": " << error->message;
            g_error_free(error);
        }
        if (m_pipeline != nullptr) {
            m_bus = gst_element_get_bus(m_pipeline);
            m_sink = gst_bin_get_by_name(GST_BIN(m_pipeline), "sink");
        }
    }
    ~Pipeline() {
        if (m_pipeline != nullptr) gst_element_set_state(m_pipeline, GST_STATE_NULL);
        if (m_sink != nullptr) gst_object_unref(m_sink);
        if (m_bus != nullptr) gst_object_unref(m_bus);
        if (m_pipeline != nullptr) gst_object_unref(m_pipeline);
    }
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    bool Play() {
        return m_pipeline != nullptr &&
               gst_element_set_state(m_pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
    }
    GstElement* Element(const char* name) const {
        GstElement* element = gst_bin_get_by_name(GST_BIN(m_pipeline), name);
        if (element != nullptr) gst_object_unref(element);  // the pipeline keeps it
        return element;
    }
    // The next sample of the appsink (unref it), or null at EOS, an error or the bound.
    GstSample* Pull(std::chrono::seconds bound = 20s) const {
        if (m_sink == nullptr) return nullptr;
        return gst_app_sink_try_pull_sample(GST_APP_SINK(m_sink),
                                            GstClockTime(std::chrono::nanoseconds(bound).count()));
    }
    // The next message of these types (unref it), or null after the bound.
    GstMessage* WaitFor(int types, std::chrono::seconds bound = 20s) const {
        return gst_bus_timed_pop_filtered(
            m_bus, GstClockTime(std::chrono::nanoseconds(bound).count()), GstMessageType(types));
    }
    // The text of the error that ended the pipeline, empty when none came within the bound.
    std::string ErrorText(std::chrono::seconds bound = 20s) const {
        GstMessage* message = WaitFor(GST_MESSAGE_ERROR, bound);
        if (message == nullptr) return {};
        GError* error = nullptr;
        gst_message_parse_error(message, &error, nullptr);
        std::string text = error->message;
        g_error_free(error);
        gst_message_unref(message);
        return text;
    }

private:
    GstElement* m_pipeline = nullptr;
    GstElement* m_sink = nullptr;
    GstBus* m_bus = nullptr;
};

}  // namespace gsttest
