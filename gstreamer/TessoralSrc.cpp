// tessoralsrc: the GObject type, and the camera's opening (start) and closing (stop).
#include "SourceState.h"

GST_DEBUG_CATEGORY(tessoral_src_debug);
#define GST_CAT_DEFAULT tessoral_src_debug

using tessoralsrc::State;
using tessoralsrc::TriggerMode;

G_DEFINE_TYPE(GstTessoralSrc, gst_tessoral_src, GST_TYPE_PUSH_SRC)

namespace tessoralsrc {

State& stateOf(gpointer object) { return *GST_TESSORAL_SRC(object)->state; }

void postFailure(GstTessoralSrc* src, const char* what, const std::exception& e) {
    GST_ELEMENT_ERROR(src, RESOURCE, FAILED, ("%s", what), ("%s", tool::printable(e.what()).c_str()));
}

GstBaseSrcClass* parentClass() { return GST_BASE_SRC_CLASS(gst_tessoral_src_parent_class); }

namespace {

void finalize(GObject* object) {
    GstTessoralSrc* src = GST_TESSORAL_SRC(object);
    if (src->state->cameraCaps != nullptr) gst_caps_unref(src->state->cameraCaps);
    delete src->state;
    src->state = nullptr;
    G_OBJECT_CLASS(gst_tessoral_src_parent_class)->finalize(object);
}

gboolean start(GstBaseSrc* base) {
    GstTessoralSrc* src = GST_TESSORAL_SRC(base);
    State& st = *src->state;
    st.props.lock();
    const std::string camera = st.camera, features = st.features, triggerSource = st.triggerSource;
    const TriggerMode trigger = st.triggerMode;
    st.props.unlock();
    std::lock_guard<std::mutex> guard(st.lock);
    st.anyImage = false;
    st.missingImages = st.incompleteImages = st.badImages = 0;
    st.format = nullptr;
    const char* doing = "Cannot open the camera.";
    try {
        st.session = std::make_shared<CameraSession>(camera);
        doing = "Cannot set up the camera's trigger.";
        st.session->prepareAcquisition(trigger, triggerSource);
        doing = "Cannot set the camera's features.";
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
        st.trigger = trigger;
        st.props.lock();
        if (st.cameraCaps != nullptr) gst_caps_unref(st.cameraCaps);
        st.cameraCaps = caps;
        if (trigger == TriggerMode::Software) st.triggered = st.session;
        st.acquiring = false;
        st.earlyTriggers = 0;
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
        {
            std::lock_guard<std::mutex> props(st.props);
            st.triggered.reset();  // no trigger reaches the camera from now on
            st.acquiring = false;
        }
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

}  // namespace

}  // namespace tessoralsrc

static void gst_tessoral_src_class_init(GstTessoralSrcClass* klass) {
    GObjectClass* object = G_OBJECT_CLASS(klass);
    GstElementClass* element = GST_ELEMENT_CLASS(klass);
    GstBaseSrcClass* base = GST_BASE_SRC_CLASS(klass);
    GST_DEBUG_CATEGORY_INIT(tessoral_src_debug, "tessoralsrc", 0, "USB3 Vision camera source");

    object->finalize = tessoralsrc::finalize;
    gst_element_class_set_static_metadata(element, "USB3 Vision camera source", "Source/Video",
                                          "Images of a USB3 Vision camera. Buffer offset: the camera's block id; "
                                          "offset-end: the camera's timestamp",
                                          "Tessoral");
    base->start = tessoralsrc::start;
    base->stop = tessoralsrc::stop;
    tessoralsrc::installProperties(object);
    tessoralsrc::installCaps(element, base);
    tessoralsrc::installStreaming(base, GST_PUSH_SRC_CLASS(klass));
    tessoralsrc::installTrigger(object, base);
}

static void gst_tessoral_src_init(GstTessoralSrc* src) {
    src->state = new State;
    gst_base_src_set_live(GST_BASE_SRC(src), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(src), GST_FORMAT_TIME);
}
