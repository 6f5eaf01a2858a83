#include "TessoralSrc.h"

#include <gst/video/video.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "CameraSession.h"
#include "PixelFormats.h"

GST_DEBUG_CATEGORY_STATIC(tessoral_src_debug);
#define GST_CAT_DEFAULT tessoral_src_debug

namespace {

using tessoralsrc::CameraSession;
using tessoralsrc::Geometry;
using tessoralsrc::PixelFormat;

constexpr guint kDefaultTimeoutMs = 5000;
// Longest single wait inside the library: a flush or a stop is noticed within it.
constexpr uint32_t kPollMs = 100;

enum Property {
    PROP_0,
    PROP_CAMERA,
    PROP_FEATURES,
    PROP_BUFFER_COUNT,
    PROP_TRANSFER_SIZE,
    PROP_TIMEOUT,
    PROP_WARN_BAD_IMAGES,
    PROP_MISSING_IMAGES,
    PROP_INCOMPLETE_IMAGES,
    PROP_BAD_IMAGES,
};

// Everything C++ of the element, created in init and destroyed in finalize.
struct State {
    // Properties and cameraCaps, under `props` (a std::mutex rather than the object lock,
    // so that the thread checker sees it).
    std::mutex props;
    std::string camera, features;
    guint bufferCount = 0, transferSize = 0, timeoutMs = kDefaultTimeoutMs;
    bool warnBadImages = true;

    // The camera, used by one thread at a time under `lock`.
    std::mutex lock;
    std::shared_ptr<CameraSession> session;  // images still out downstream hold it too
    const PixelFormat* format = nullptr;  // negotiated
    Geometry negotiated;
    GstCaps* cameraCaps = nullptr;  // what the camera can send

    std::atomic<bool> flushing{false};
    bool anyImage = false, discont = false;
    uint64_t lastBlockId = 0;
    std::chrono::steady_clock::time_point lastWarning{};
    std::atomic<uint64_t> missingImages{0}, incompleteImages{0}, badImages{0};
};

}  // namespace

struct _GstTessoralSrc {
    GstPushSrc parent;
    State* state;
};

G_DEFINE_TYPE(GstTessoralSrc, gst_tessoral_src, GST_TYPE_PUSH_SRC)

namespace {

GstStaticPadTemplate srcTemplate = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS("video/x-raw, format = (string) { GRAY8, GRAY16_LE, RGB, BGR, YUY2, UYVY }, "
                    "width = " GST_VIDEO_SIZE_RANGE ", height = " GST_VIDEO_SIZE_RANGE
                    ", framerate = " GST_VIDEO_FPS_RANGE "; "
                    "video/x-bayer, format = (string) { rggb, grbg, gbrg, bggr }, "
                    "width = " GST_VIDEO_SIZE_RANGE ", height = " GST_VIDEO_SIZE_RANGE
                    ", framerate = " GST_VIDEO_FPS_RANGE));

State& stateOf(gpointer object) { return *GST_TESSORAL_SRC(object)->state; }

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

// What the camera can send: each of its formats that GStreamer knows, within the limits
// of width, height and frame rate. Unknown formats are left out (none left: empty caps).
GstCaps* capsOf(CameraSession& session) {
    const tessoralsrc::Limits l = session.limits();
    const Geometry now = session.geometry();
    GstCaps* caps = gst_caps_new_empty();
    // The current format first: it is the one fixation keeps.
    std::vector<std::string> formats{now.format};
    for (const std::string& f : l.formats)
        if (f != now.format) formats.push_back(f);
    for (const std::string& name : formats) {
        const PixelFormat* f = tessoralsrc::pixelFormatByName(name);
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

void postFailure(GstTessoralSrc* src, const char* what, const std::exception& e) {
    GST_ELEMENT_ERROR(src, RESOURCE, FAILED, ("%s", what), ("%s", tool::printable(e.what()).c_str()));
}

// ---- GObject ----

void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
    State& st = stateOf(object);
    st.props.lock();
    switch (id) {
    case PROP_CAMERA: st.camera = g_value_get_string(value) ? g_value_get_string(value) : ""; break;
    case PROP_FEATURES: st.features = g_value_get_string(value) ? g_value_get_string(value) : ""; break;
    case PROP_BUFFER_COUNT: st.bufferCount = g_value_get_uint(value); break;
    case PROP_TRANSFER_SIZE: st.transferSize = g_value_get_uint(value); break;
    case PROP_TIMEOUT: st.timeoutMs = g_value_get_uint(value); break;
    case PROP_WARN_BAD_IMAGES: st.warnBadImages = g_value_get_boolean(value); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
    st.props.unlock();
}

void getProperty(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
    State& st = stateOf(object);
    st.props.lock();
    switch (id) {
    case PROP_CAMERA: g_value_set_string(value, st.camera.c_str()); break;
    case PROP_FEATURES: g_value_set_string(value, st.features.c_str()); break;
    case PROP_BUFFER_COUNT: g_value_set_uint(value, st.bufferCount); break;
    case PROP_TRANSFER_SIZE: g_value_set_uint(value, st.transferSize); break;
    case PROP_TIMEOUT: g_value_set_uint(value, st.timeoutMs); break;
    case PROP_WARN_BAD_IMAGES: g_value_set_boolean(value, st.warnBadImages); break;
    case PROP_MISSING_IMAGES: g_value_set_uint64(value, st.missingImages); break;
    case PROP_INCOMPLETE_IMAGES: g_value_set_uint64(value, st.incompleteImages); break;
    case PROP_BAD_IMAGES: g_value_set_uint64(value, st.badImages); break;
    default: G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec); break;
    }
    st.props.unlock();
}

void finalize(GObject* object) {
    GstTessoralSrc* src = GST_TESSORAL_SRC(object);
    if (src->state->cameraCaps != nullptr) gst_caps_unref(src->state->cameraCaps);
    delete src->state;
    src->state = nullptr;
    G_OBJECT_CLASS(gst_tessoral_src_parent_class)->finalize(object);
}

// ---- GstBaseSrc ----

gboolean start(GstBaseSrc* base) {
    GstTessoralSrc* src = GST_TESSORAL_SRC(base);
    State& st = *src->state;
    st.props.lock();
    const std::string camera = st.camera, features = st.features;
    st.props.unlock();
    std::lock_guard<std::mutex> guard(st.lock);
    st.anyImage = false;
    st.missingImages = st.incompleteImages = st.badImages = 0;
    st.format = nullptr;
    const char* doing = "Cannot open the camera.";
    try {
        st.session = std::make_shared<CameraSession>(camera);
        doing = "Cannot set the camera's features.";
        st.session->prepareFreeRun();
        st.session->applyFeatures(features);
        doing = "Cannot read the camera's image format.";
        GstCaps* caps = capsOf(*st.session);
        if (gst_caps_is_empty(caps)) {
            const std::string format = st.session->geometry().format;
            gst_caps_unref(caps);
            st.session.reset();
            GST_ELEMENT_ERROR(src, STREAM, FORMAT, ("The camera's pixel format %s is not supported.",
                                                    tool::printable(format).c_str()),
                              ("supported: Mono8, Mono16, RGB8, BGR8, YUV422_8, YUV422_8_UYVY, Bayer*8"));
            return FALSE;
        }
        st.props.lock();
        if (st.cameraCaps != nullptr) gst_caps_unref(st.cameraCaps);
        st.cameraCaps = caps;
        st.props.unlock();
        GST_INFO_OBJECT(src, "camera %s open", st.session->guid().c_str());
        return TRUE;
    } catch (const std::exception& e) {
        st.session.reset();
        postFailure(src, doing, e);
        return FALSE;
    }
}

gboolean stop(GstBaseSrc* base) {
    GstTessoralSrc* src = GST_TESSORAL_SRC(base);
    State& st = *src->state;
    std::lock_guard<std::mutex> guard(st.lock);
    if (st.session) {
        try {
            st.session->stop();
        } catch (const std::exception& e) {
            GST_WARNING_OBJECT(src, "stopping the camera: %s", e.what());
        }
        // The camera closes now, or when the last image still held downstream is freed.
        if (st.session.use_count() > 1) GST_WARNING_OBJECT(src, "images still held downstream keep the camera open");
    }
    st.session.reset();
    st.props.lock();
    if (st.cameraCaps != nullptr) gst_caps_unref(st.cameraCaps);
    st.cameraCaps = nullptr;
    st.props.unlock();
    return TRUE;
}

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
    return GST_BASE_SRC_CLASS(gst_tessoral_src_parent_class)->fixate(base, caps);
}

gboolean setCaps(GstBaseSrc* base, GstCaps* caps) {
    GstTessoralSrc* src = GST_TESSORAL_SRC(base);
    State& st = *src->state;
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    const char* format = gst_structure_get_string(s, "format");
    const PixelFormat* f = format ? tessoralsrc::pixelFormatByCaps(gst_structure_get_name(s), format) : nullptr;
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
        if (st.session->streaming()) st.session->stop();
        st.session->setGeometry(wanted);
        const Geometry now = st.session->geometry();
        if (now.format != wanted.format || now.width != wanted.width || now.height != wanted.height)
            throw tessoralsrc::Failure("the camera holds " + now.format + " " + std::to_string(now.width) + "x" +
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

gboolean unlock(GstBaseSrc* base) {
    stateOf(base).flushing = true;
    return TRUE;
}

gboolean unlockStop(GstBaseSrc* base) {
    stateOf(base).flushing = false;
    return TRUE;
}

// A locked image of the library inside a GStreamer buffer: given back when GStreamer frees
// the buffer, from whatever thread. The session (and with it the stream, which frees every
// locked buffer when it closes) lives as long as any of its images is out.
struct Lease {
    std::shared_ptr<CameraSession> session;
    void* data;
};

void releaseLease(gpointer lease) {
    auto* l = static_cast<Lease*>(lease);
    U3V_UnlockImage(l->session->stream(), l->data);
    delete l;
}

// Spoiled images are counted and dropped; a warning says so at most once a second.
void countBadImages(GstTessoralSrc* src, std::atomic<uint64_t>& counter, uint64_t images, const char* what,
                    bool warn) {
    State& st = *src->state;
    counter += images;
    const auto now = std::chrono::steady_clock::now();
    if (!warn || now - st.lastWarning < std::chrono::seconds(1)) return;
    st.lastWarning = now;
    GST_ELEMENT_WARNING(src, STREAM, DECODE, ("Images dropped: %s.", what),
                        ("missing images %" G_GUINT64_FORMAT ", images with missing transfers %" G_GUINT64_FORMAT
                         ", images with a bad status %" G_GUINT64_FORMAT,
                         st.missingImages.load(), st.incompleteImages.load(), st.badImages.load()));
}

GstFlowReturn create(GstPushSrc* push, GstBuffer** out) {
    GstTessoralSrc* src = GST_TESSORAL_SRC(push);
    State& st = *src->state;
    st.props.lock();
    const guint buffers = st.bufferCount, transferSize = st.transferSize, timeoutMs = st.timeoutMs;
    const bool warn = st.warnBadImages;
    st.props.unlock();

    std::lock_guard<std::mutex> guard(st.lock);
    if (!st.session || st.format == nullptr) return GST_FLOW_NOT_NEGOTIATED;
    CameraSession& session = *st.session;
    try {
        if (!session.streaming()) {
            session.start(buffers, transferSize, timeoutMs);
            st.anyImage = false;  // block ids start again
            st.discont = true;
        }
    } catch (const std::exception& e) {
        postFailure(src, "Cannot start the camera.", e);
        return GST_FLOW_ERROR;
    }
    const PixelFormat& f = *st.format;
    const uint64_t width = static_cast<uint64_t>(st.negotiated.width), height = static_cast<uint64_t>(st.negotiated.height);
    const uint64_t packed = tessoralsrc::packedStride(f, width), stride = tessoralsrc::gstStride(f, width);
    const uint64_t payload = session.payloadSize();
    if (payload < packed * height) {
        GST_ELEMENT_ERROR(src, STREAM, FORMAT, ("The camera's images are smaller than the negotiated format."),
                          ("payload %" G_GUINT64_FORMAT " bytes for %" G_GUINT64_FORMAT "x%" G_GUINT64_FORMAT " %s",
                           payload, width, height, f.name));
        return GST_FLOW_ERROR;
    }

    const uint64_t size = stride * height;
    // Zero copy: the library's own buffer goes downstream when its rows are laid out as
    // GStreamer lays them; otherwise one copy into a buffer of ours, re-laid in place.
    const bool zeroCopy = stride == packed;
    GstBuffer* copy = nullptr;
    GstMapInfo map{};
    if (!zeroCopy) {
        copy = gst_buffer_new_allocate(nullptr, std::max(payload, size), nullptr);
        gst_buffer_map(copy, &map, GST_MAP_WRITE);
    }
    auto dropCopy = [&] {
        if (copy == nullptr) return;
        gst_buffer_unmap(copy, &map);
        gst_buffer_unref(copy);
        copy = nullptr;
    };
    auto lastImage = std::chrono::steady_clock::now();
    for (;;) {
        if (st.flushing) {
            dropCopy();
            return GST_FLOW_FLUSHING;
        }
        U3V_ImageInfo info{};
        void* locked = nullptr;
        uint32_t lockedSize = 0;
        const uint16_t status =
            zeroCopy ? session.lock(&locked, &lockedSize, kPollMs, info) : session.grab(map.data, kPollMs, info);
        if (status == U3V_ERR_IMAGE_TIMEOUT || status == U3V_ERR_NO_IMAGE || status == U3V_ERR_ACQUISITION_STOPPED) {
            if (std::chrono::steady_clock::now() - lastImage < std::chrono::milliseconds(timeoutMs)) continue;
            dropCopy();
            GST_ELEMENT_ERROR(src, RESOURCE, READ, ("No image came from the camera within %u ms.", timeoutMs),
                              (nullptr));
            return GST_FLOW_ERROR;
        }
        if (status == U3V_ERR_DEVICE_GONE || ((status & 0xFF00u) == 0xC000u && status != U3V_ERR_MISSING_PACKETS)) {
            dropCopy();
            const bool gone = status == U3V_ERR_DEVICE_GONE;
            try {
                session.stop(gone);
            } catch (const std::exception&) {
                // The error below is the one to report.
            }
            if (gone)
                GST_ELEMENT_ERROR(src, RESOURCE, NOT_FOUND, ("The camera is gone."),
                                  ("%s", tool::statusText(status).c_str()));
            else
                GST_ELEMENT_ERROR(src, RESOURCE, READ, ("Taking an image failed."),
                                  ("%s", tool::statusText(status).c_str()));
            return GST_FLOW_ERROR;
        }
        // An image came (zero copy: it is locked until given back).
        auto giveBack = [&] {
            if (locked != nullptr) U3V_UnlockImage(session.stream(), locked);
        };
        lastImage = std::chrono::steady_clock::now();
        // Block ids the camera skipped are images that never arrived.
        const bool skipped = st.anyImage && info.BlockId > st.lastBlockId + 1;
        st.discont = st.discont || (st.anyImage && info.BlockId != st.lastBlockId + 1);
        if (skipped) countBadImages(src, st.missingImages, info.BlockId - st.lastBlockId - 1, "block ids skipped", warn);
        st.anyImage = true;
        st.lastBlockId = info.BlockId;
        if (status == U3V_ERR_MISSING_PACKETS) {
            giveBack();
            countBadImages(src, st.incompleteImages, 1, "missing transfers", warn);
            st.discont = true;
            continue;
        }
        if (status != U3V_OK || info.PixelFormat != f.code || info.SizeX != width || info.SizeY != height ||
            (zeroCopy && lockedSize < size)) {
            giveBack();
            countBadImages(src, st.badImages, 1, "bad status or another format than negotiated", warn);
            st.discont = true;
            continue;
        }
        GstBuffer* buffer = nullptr;
        if (zeroCopy) {
            buffer = gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, locked, lockedSize, 0, size,
                                                 new Lease{st.session, locked}, releaseLease);
        } else {
            // Rows padded to 4 bytes: in place, from the last row backwards.
            for (uint64_t row = height; row-- > 0;) std::memmove(map.data + row * stride, map.data + row * packed, packed);
            gst_buffer_unmap(copy, &map);
            gst_buffer_set_size(copy, static_cast<gssize>(size));
            buffer = copy;
            copy = nullptr;
        }
        if (st.discont) GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DISCONT);
        st.discont = false;
        GST_BUFFER_OFFSET(buffer) = info.BlockId;        // the camera's block id
        GST_BUFFER_OFFSET_END(buffer) = info.Timestamp;  // the camera's timestamp (its clock, ns)
        // Arrival on the pipeline clock, as running time.
        if (GstClock* clock = gst_element_get_clock(GST_ELEMENT(src))) {
            const GstClockTime now = gst_clock_get_time(clock);
            const GstClockTime baseTime = gst_element_get_base_time(GST_ELEMENT(src));
            GST_BUFFER_PTS(buffer) = now > baseTime ? now - baseTime : 0;
            gst_object_unref(clock);
        }
        *out = buffer;
        return GST_FLOW_OK;
    }
}

}  // namespace

static void gst_tessoral_src_class_init(GstTessoralSrcClass* klass) {
    GObjectClass* object = G_OBJECT_CLASS(klass);
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    GstBaseSrcClass* base = GST_BASE_SRC_CLASS(klass);
    GstPushSrcClass* push = GST_PUSH_SRC_CLASS(klass);
    GST_DEBUG_CATEGORY_INIT(tessoral_src_debug, "tessoralsrc", 0, "USB3 Vision camera source");

    object->set_property = setProperty;
    object->get_property = getProperty;
    object->finalize = finalize;
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
        g_param_spec_uint("timeout", "Time-out", "Longest wait for an image in ms, after which the stream fails", 1,
                          3600000, kDefaultTimeoutMs, rw));
    g_object_class_install_property(
        object, PROP_WARN_BAD_IMAGES,
        g_param_spec_boolean("warn-bad-images", "Warn about bad images",
                             "Post a warning (at most one a second) when images are missing, incomplete or have a "
                             "bad status; they are dropped and counted either way",
                             TRUE, rw));
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

    gst_element_class_set_static_metadata(element, "USB3 Vision camera source", "Source/Video",
                                          "Images of a USB3 Vision camera. Buffer offset: the camera's block id; "
                                          "offset-end: the camera's timestamp",
                                          "Tessoral");
    gst_element_class_add_static_pad_template(element, &srcTemplate);

    base->start = start;
    base->stop = stop;
    base->get_caps = getCaps;
    base->fixate = fixate;
    base->set_caps = setCaps;
    base->unlock = unlock;
    base->unlock_stop = unlockStop;
    push->create = create;
}

static void gst_tessoral_src_init(GstTessoralSrc* src) {
    src->state = new State;
    gst_base_src_set_live(GST_BASE_SRC(src), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(src), GST_FORMAT_TIME);
}
