// Probing the bus for cameras, and following the device directory while started.
#include "gst/GstKestrixDeviceProvider.h"

#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "gst/GstKestrixDevice.h"
#include "gst/ModeCaps.h"
#include "platform/DeviceDirectory.h"
#include "platform/DirectoryWatcher.h"
#include "session/CameraManager.h"

GST_DEBUG_CATEGORY_STATIC(kestrix_provider_debug);
#define GST_CAT_DEFAULT kestrix_provider_debug

namespace {

struct Watch {
    std::mutex lock;  // serialises the rescans of the watcher thread and stop; guards known
    std::unique_ptr<platform::DirectoryWatcher> watcher;
    // The devices announced, by key. GStreamer's own list is out of reach during start, which
    // holds the lock that gst_device_provider_get_devices takes.
    std::map<std::string, GstDevice*> known;
};

}  // namespace

struct _GstKestrixDeviceProvider {
    GstDeviceProvider parent;
    alignas(Watch) unsigned char watch[sizeof(Watch)];  // built in init, destroyed in finalize
};

G_DEFINE_TYPE(GstKestrixDeviceProvider, gst_kestrix_device_provider, GST_TYPE_DEVICE_PROVIDER)

namespace {

Watch& WatchOf(gpointer provider) {
    return *std::launder(reinterpret_cast<Watch*>(GST_KESTRIX_DEVICE_PROVIDER(provider)->watch));
}

namespace session = kestrix::session;

// The cameras on the bus now, each with the caps its modes give. Reads registers only, so a
// camera that another program records goes on undisturbed. A manager of the probe's own reads
// the camera table as it opens, so a probe right after the device directory changed sees the
// change whether or not the bus notice has reached a longer-lived one yet.
GList* ProbeCameras() {
    session::Error error;
    const auto manager =
        session::CameraManager::Create(session::CameraManager::Threading::OwnThread, error);
    if (!manager) return nullptr;
    GList* devices = nullptr;
    for (const session::CameraInfo& camera : manager->Cameras(error)) {
        const auto offers = manager->Call(
            [&](C1394Dcam& cam) { return session::ModeOffer::Read(cam, camera.index); });
        devices =
            g_list_append(devices, gst_kestrix_device_new(camera, modecaps::OffersCaps(offers)));
    }
    return devices;
}

GList* Probe(GstDeviceProvider*) { return ProbeCameras(); }

// Announces the cameras that came and those that went since the last look.
void Rescan(GstDeviceProvider* provider, Watch& watch) {
    std::map<std::string, GstDevice*> now;
    GList* found = ProbeCameras();
    for (GList* l = found; l != nullptr; l = l->next) {
        auto* device = GST_DEVICE(gst_object_ref_sink(l->data));
        now.emplace(gst_kestrix_device_get_key(GST_KESTRIX_DEVICE(device)), device);
    }
    g_list_free(found);
    for (auto it = watch.known.begin(); it != watch.known.end();) {
        if (now.count(it->first) != 0) {
            ++it;
            continue;
        }
        GST_INFO_OBJECT(provider, "camera %s went", it->first.c_str());
        gst_device_provider_device_remove(provider, it->second);
        gst_object_unref(it->second);
        it = watch.known.erase(it);
    }
    for (auto& [key, device] : now) {
        if (watch.known.count(key) == 0) {
            GST_INFO_OBJECT(provider, "camera %s came", key.c_str());
            gst_device_provider_device_add(provider, device);
            watch.known.emplace(key, GST_DEVICE(gst_object_ref(device)));
        }
        gst_object_unref(device);
    }
}

// GStreamer drops its own list of the devices once stopped.
void Forget(Watch& watch) {
    for (auto& [key, device] : watch.known) gst_object_unref(device);
    watch.known.clear();
}

gboolean Start(GstDeviceProvider* provider) {
    Watch& watch = WatchOf(provider);
    std::scoped_lock lock(watch.lock);
    Rescan(provider, watch);
    watch.watcher = platform::DirectoryWatcher::Start(
        platform::DeviceDirectory::Path(),
        [provider](platform::DirectoryWatcher::Change, const std::string&) {
            Watch& w = WatchOf(provider);
            std::scoped_lock rescan(w.lock);
            Rescan(provider, w);
        });
    if (!watch.watcher) {
        GST_WARNING_OBJECT(provider, "cannot watch %s: cameras that come or go are not announced",
                           platform::DeviceDirectory::Path().c_str());
    }
    return TRUE;
}

void Stop(GstDeviceProvider* provider) {
    // Outside the lock: the watcher's last rescan may be waiting for it.
    std::unique_ptr<platform::DirectoryWatcher> watcher;
    {
        Watch& watch = WatchOf(provider);
        std::scoped_lock lock(watch.lock);
        watcher = std::move(watch.watcher);
    }
    watcher.reset();
    Watch& watch = WatchOf(provider);
    std::scoped_lock lock(watch.lock);
    Forget(watch);
}

void Finalize(GObject* object) {
    WatchOf(object).~Watch();
    G_OBJECT_CLASS(gst_kestrix_device_provider_parent_class)->finalize(object);
}

}  // namespace

static void gst_kestrix_device_provider_init(GstKestrixDeviceProvider* self) {
    new (self->watch) Watch;
}

static void gst_kestrix_device_provider_class_init(GstKestrixDeviceProviderClass* klass) {
    GST_DEBUG_CATEGORY_INIT(kestrix_provider_debug, "kestrixdeviceprovider", 0,
                            "IIDC camera discovery");
    G_OBJECT_CLASS(klass)->finalize = Finalize;
    auto* provider = GST_DEVICE_PROVIDER_CLASS(klass);
    provider->probe = Probe;
    provider->start = Start;
    provider->stop = Stop;
    gst_device_provider_class_set_static_metadata(
        provider, "Kestrix camera provider", "Source/Video",
        "Lists the IIDC 1394 cameras on the bus and follows their arrival and removal",
        "KestrixView developers");
}
