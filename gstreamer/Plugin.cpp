// The plugin that holds tessoralsrc.
#include <gst/gst.h>

#include "TessoralSrc.h"

#ifndef PACKAGE
#define PACKAGE "tessoral"
#endif

namespace {

gboolean pluginInit(GstPlugin* plugin) {
    return gst_element_register(plugin, "tessoralsrc", GST_RANK_NONE, GST_TYPE_TESSORAL_SRC);
}

}  // namespace

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, tessoral, "USB3 Vision cameras through Tessoral", pluginInit,
                  TESSORAL_VERSION, "unknown", "Tessoral", "Tessoral")
