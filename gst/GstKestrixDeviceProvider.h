// The device provider behind `gst-device-monitor-1.0 Video/Source`: lists the cameras on the bus
// and, while started, announces each camera's arrival and removal as the bus driver's device
// directory changes.
#pragma once

#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_KESTRIX_DEVICE_PROVIDER (gst_kestrix_device_provider_get_type())
G_DECLARE_FINAL_TYPE(GstKestrixDeviceProvider, gst_kestrix_device_provider, GST,
                     KESTRIX_DEVICE_PROVIDER, GstDeviceProvider)

G_END_DECLS
