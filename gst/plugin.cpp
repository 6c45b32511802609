// The kestrix plugin: the kestrixsrc element and the camera device provider.
#include <gst/gst.h>

#include "gst/GstKestrixDeviceProvider.h"
#include "gst/GstKestrixSrc.h"

#ifndef PACKAGE
#define PACKAGE "kestrixview"
#endif

namespace {

gboolean PluginInit(GstPlugin* plugin) {
    return gst_element_register(plugin, "kestrixsrc", GST_RANK_NONE, GST_TYPE_KESTRIX_SRC) &&
           gst_device_provider_register(plugin, "kestrixdeviceprovider", GST_RANK_PRIMARY,
                                        GST_TYPE_KESTRIX_DEVICE_PROVIDER);
}

}  // namespace

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, kestrix,
                  "IIDC 1394 cameras through the KestrixView camera library", PluginInit,
                  KESTRIX_VERSION, "Proprietary", "KestrixView", "KestrixView")
