// One camera as the device monitor lists it; its element is a kestrixsrc bound to the camera's
// GUID (or, without one, its index).
#pragma once

#include <gst/gst.h>

#include "session/CameraInfo.h"

G_BEGIN_DECLS

#define GST_TYPE_KESTRIX_DEVICE (gst_kestrix_device_get_type())
G_DECLARE_FINAL_TYPE(GstKestrixDevice, gst_kestrix_device, GST, KESTRIX_DEVICE, GstDevice)

G_END_DECLS

// A floating device for the camera, offering caps (taken).
GstDevice* gst_kestrix_device_new(const kestrix::session::CameraInfo& camera, GstCaps* caps);
// What tells two probes' devices apart: the GUID, else the unit path.
const char* gst_kestrix_device_get_key(GstKestrixDevice* device);
