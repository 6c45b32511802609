// kestrixsrc: a live source of a camera's frames, each copied out of the capture's ring into a
// pooled buffer (so no buffer downstream shares memory with a slot the ring reuses), stamped
// with its arrival on the pipeline clock, numbered by its frame number, and marked DISCONT after
// frames went missing.
#pragma once

#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_KESTRIX_SRC (gst_kestrix_src_get_type())
G_DECLARE_FINAL_TYPE(GstKestrixSrc, gst_kestrix_src, GST, KESTRIX_SRC, GstPushSrc)

G_END_DECLS
