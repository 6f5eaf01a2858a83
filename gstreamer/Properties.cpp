// tessoralsrc's property table: what gst-inspect-1.0 lists, and the values behind it.
#include "SourceState.h"

namespace tessoralsrc {

namespace {

enum Property {
    PROP_0,
    PROP_CAMERA,
    PROP_FEATURES,
    PROP_BUFFER_COUNT,
    PROP_TRANSFER_SIZE,
    PROP_TIMEOUT,
    PROP_WARN_BAD_IMAGES,
    PROP_TRIGGER_MODE,
    PROP_TRIGGER_SOURCE,
    PROP_MISSING_IMAGES,
    PROP_INCOMPLETE_IMAGES,
    PROP_BAD_IMAGES,
};

std::string stringOf(const GValue* value) { return g_value_get_string(value) ? g_value_get_string(value) : ""; }

void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    State& st = stateOf(object);
    std::lock_guard<std::mutex> guard(st.props);
    switch (id) {
    case PROP_CAMERA: st.camera = stringOf(value); break;
    case PROP_FEATURES: st.features = stringOf(value); break;
    case PROP_BUFFER_COUNT: st.bufferCount = g_value_get_uint(value); break;
    case PROP_TRANSFER_SIZE: st.transferSize = g_value_get_uint(value); break;
    case PROP_TIMEOUT: st.timeoutMs = g_value_get_uint(value); break;
    case PROP_WARN_BAD_IMAGES: st.warnBadImages = g_value_get_boolean(value); break;
    case PROP_TRIGGER_MODE: st.triggerMode = static_cast<TriggerMode>(g_value_get_enum(value)); break;
    case PROP_TRIGGER_SOURCE: st.triggerSource = stringOf(value); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
}

void getProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    State& st = stateOf(object);
    std::lock_guard<std::mutex> guard(st.props);
    switch (id) {
    case PROP_CAMERA: g_value_set_string(value, st.camera.c_str()); break;
    case PROP_FEATURES: g_value_set_string(value, st.features.c_str()); break;
    case PROP_BUFFER_COUNT: g_value_set_uint(value, st.bufferCount); break;
    case PROP_TRANSFER_SIZE: g_value_set_uint(value, st.transferSize); break;
    case PROP_TIMEOUT: g_value_set_uint(value, st.timeoutMs); break;
    case PROP_WARN_BAD_IMAGES: g_value_set_boolean(value, st.warnBadImages); break;
    case PROP_TRIGGER_MODE: g_value_set_enum(value, static_cast<gint>(st.triggerMode)); break;
    case PROP_TRIGGER_SOURCE: g_value_set_string(value, st.triggerSource.c_str()); break;
    case PROP_MISSING_IMAGES: g_value_set_uint64(value, st.missingImages); break;
    case PROP_INCOMPLETE_IMAGES: g_value_set_uint64(value, st.incompleteImages); break;
    case PROP_BAD_IMAGES: g_value_set_uint64(value, st.badImages); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
}

}  // namespace

void installProperties(GObjectClass* object) {
    object->set_property = setProperty;
    object->get_property = getProperty;
    const auto rw = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY);
    const auto ro = static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS);
    g_object_class_install_property(
        object, PROP_CAMERA,
        g_param_spec_string("camera", "Camera", "GUID or serial number of the camera (empty: the first one found)", "",
                            rw));
    g_object_class_install_property(
        object, PROP_FEATURES,
        g_param_spec_string("features", "Features",
                            "Features set before the start, separated by blanks: \"ExposureTime=5000 Gain=3\"", "", rw));
    g_object_class_install_property(
        object, PROP_BUFFER_COUNT,
        g_param_spec_uint("buffer-count", "Buffer count", "Images the library holds (0: its default)", 0, 1024, 0, rw));
    g_object_class_install_property(
        object, PROP_TRANSFER_SIZE,
        g_param_spec_uint("transfer-size", "Transfer size", "Bytes per USB payload transfer (0: the library's default)",
                          0, 0x7FFFFFFF, 0, rw));
    g_object_class_install_property(
        object, PROP_TIMEOUT,
        g_param_spec_uint("timeout", "Time-out",
                          "Longest wait for an image in ms, after which the stream fails; with a trigger the "
                          "stream waits for triggers without limit, and a software trigger whose image does not "
                          "come within it gives a warning",
                          1, 3600000, kDefaultTimeoutMs, rw));
    g_object_class_install_property(
        object, PROP_WARN_BAD_IMAGES,
        g_param_spec_boolean("warn-bad-images", "Warn about bad images",
                             "Post a warning (at most one a second) when images are missing, incomplete or have a "
                             "bad status; they are dropped and counted either way",
                             TRUE, rw));
    g_object_class_install_property(
        object, PROP_TRIGGER_MODE,
        g_param_spec_enum("trigger-mode", "Trigger mode",
                          "How the camera starts its images (TriggerSelector FrameStart, TriggerMode, "
                          "TriggerSource); software: one image per \"trigger\" action signal or upstream "
                          "custom event named tessoral-trigger; a camera without these features fails at the start",
                          triggerModeType(), static_cast<gint>(TriggerMode::Off), rw));
    g_object_class_install_property(
        object, PROP_TRIGGER_SOURCE,
        g_param_spec_string("trigger-source", "Trigger source",
                            "With trigger-mode=hardware: the camera's TriggerSource entry, such as Line0 (empty: "
                            "the first one it lists other than Software)",
                            "", rw));
    g_object_class_install_property(
        object, PROP_MISSING_IMAGES,
        g_param_spec_uint64("missing-images", "Missing images", "Block ids that never arrived", 0, G_MAXUINT64, 0, ro));
    g_object_class_install_property(
        object, PROP_INCOMPLETE_IMAGES,
        g_param_spec_uint64("incomplete-images", "Incomplete images", "Images dropped for missing transfers", 0,
                            G_MAXUINT64, 0, ro));
    g_object_class_install_property(
        object, PROP_BAD_IMAGES,
        g_param_spec_uint64("bad-images", "Bad images",
                            "Images dropped for a bad status or another format than negotiated", 0, G_MAXUINT64, 0,
                            ro));
}

}  // namespace tessoralsrc
