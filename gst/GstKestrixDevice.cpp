// The device monitor's entry for one camera.
#include "gst/GstKestrixDevice.h"

#include <string>

struct _GstKestrixDevice {
    GstDevice parent;
    gchar* key;
    gchar* guid;
    gint index;
};

G_DEFINE_TYPE(GstKestrixDevice, gst_kestrix_device, GST_TYPE_DEVICE)

namespace {

GstElement* CreateElement(GstDevice* device, const gchar* name) {
    auto* self = GST_KESTRIX_DEVICE(device);
    GstElement* element = gst_element_factory_make("kestrixsrc", name);
    if (element == nullptr) return nullptr;
    if (self->guid != nullptr && *self->guid != '\0') {
        g_object_set(element, "guid", self->guid, nullptr);
    } else {
        g_object_set(element, "camera", self->index, nullptr);
    }
    return element;
}

void Finalize(GObject* object) {
    auto* self = GST_KESTRIX_DEVICE(object);
    g_free(self->key);
    g_free(self->guid);
    G_OBJECT_CLASS(gst_kestrix_device_parent_class)->finalize(object);
}

}  // namespace

static void gst_kestrix_device_init(GstKestrixDevice*) {}

static void gst_kestrix_device_class_init(GstKestrixDeviceClass* klass) {
    G_OBJECT_CLASS(klass)->finalize = Finalize;
    GST_DEVICE_CLASS(klass)->create_element = CreateElement;
}

GstDevice* gst_kestrix_device_new(const kestrix::session::CameraInfo& camera, GstCaps* caps) {
    const std::string guid = camera.GuidText();
    char vendor[16];
    g_snprintf(vendor, sizeof vendor, "0x%06X", unsigned(camera.vendorId));
    const std::string name = "IIDC camera " + std::to_string(camera.index) + " (vendor " + vendor +
                             (guid.empty() ? "" : ", GUID " + guid) + ")";
    GstStructure* props = gst_structure_new(
        "kestrix-proplist", "device.api", G_TYPE_STRING, "kestrix", "device.path", G_TYPE_STRING,
        camera.path.c_str(), "device.guid", G_TYPE_STRING, guid.c_str(), "device.index", G_TYPE_INT,
        camera.index, "device.vendor-id", G_TYPE_UINT, guint(camera.vendorId), nullptr);
    // The ROM's names, where it has them.
    if (!camera.vendor.empty())
        gst_structure_set(props, "device.vendor", G_TYPE_STRING, camera.vendor.c_str(), nullptr);
    if (!camera.model.empty())
        gst_structure_set(props, "device.model", G_TYPE_STRING, camera.model.c_str(), nullptr);
    auto* device = GST_KESTRIX_DEVICE(g_object_new(GST_TYPE_KESTRIX_DEVICE, "display-name",
                                                   name.c_str(), "device-class", "Video/Source",
                                                   "caps", caps, "properties", props, nullptr));
    gst_caps_unref(caps);
    gst_structure_free(props);
    device->key = g_strdup(guid.empty() ? camera.path.c_str() : guid.c_str());
    device->guid = g_strdup(guid.c_str());
    device->index = camera.index;
    return GST_DEVICE(device);
}

const char* gst_kestrix_device_get_key(GstKestrixDevice* device) { return device->key; }
