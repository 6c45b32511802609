// The kestrixsrc element: properties, negotiation, allocation and the streaming loop.
#include "gst/GstKestrixSrc.h"

#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "camera/FrameConverter.h"
#include "gst/FrameTimeMeta.h"
#include "gst/ModeCaps.h"
#include "gst/SrcState.h"
#include "session/CameraManager.h"

GST_DEBUG_CATEGORY_STATIC(kestrix_src_debug);
#define GST_CAT_DEFAULT kestrix_src_debug

namespace {

namespace session = kestrix::session;
using session::ModeOffer;
using Status = session::FrameStream::Status;

// What negotiation settles on when downstream leaves the choice: kestrix-capture's default.
constexpr const char* kPreferredMode = "640x480-rgb";
constexpr int kPreferredRate = 15;

using State = SrcState;

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

void PostError(GstKestrixSrc* self, const session::Error& error) {
    const char* text = error.Message().c_str();
    switch (error.GetKind()) {
        case session::Error::Kind::NotFound:
        case session::Error::Kind::Unplugged:
            GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("%s", text), (nullptr));
            break;
        case session::Error::Kind::InUse:
            GST_ELEMENT_ERROR(self, RESOURCE, BUSY, ("%s", text), (nullptr));
            break;
        case session::Error::Kind::Refused:
            GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS, ("%s", text), (nullptr));
            break;
        default:  // a bus reset, failed reads, a driver that stopped answering
            GST_ELEMENT_ERROR(self, RESOURCE, READ, ("%s", text), (nullptr));
            break;
    }
}

// The session's counters (docs/session.md), with what the element itself adds.
GstStructure* StatsOf(State& s) {
    session::StreamCounters c;
    std::uint64_t frameBytes = 0;
    {
        std::scoped_lock lock(s.streamLock);
        c = s.stream ? s.stream->Counters() : s.finished;
        frameBytes = s.frameBytes;
    }
    const std::uint64_t lent = std::min<std::uint64_t>(s.lent, c.delivered);
    return gst_structure_new("stats", "frames", G_TYPE_UINT64, guint64(c.delivered), "dropped",
                             G_TYPE_UINT64, guint64(c.dropped), "lost", G_TYPE_UINT64,
                             guint64(c.lost), "short", G_TYPE_UINT64, guint64(c.shortFrames),
                             "bytes", G_TYPE_UINT64, guint64(c.delivered * frameBytes), "lent",
                             G_TYPE_UINT64, guint64(lent), "copied", G_TYPE_UINT64,
                             guint64(c.delivered - lent), nullptr);
}

// Stops the running stream, keeping its counters for the stats property.
void StopStream(State& s) {
    if (s.camera && s.camera->GetState() == session::Camera::State::Streaming) s.camera->Stop();
    std::scoped_lock lock(s.streamLock);
    if (s.stream) s.finished = s.stream->Counters();
    s.stream.reset();
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

// Claims the camera the properties pick and applies their feature settings.
std::shared_ptr<session::Camera> Claim(const SrcProperties::Values& values, session::Error& error) {
    const auto manager = session::CameraManager::Shared(error);
    if (!manager) return nullptr;
    session::CameraPick pick{values.camera, {}};
    if (!values.guid.empty()) pick.guid = session::CameraPick::ParseGuid(values.guid);
    auto camera = manager->Acquire(pick, error);
    if (!camera) return nullptr;
    for (const std::string& setting : SrcProperties::SplitSettings(values.features)) {
        if ((error = camera->SetFeature(setting))) return nullptr;
    }
    return camera;
}

gboolean Start(GstBaseSrc* src) {
    auto* self = GST_KESTRIX_SRC(src);
    State& s = StateOf(src);
    const SrcProperties::Values values = s.properties.Snapshot();
    const std::string& mode = values.mode;
    // Checked here rather than when set, so that a mistyped setting stops the pipeline instead
    // of being ignored.
    if (const std::string problem = SrcProperties::Problem(values); !problem.empty()) {
        PostError(self, {session::Error::Kind::Refused, problem});
        return FALSE;
    }
    session::Error error;
    std::shared_ptr<session::Camera> camera = Claim(values, error);
    std::vector<ModeOffer> offers;
    if (!camera || (error = camera->Modes(offers))) {
        PostError(self, error);
        return FALSE;
    }
    // GStreamer has no raw format of three 16-bit channels.
    std::erase_if(offers, [](const ModeOffer& offer) {
        return offer.mode.colorCoding == FrameConverter::Rgb16;
    });
    GstCaps* caps = modecaps::OffersCaps(offers, mode);
    if (gst_caps_is_empty(caps)) {
        gst_caps_unref(caps);
        const std::string why = mode.empty() ? "the camera offers no mode a pipeline can take"
                                             : "camera " + std::to_string(camera->Info().index) +
                                                   " does not offer " + mode;
        PostError(self, {session::Error::Kind::Refused, why});
        return FALSE;
    }
    s.offers = std::move(offers);
    s.onlyMode = mode;
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
    s.camera = std::move(camera);
    GST_INFO_OBJECT(src, "camera %d (GUID %s) open", s.camera->Info().index,
                    s.camera->Info().GuidText().c_str());
    return TRUE;
}

gboolean Stop(GstBaseSrc* src) {
    State& s = StateOf(src);
    StopStream(s);
    if (s.camera) s.camera->Release();
    s.camera.reset();
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
           std::size_t(GST_VIDEO_INFO_PLANE_STRIDE(&s.info, 0)) * height == s.FrameBytes();
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
    StopStream(s);
    s.running = nullptr;
    const SrcProperties::Values values = s.properties.Snapshot();
    session::StreamConfig config;
    config.mode = choice->offer->mode;
    if (choice->rateIndex >= 0) config.rateIndex = choice->rateIndex;
    if (choice->offer->format7) config.region = choice->region;
    config.ring = session::RingSize::Frames(values.ringSize);
    config.lendSlots = values.lendSlots;
    std::shared_ptr<session::FrameStream> stream;
    session::Error error;
    if (!s.camera)
        error = session::Error(session::Error::Kind::WrongState, "the camera is not open");
    if (error || (error = s.camera->Configure(config)) || (error = s.camera->Start(stream))) {
        PostError(self, error);
        return FALSE;
    }
    stream->Interrupt(s.interrupted);
    {
        std::scoped_lock lock(s.streamLock);
        s.stream = stream;
        s.frameBytes = stream->FrameBytes();
        s.lent = 0;
    }
    s.running = choice->offer;
    s.runningRate = choice->rateIndex;
    s.runningRegion = choice->region;
    s.info = info;
    s.lending = values.lendSlots > 0 && Packed(s);
    s.duration = gst_util_uint64_scale_int(GST_SECOND, choice->rate.den, choice->rate.num);
    GST_INFO_OBJECT(src, "streaming %s, %dx%d at %d,%d, %u bytes a frame",
                    choice->offer->mode.name.c_str(), choice->region.width, choice->region.height,
                    choice->region.left, choice->region.top, s.FrameBytes());
    return TRUE;
}

gboolean DecideAllocation(GstBaseSrc* src, GstQuery* query) {
    State& s = StateOf(src);
    GstCaps* caps = nullptr;
    gst_query_parse_allocation(query, &caps, nullptr);
    const guint size = std::max<guint>(s.SlotBytes(), guint(GST_VIDEO_INFO_SIZE(&s.info)));
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

void Interrupt(State& s, bool on) {
    s.interrupted = on;
    if (const auto stream = s.Stream()) stream->Interrupt(on);
}

gboolean Unlock(GstBaseSrc* src) {
    Interrupt(StateOf(src), true);
    return TRUE;
}

gboolean UnlockStop(GstBaseSrc* src) {
    Interrupt(StateOf(src), false);
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

void PostLoss(GstKestrixSrc* self, const session::FrameMetadata& frame) {
    GstStructure* lost = gst_structure_new(
        "kestrix-lost", "count", G_TYPE_UINT64, guint64(frame.droppedBefore + frame.lostBefore),
        "dropped", G_TYPE_UINT64, guint64(frame.droppedBefore), "lost", G_TYPE_UINT64,
        guint64(frame.lostBefore), "offset", G_TYPE_UINT64, guint64(frame.sequence), nullptr);
    gst_element_post_message(GST_ELEMENT(self), gst_message_new_element(GST_OBJECT(self), lost));
}

// Copies the next frame into buffer, row by row when the buffer's rows are padded.
bool Fill(State& s, session::FrameStream& stream, GstBuffer* buffer, session::FrameMetadata& frame,
          Status& status) {
    const std::size_t frameBytes = stream.FrameBytes();
    const std::size_t height = std::size_t(GST_VIDEO_INFO_HEIGHT(&s.info));
    const std::size_t stride = std::size_t(GST_VIDEO_INFO_PLANE_STRIDE(&s.info, 0));
    const bool packed = Packed(s);
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) return false;
    if (packed) {
        status = stream.Next({map.data, map.size}, frame);
    } else {
        s.scratch.resize(stream.SlotBytes());
        status = stream.Next(s.scratch, frame);
        const std::size_t row = frameBytes / height;
        for (std::size_t y = 0; status == Status::Frame && y < height; ++y) {
            std::memcpy(map.data + y * stride, s.scratch.data() + y * row, row);
        }
    }
    gst_buffer_unmap(buffer, &map);
    if (status == Status::Frame) {
        gst_buffer_set_size(buffer, gssize(packed ? frameBytes : stride * height));
    }
    return true;
}

// The next frame lent in place, wrapped read-only (a writer downstream gets a copy); the
// buffer's release hands the frame back to the ring. Null while every spare is lent.
GstBuffer* LendFrame(State& s, session::FrameStream& stream, session::FrameMetadata& frame,
                     Status& status) {
    std::unique_ptr<session::LentFrame> lent;
    status = stream.Lend(lent, frame);
    if (status != Status::Frame) return nullptr;
    ++s.lent;
    const std::span<const std::uint8_t> bytes = lent->Bytes();
    return gst_buffer_new_wrapped_full(
        GST_MEMORY_FLAG_READONLY, const_cast<std::uint8_t*>(bytes.data()), bytes.size(), 0,
        stream.FrameBytes(), lent.release(), [](gpointer p) {
            const std::unique_ptr<session::LentFrame> back(static_cast<session::LentFrame*>(p));
        });
}

GstFlowReturn Create(GstPushSrc* push, GstBuffer** out) {
    auto* self = GST_KESTRIX_SRC(push);
    auto* src = GST_BASE_SRC(push);
    State& s = StateOf(push);
    const std::shared_ptr<session::FrameStream> stream = s.Stream();
    if (s.running == nullptr || !stream) return GST_FLOW_NOT_NEGOTIATED;
    session::FrameMetadata frame;
    Status status = Status::NoSpare;
    GstBuffer* buffer = s.lending ? LendFrame(s, *stream, frame, status) : nullptr;
    if (status == Status::NoSpare) {
        const guint size =
            std::max<guint>(stream->SlotBytes(), guint(GST_VIDEO_INFO_SIZE(&s.info)));
        const GstFlowReturn allocated =
            GST_BASE_SRC_CLASS(gst_kestrix_src_parent_class)->alloc(src, 0, size, &buffer);
        if (allocated != GST_FLOW_OK) return allocated;
        if (!Fill(s, *stream, buffer, frame, status)) {
            gst_buffer_unref(buffer);
            GST_ELEMENT_ERROR(self, RESOURCE, WRITE, ("cannot map a buffer for the frame"),
                              (nullptr));
            return GST_FLOW_ERROR;
        }
    }
    if (status != Status::Frame) {
        if (buffer != nullptr) gst_buffer_unref(buffer);
        if (status == Status::Interrupted) return GST_FLOW_FLUSHING;
        // The session's end rule (docs/session.md): an unplug, a bus reset, failed reads, a
        // driver that stopped answering. Without a reason the camera was stopped under us.
        const session::Error reason = stream->EndReason();
        if (!reason) return GST_FLOW_FLUSHING;
        PostError(self, reason);
        return GST_FLOW_ERROR;
    }
    GST_BUFFER_PTS(buffer) = RunningTimeOf(GST_ELEMENT(push), frame.arrivalNs);
    GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_DURATION(buffer) = s.duration;
    GST_BUFFER_OFFSET(buffer) = frame.sequence;
    GST_BUFFER_OFFSET_END(buffer) = frame.sequence + 1;
    frametimes::AttachFrameTimes(buffer, frame);
    // A short frame is delivered, its missing tail zeroed: flagged, not a gap.
    if (frame.Short()) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_CORRUPTED);
    if (frame.droppedBefore + frame.lostBefore != 0) {
        GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
        GST_WARNING_OBJECT(
            self, "%" G_GUINT64_FORMAT " frames missing before frame %" G_GUINT64_FORMAT,
            guint64(frame.droppedBefore + frame.lostBefore), guint64(frame.sequence));
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
