// tessoralsrc: a live GStreamer source of a USB3 Vision camera's images.
#pragma once

#include <gst/base/gstpushsrc.h>

G_BEGIN_DECLS

#define GST_TYPE_TESSORAL_SRC (gst_tessoral_src_get_type())
G_DECLARE_FINAL_TYPE(GstTessoralSrc, gst_tessoral_src, GST, TESSORAL_SRC, GstPushSrc)

G_END_DECLS
