// The kestrixsrc element: properties, negotiation, allocation and the streaming loop.
#include "gst/GstKestrixSrc.h"

#include <gst/video/video.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "gst/CameraSession.h"
#include "gst/ModeCaps.h"
#include "gst/SrcProperties.h"

GST_DEBUG_CATEGORY_STATIC(kestrix_src_debug);
#define GST_CAT_DEFAULT kestrix_src_debug

namespace {

// What negotiation settles on when downstream leaves the choice: kestrix-capture's default.
constexpr const char* kPreferredMode = "640x480-rgb";
constexpr int kPreferredRate = 15;

// What the element keeps beside its GObject instance: C++ members, built in init, destroyed in
// finalize.
struct State {
    SrcProperties properties;

    // The streaming side, set up in start and negotiation and used by the streaming thread.
    CameraSession session;
    GstCaps* caps = nullptr;  // what the open camera offers
    std::vector<ModeOffer> offers;
    std::string onlyMode;  // the mode property as it stood at start
    const ModeOffer* running = nullptr;
    int runningRate = -1;
    Format7Region runningRegion;
    GstVideoInfo info{};
    GstClockTime duration = GST_CLOCK_TIME_NONE;
    std::vector<std::uint8_t> scratch;  // for a frame whose rows the buffer pads
    bool lending = false;               // frames go downstream in place while spares last

    ~State() {
        if (caps != nullptr) gst_caps_unref(caps);
    }
};

}  // namespace

struct _GstKestrixSrc {
    GstPushSrc parent;
    alignas(State) unsigned char state[sizeof(State)];  // built in init, destroyed in finalize
};

G_DEFINE_TYPE(GstKestrixSrc, gst_kestrix_src, GST_TYPE_PUSH_SRC)

namespace {

State& StateOf(gpointer object) {
    return *std::launder(reinterpret_cast<State*>(GST_KESTRIX_SRC(object)->state));
}

void PostError(GstKestrixSrc* self, const CameraSession::Error& error) {
    const char* text = error.message.c_str();
    switch (error.fault) {
        case CameraSession::Fault::NotFound:
        case CameraSession::Fault::Unplugged:
            GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("%s", text), (nullptr));
            break;
        case CameraSession::Fault::InUse:
            GST_ELEMENT_ERROR(self, RESOURCE, BUSY, ("%s", text), (nullptr));
            break;
        case CameraSession::Fault::Settings:
            GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS, ("%s", text), (nullptr));
            break;
        default:
            GST_ELEMENT_ERROR(self, RESOURCE, READ, ("%s", text), (nullptr));
            break;
    }
}

GstStructure* StatsOf(State& s) {
    const CameraSession::Figures figures = s.session.GetFigures();
    return gst_structure_new("stats", "frames", G_TYPE_UINT64, guint64(figures.frames), "dropped",
                             G_TYPE_UINT64, guint64(figures.dropped), "lost", G_TYPE_UINT64,
                             guint64(figures.lost), "bytes", G_TYPE_UINT64, guint64(figures.bytes),
                             "lent", G_TYPE_UINT64, guint64(figures.lent), "copied", G_TYPE_UINT64,
                             guint64(figures.frames - figures.lent), nullptr);
}

void SetProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    if (!StateOf(object).properties.Set(id, value))
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
}

void GetProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    State& s = StateOf(object);
    if (id == SrcProperties::kStats) {
        g_value_take_boxed(value, StatsOf(s));
    } else if (!s.properties.Get(id, value)) {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
    }
}

gboolean Start(GstBaseSrc* src) {
    auto* self = GST_KESTRIX_SRC(src);
    State& s = StateOf(src);
    const SrcProperties::Values values = s.properties.Snapshot();
    const std::string& mode = values.mode;
    // Checked here rather than when set, so that a mistyped setting stops the pipeline instead
    // of being ignored.
    if (const std::string problem = SrcProperties::Problem(values); !problem.empty()) {
        PostError(self, {CameraSession::Fault::Settings, problem});
        return FALSE;
    }
    CameraSession::Error error;
    if (!s.session.Open({values.camera, values.guid}, SrcProperties::SplitSettings(values.features),
                        error)) {
        PostError(self, error);
        return FALSE;
    }
    s.offers = s.session.Offers();
    s.onlyMode = mode;
    GstCaps* caps = modecaps::OffersCaps(s.offers, mode);
    if (gst_caps_is_empty(caps)) {
        gst_caps_unref(caps);
        const std::string why = mode.empty()
                                    ? "the camera offers no mode a pipeline can take"
                                    : "camera " + std::to_string(s.session.Identity().index) +
                                          " does not offer " + mode;
        s.session.Close();
        PostError(self, {CameraSession::Fault::Settings, why});
        return FALSE;
    }
    // The preferred mode goes first, as the one negotiation takes when nothing else decides.
    for (guint i = 0; i < gst_caps_get_size(caps); ++i) {
        GstCaps* one = gst_caps_copy_nth(caps, i);
        GstCaps* preferred = modecaps::OffersCaps(s.offers, kPreferredMode);
        const bool first = gst_caps_is_equal(one, preferred);
        gst_caps_unref(preferred);
        if (first) {
            caps = gst_caps_make_writable(caps);
            gst_caps_remove_structure(caps, i);
            caps = gst_caps_merge(one, caps);
            break;
        }
        gst_caps_unref(one);
    }
    GST_OBJECT_LOCK(src);
    gst_caps_replace(&s.caps, caps);
    GST_OBJECT_UNLOCK(src);
    gst_caps_unref(caps);
    s.running = nullptr;
    GST_INFO_OBJECT(src, "camera %d (GUID %s) open", s.session.Identity().index,
                    s.session.Identity().GuidText().c_str());
    return TRUE;
}

gboolean Stop(GstBaseSrc* src) {
    State& s = StateOf(src);
    s.session.Close();
    s.running = nullptr;
    GST_OBJECT_LOCK(src);
    gst_caps_replace(&s.caps, nullptr);
    GST_OBJECT_UNLOCK(src);
    return TRUE;
}

GstCaps* GetCaps(GstBaseSrc* src, GstCaps* filter) {
    State& s = StateOf(src);
    GST_OBJECT_LOCK(src);
    GstCaps* caps = s.caps != nullptr ? gst_caps_ref(s.caps)
                                      : gst_pad_get_pad_template_caps(GST_BASE_SRC_PAD(src));
    GST_OBJECT_UNLOCK(src);
    if (filter != nullptr) {
        GstCaps* both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(caps);
        caps = both;
    }
    return caps;
}

GstCaps* Fixate(GstBaseSrc* src, GstCaps* caps) {
    caps = gst_caps_truncate(gst_caps_make_writable(caps));
    const State& s = StateOf(src);
    modecaps::Fixate(s.offers, gst_caps_get_structure(caps, 0), kPreferredRate, s.onlyMode);
    return GST_BASE_SRC_CLASS(gst_kestrix_src_parent_class)->fixate(src, caps);
}

// Rows that GStreamer lays out as the camera sends them go as they are (and can be lent); padded
// ones are copied row by row.
bool Packed(const State& s) {
    const std::size_t height = std::size_t(GST_VIDEO_INFO_HEIGHT(&s.info));
    return height == 0 ||
           std::size_t(GST_VIDEO_INFO_PLANE_STRIDE(&s.info, 0)) * height == s.session.FrameBytes();
}

gboolean SetCaps(GstBaseSrc* src, GstCaps* caps) {
    auto* self = GST_KESTRIX_SRC(src);
    State& s = StateOf(src);
    const auto choice = modecaps::Choose(s.offers, caps, s.onlyMode);
    GstVideoInfo info;
    if (!choice || !modecaps::VideoInfoOf(caps, &info)) {
        GST_ELEMENT_ERROR(self, CORE, NEGOTIATION,
                          ("the camera offers no mode for %" GST_PTR_FORMAT, caps), (nullptr));
        return FALSE;
    }
    if (s.running == choice->offer && s.runningRate == choice->rateIndex &&
        s.runningRegion == choice->region) {
        return TRUE;
    }
    if (s.running != nullptr) s.session.Stop();
    CameraSession::Error error;
    const SrcProperties::Values values = s.properties.Snapshot();
    if (!s.session.Start(*choice->offer, choice->rateIndex, choice->region, values.ringSize,
                         values.lendSlots, error)) {
        s.session.Stop();
        s.running = nullptr;
        PostError(self, error);
        return FALSE;
    }
    s.running = choice->offer;
    s.runningRate = choice->rateIndex;
    s.runningRegion = choice->region;
    s.info = info;
    s.lending = values.lendSlots > 0 && Packed(s);
    s.duration = gst_util_uint64_scale_int(GST_SECOND, choice->rate.den, choice->rate.num);
    GST_INFO_OBJECT(src, "streaming %s, %dx%d at %d,%d, %u bytes a frame",
                    choice->offer->mode.name.c_str(), choice->region.width, choice->region.height,
                    choice->region.left, choice->region.top, s.session.FrameBytes());
    return TRUE;
}

gboolean DecideAllocation(GstBaseSrc* src, GstQuery* query) {
    State& s = StateOf(src);
    GstCaps* caps = nullptr;
    gst_query_parse_allocation(query, &caps, nullptr);
    const guint size = std::max<guint>(s.session.SlotBytes(), guint(GST_VIDEO_INFO_SIZE(&s.info)));
    GstBufferPool* pool = nullptr;
    guint min = 2, max = 0;
    if (gst_query_get_n_allocation_pools(query) > 0) {
        guint ignored = 0;
        gst_query_parse_nth_allocation_pool(query, 0, &pool, &ignored, &min, &max);
    }
    // A video pool takes only video/x-raw caps.
    const auto newPool = [caps] {
        return modecaps::IsRawVideo(caps) ? gst_video_buffer_pool_new() : gst_buffer_pool_new();
    };
    if (pool == nullptr) pool = newPool();
    GstStructure* config = gst_buffer_pool_get_config(pool);
    gst_buffer_pool_config_set_params(config, caps, size, min, max);
    if (!gst_buffer_pool_set_config(pool, config)) {
        // A pool that refuses the size gets replaced by one of ours.
        gst_object_unref(pool);
        pool = newPool();
        config = gst_buffer_pool_get_config(pool);
        gst_buffer_pool_config_set_params(config, caps, size, min, max);
        gst_buffer_pool_set_config(pool, config);
    }
    if (gst_query_get_n_allocation_pools(query) > 0) {
        gst_query_set_nth_allocation_pool(query, 0, pool, size, min, max);
    } else {
        gst_query_add_allocation_pool(query, pool, size, min, max);
    }
    gst_object_unref(pool);
    return GST_BASE_SRC_CLASS(gst_kestrix_src_parent_class)->decide_allocation(src, query);
}

gboolean Query(GstBaseSrc* src, GstQuery* query) {
    State& s = StateOf(src);
    if (GST_QUERY_TYPE(query) == GST_QUERY_LATENCY && GST_CLOCK_TIME_IS_VALID(s.duration)) {
        const int ringSize = s.properties.Snapshot().ringSize;
        // A frame is whole one period after it began; the ring holds ring-size of them.
        gst_query_set_latency(query, TRUE, s.duration, s.duration * guint64(ringSize));
        return TRUE;
    }
    return GST_BASE_SRC_CLASS(gst_kestrix_src_parent_class)->query(src, query);
}

gboolean Unlock(GstBaseSrc* src) {
    StateOf(src).session.Interrupt(true);
    return TRUE;
}

gboolean UnlockStop(GstBaseSrc* src) {
    StateOf(src).session.Interrupt(false);
    return TRUE;
}

// The arrival on the pipeline clock, as running time: the clock's now less the frame's age.
GstClockTime RunningTimeOf(GstElement* element, std::int64_t arrival) {
    GstClock* clock = gst_element_get_clock(element);
    if (clock == nullptr) return GST_CLOCK_TIME_NONE;
    const GstClockTime now = gst_clock_get_time(clock);
    gst_object_unref(clock);
    const std::int64_t steadyNow = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       std::chrono::steady_clock::now().time_since_epoch())
                                       .count();
    const GstClockTime age = GstClockTime(std::max<std::int64_t>(0, steadyNow - arrival));
    const GstClockTime base = gst_element_get_base_time(element);
    return now > base + age ? now - base - age : 0;
}

void PostLoss(GstKestrixSrc* self, const CameraSession::FrameInfo& frame) {
    GstStructure* lost = gst_structure_new(
        "kestrix-lost", "count", G_TYPE_UINT64, guint64(frame.dropped + frame.lost), "dropped",
        G_TYPE_UINT64, guint64(frame.dropped), "lost", G_TYPE_UINT64, guint64(frame.lost), "offset",
        G_TYPE_UINT64, guint64(frame.offset), nullptr);
    gst_element_post_message(GST_ELEMENT(self), gst_message_new_element(GST_OBJECT(self), lost));
}

// Copies the frame into buffer, row by row when the buffer's rows are padded.
bool Fill(State& s, GstBuffer* buffer, CameraSession::FrameInfo& frame, CameraSession::Error& error,
          CameraSession::Next& next) {
    const std::size_t frameBytes = s.session.FrameBytes();
    const std::size_t height = std::size_t(GST_VIDEO_INFO_HEIGHT(&s.info));
    const std::size_t stride = std::size_t(GST_VIDEO_INFO_PLANE_STRIDE(&s.info, 0));
    const bool packed = Packed(s);
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) return false;
    if (packed) {
        next = s.session.NextFrame({map.data, map.size}, frame, error);
    } else {
        s.scratch.resize(s.session.SlotBytes());
        next = s.session.NextFrame(s.scratch, frame, error);
        const std::size_t row = frameBytes / height;
        for (std::size_t y = 0; next == CameraSession::Next::Frame && y < height; ++y) {
            std::memcpy(map.data + y * stride, s.scratch.data() + y * row, row);
        }
    }
    gst_buffer_unmap(buffer, &map);
    if (next == CameraSession::Next::Frame) {
        gst_buffer_set_size(buffer, gssize(packed ? frameBytes : stride * height));
    }
    return true;
}

// The frame lent in place, wrapped read-only (a writer downstream gets a copy); the buffer's
// release hands the frame back to the ring. Null while every spare is lent.
GstBuffer* LendFrame(State& s, CameraSession::FrameInfo& frame, CameraSession::Error& error,
                     CameraSession::Next& next) {
    CameraSession::LentFrame lent;
    next = s.session.LendFrame(lent, frame, error);
    if (next != CameraSession::Next::Frame) return nullptr;
    auto held = std::make_unique<CameraSession::LentFrame>(std::move(lent));
    auto* data = const_cast<std::uint8_t*>(held->loan.data);
    const gsize size = held->loan.size;
    return gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, data, size, 0,
                                       s.session.FrameBytes(), held.release(), [](gpointer p) {
                                           std::unique_ptr<CameraSession::LentFrame> back(
                                               static_cast<CameraSession::LentFrame*>(p));
                                           back->ring->Return(back->loan);
                                       });
}

GstFlowReturn Create(GstPushSrc* push, GstBuffer** out) {
    auto* self = GST_KESTRIX_SRC(push);
    auto* src = GST_BASE_SRC(push);
    State& s = StateOf(push);
    if (s.running == nullptr) return GST_FLOW_NOT_NEGOTIATED;
    CameraSession::FrameInfo frame;
    CameraSession::Error error;
    CameraSession::Next next = CameraSession::Next::NoSpare;
    GstBuffer* buffer = s.lending ? LendFrame(s, frame, error, next) : nullptr;
    if (next == CameraSession::Next::NoSpare) {
        const guint size =
            std::max<guint>(s.session.SlotBytes(), guint(GST_VIDEO_INFO_SIZE(&s.info)));
        const GstFlowReturn allocated =
            GST_BASE_SRC_CLASS(gst_kestrix_src_parent_class)->alloc(src, 0, size, &buffer);
        if (allocated != GST_FLOW_OK) return allocated;
        if (!Fill(s, buffer, frame, error, next)) {
            gst_buffer_unref(buffer);
            GST_ELEMENT_ERROR(self, RESOURCE, WRITE, ("cannot map a buffer for the frame"),
                              (nullptr));
            return GST_FLOW_ERROR;
        }
    }
    if (next != CameraSession::Next::Frame) {
        if (buffer != nullptr) gst_buffer_unref(buffer);
        if (next == CameraSession::Next::Interrupted) return GST_FLOW_FLUSHING;
        PostError(self, error);
        return GST_FLOW_ERROR;
    }
    GST_BUFFER_PTS(buffer) = RunningTimeOf(GST_ELEMENT(push), frame.arrival);
    GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_DURATION(buffer) = s.duration;
    GST_BUFFER_OFFSET(buffer) = frame.offset;
    GST_BUFFER_OFFSET_END(buffer) = frame.offset + 1;
    if (frame.dropped + frame.lost != 0) {
        GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
        GST_WARNING_OBJECT(self,
                           "%" G_GUINT64_FORMAT " frames missing before frame %" G_GUINT64_FORMAT,
                           guint64(frame.dropped + frame.lost), guint64(frame.offset));
        PostLoss(self, frame);
    }
    *out = buffer;
    return GST_FLOW_OK;
}

void Finalize(GObject* object) {
    StateOf(object).~State();
    G_OBJECT_CLASS(gst_kestrix_src_parent_class)->finalize(object);
}

}  // namespace

static void gst_kestrix_src_init(GstKestrixSrc* self) {
    new (self->state) State;
    gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
}

static void gst_kestrix_src_class_init(GstKestrixSrcClass* klass) {
    GST_DEBUG_CATEGORY_INIT(kestrix_src_debug, "kestrixsrc", 0, "IIDC camera source");
    auto* object = G_OBJECT_CLASS(klass);
    auto* element = GST_ELEMENT_CLASS(klass);
    auto* base = GST_BASE_SRC_CLASS(klass);
    object->set_property = SetProperty;
    object->get_property = GetProperty;
    object->finalize = Finalize;

    SrcProperties::Install(object);

    gst_element_class_set_static_metadata(element, "Kestrix camera source", "Source/Video",
                                          "Captures from an IIDC 1394 camera through the Kestrix "
                                          "camera library",
                                          "KestrixView developers");
    GstCaps* caps = modecaps::TemplateCaps();
    gst_element_class_add_pad_template(
        element, gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS, caps));
    gst_caps_unref(caps);

    base->start = Start;
    base->stop = Stop;
    base->get_caps = GetCaps;
    base->fixate = Fixate;
    base->set_caps = SetCaps;
    base->decide_allocation = DecideAllocation;
    base->query = Query;
    base->unlock = Unlock;
    base->unlock_stop = UnlockStop;
    GST_PUSH_SRC_CLASS(klass)->create = Create;
}
