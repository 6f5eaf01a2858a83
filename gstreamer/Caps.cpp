// tessoralsrc's caps negotiation: what the camera can send, as caps, and the negotiated
// format written back to the camera.
#include <gst/video/video.h>

#include <algorithm>
#include <vector>

#include "SourceState.h"

#define GST_CAT_DEFAULT tessoral_src_debug

namespace tessoralsrc {

namespace {

GstStaticPadTemplate srcTemplate = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-raw, format = (string) { GRAY8, GRAY16_LE, RGB, BGR, YUY2, UYVY }, "
                    "width = " GST_VIDEO_SIZE_RANGE ", height = " GST_VIDEO_SIZE_RANGE
                    ", framerate = " GST_VIDEO_FPS_RANGE "; "
                    "video/x-bayer, format = (string) { rggb, grbg, gbrg, bggr }, "
                    "width = " GST_VIDEO_SIZE_RANGE ", height = " GST_VIDEO_SIZE_RANGE
                    ", framerate = " GST_VIDEO_FPS_RANGE));

void setRange(GstStructure* s, const char* field, int64_t lo, int64_t hi, int64_t step) {
    const int min = static_cast<int>(std::clamp<int64_t>(lo, 1, G_MAXINT));
    const int max = static_cast<int>(std::clamp<int64_t>(hi, min, G_MAXINT));
    if (min == max) {
        gst_structure_set(s, field, G_TYPE_INT, min, nullptr);
        return;
    }
    GValue range = G_VALUE_INIT;
    g_value_init(&range, GST_TYPE_INT_RANGE);
    const int inc = static_cast<int>(std::clamp<int64_t>(step, 1, G_MAXINT));
    // A range's ends must be multiples of its step.
    gst_value_set_int_range_step(&range, (min + inc - 1) / inc * inc, std::max(max / inc * inc, (min + inc - 1) / inc * inc),
                                 inc);
    gst_structure_set_value(s, field, &range);
    g_value_unset(&range);
}

void setFraction(GstStructure* s, const char* field, double rate) {
    gint n = 0, d = 1;
    gst_util_double_to_fraction(rate, &n, &d);
    gst_structure_set(s, field, GST_TYPE_FRACTION, n, d, nullptr);
}

}  // namespace

// What the camera can send: each of its formats that GStreamer knows, within the limits
// of width, height and frame rate. Unknown formats are left out (none left: empty caps).
GstCaps* capsOf(CameraSession& session) {
    const Limits l = session.limits();
    const Geometry now = session.geometry();
    GstCaps* caps = gst_caps_new_empty();
    // The current format first: it is the one fixation keeps.
    std::vector<std::string> formats{now.format};
    for (const std::string& f : l.formats)
        if (f != now.format) formats.push_back(f);
    for (const std::string& name : formats) {
        const PixelFormat* f = pixelFormatByName(name);
        if (f == nullptr) continue;
        GstStructure* s = gst_structure_new(f->media, "format", G_TYPE_STRING, f->format, nullptr);
        setRange(s, "width", l.widthMin, l.widthMax, l.widthInc);
        setRange(s, "height", l.heightMin, l.heightMax, l.heightInc);
        if (l.frameRateSettable && l.frameRateMax > 0) {
            gint n1 = 0, d1 = 1, n2 = 0, d2 = 1;
            gst_util_double_to_fraction(std::max(l.frameRateMin, 0.0), &n1, &d1);
            gst_util_double_to_fraction(l.frameRateMax, &n2, &d2);
            gst_structure_set(s, "framerate", GST_TYPE_FRACTION_RANGE, n1, d1, n2, d2, nullptr);
        } else if (now.frameRate > 0) {
            setFraction(s, "framerate", now.frameRate);
        } else {
            gst_structure_set(s, "framerate", GST_TYPE_FRACTION, 0, 1, nullptr);  // not known
        }
        gst_caps_append_structure(caps, s);
    }
    return caps;
}

namespace {

GstCaps* getCaps(GstBaseSrc* base, GstCaps* filter) {
    State& st = stateOf(base);
    st.props.lock();
    GstCaps* caps = st.cameraCaps != nullptr ? gst_caps_ref(st.cameraCaps)
                                             : gst_pad_get_pad_template_caps(GST_BASE_SRC_PAD(base));
    st.props.unlock();
    if (filter != nullptr) {
        GstCaps* both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
        gst_caps_unref(caps);
        caps = both;
    }
    return caps;
}

// Fixation keeps the camera's own values where the caps leave a choice.
GstCaps* fixate(GstBaseSrc* base, GstCaps* caps) {
    State& st = stateOf(base);
    Geometry now;
    {
        std::lock_guard<std::mutex> guard(st.lock);
        if (st.session) {
            try {
                now = st.session->geometry();
            } catch (const std::exception&) {
                // Fixed below to the lowest values, as the base class would.
            }
        }
    }
    caps = gst_caps_make_writable(caps);
    caps = gst_caps_truncate(caps);
    GstStructure* s = gst_caps_get_structure(caps, 0);
    if (now.width > 0) gst_structure_fixate_field_nearest_int(s, "width", static_cast<int>(now.width));
    if (now.height > 0) gst_structure_fixate_field_nearest_int(s, "height", static_cast<int>(now.height));
    if (now.frameRate > 0) {
        gint n = 0, d = 1;
        gst_util_double_to_fraction(now.frameRate, &n, &d);
        gst_structure_fixate_field_nearest_fraction(s, "framerate", n, d);
    }
    return parentClass()->fixate(base, caps);
}

gboolean setCaps(GstBaseSrc* base, GstCaps* caps) {
    GstTessoralSrc* src = GST_TESSORAL_SRC(base);
    State& st = *src->state;
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    const char* format = gst_structure_get_string(s, "format");
    const PixelFormat* f = format ? pixelFormatByCaps(gst_structure_get_name(s), format) : nullptr;
    Geometry wanted;
    int width = 0, height = 0, n = 0, d = 1;
    if (f == nullptr || !gst_structure_get_int(s, "width", &width) || !gst_structure_get_int(s, "height", &height)) {
        GST_ELEMENT_ERROR(src, CORE, NEGOTIATION, ("Caps the camera cannot send."), ("%" GST_PTR_FORMAT, caps));
        return FALSE;
    }
    wanted.format = f->name;
    wanted.width = width;
    wanted.height = height;
    if (gst_structure_get_fraction(s, "framerate", &n, &d) && n > 0 && d > 0) wanted.frameRate = double(n) / d;
    std::lock_guard<std::mutex> guard(st.lock);
    if (!st.session) return FALSE;
    try {
        // A new format while streaming (renegotiation) restarts the stream at the next image.
        if (st.session->streaming()) {
            acquisitionStopped(st);
            st.session->stop();
        }
        st.session->setGeometry(wanted);
        const Geometry now = st.session->geometry();
        if (now.format != wanted.format || now.width != wanted.width || now.height != wanted.height)
            throw Failure("the camera holds " + now.format + " " + std::to_string(now.width) + "x" +
                                       std::to_string(now.height) + " after the negotiated values were written");
    } catch (const std::exception& e) {
        postFailure(src, "Cannot set the negotiated format on the camera.", e);
        return FALSE;
    }
    st.format = f;
    st.negotiated = wanted;
    GST_INFO_OBJECT(src, "negotiated %" GST_PTR_FORMAT, caps);
    return TRUE;
}

}  // namespace

void installCaps(GstElementClass* element, GstBaseSrcClass* base) {
    gst_element_class_add_static_pad_template(element, &srcTemplate);
    base->get_caps = getCaps;
    base->fixate = fixate;
    base->set_caps = setCaps;
}

}  // namespace tessoralsrc
