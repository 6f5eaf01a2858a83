// tessoralsrc's software trigger: the "trigger" action signal and the "tessoral-trigger"
// upstream event fire TriggerSoftware from the caller's thread, beside the streaming thread
// that waits for the image.
#include "SourceState.h"

#define GST_CAT_DEFAULT tessoral_src_debug

namespace tessoralsrc {

namespace {

constexpr const char* kTriggerEvent = "tessoral-trigger";

bool sendTrigger(GstTessoralSrc* src, CameraSession& session) {
    try {
        session.triggerSoftware();
        ++src->state->triggersSent;
        return true;
    } catch (const std::exception& e) {
        GST_ELEMENT_WARNING(src, RESOURCE, WRITE, ("Cannot trigger the camera."),
                            ("%s", tool::printable(e.what()).c_str()));
        return false;
    }
}

// One software trigger. Before the camera takes images (PAUSED, or PLAYING before the
// first image was asked for) it is kept and sent at the start, so that an application may
// trigger right after asking for PLAYING.
bool fire(GstTessoralSrc* src, const char* from) {
    State& st = *src->state;
    std::shared_ptr<CameraSession> session;
    {
        std::lock_guard<std::mutex> guard(st.props);
        if (!st.triggered) {
            GST_WARNING_OBJECT(src, "trigger (%s) ignored: not started with trigger-mode=software", from);
            return false;
        }
        if (!st.acquiring) {
            ++st.earlyTriggers;
            GST_DEBUG_OBJECT(src, "trigger (%s) kept until the camera starts", from);
            return true;
        }
        session = st.triggered;
    }
    GST_LOG_OBJECT(src, "trigger (%s)", from);
    return sendTrigger(src, *session);
}

gboolean onTriggerSignal(GstTessoralSrc* src) { return fire(src, "signal"); }

gboolean event(GstBaseSrc* base, GstEvent* e) {
    if (GST_EVENT_TYPE(e) == GST_EVENT_CUSTOM_UPSTREAM && gst_event_has_name(e, kTriggerEvent))
        return fire(GST_TESSORAL_SRC(base), "event");
    return parentClass()->event(base, e);
}

}  // namespace

GType triggerModeType() {
    static GType type = 0;
    if (g_once_init_enter(&type)) {
        static const GEnumValue values[] = {
            {static_cast<gint>(TriggerMode::Off), "Free-running: the camera takes images at its own pace", "off"},
            {static_cast<gint>(TriggerMode::Software), "One image per \"trigger\" signal or tessoral-trigger event",
             "software"},
            {static_cast<gint>(TriggerMode::Hardware), "One image per trigger on the line trigger-source names",
             "hardware"},
            {0, nullptr, nullptr},
        };
        g_once_init_leave(&type, g_enum_register_static("GstTessoralSrcTriggerMode", values));
    }
    return type;
}

void acquisitionStarted(GstTessoralSrc* src) {
    State& st = *src->state;
    unsigned early = 0;
    st.triggersAnswered = 0;
    st.triggerPendingSince = {};
    {
        std::lock_guard<std::mutex> guard(st.props);
        st.triggersSent = 0;  // before a trigger can come in
        st.acquiring = true;
        std::swap(early, st.earlyTriggers);
    }
    for (unsigned i = 0; i < early; ++i)
        if (!sendTrigger(src, *st.session)) throw Failure("a trigger fired before the start could not be sent");
}

void acquisitionStopped(State& st) {
    std::lock_guard<std::mutex> guard(st.props);
    st.acquiring = false;
}

// A triggered camera rightly sends nothing until it is triggered, for as long as that
// takes: the stream goes on. Only a software trigger whose image does not come within the
// time-out is said, with a warning (the camera dropped it, or did not take it).
void noImageYet(GstTessoralSrc* src, guint timeoutMs) {
    State& st = *src->state;
    const uint64_t sent = st.triggersSent;
    if (sent <= st.triggersAnswered) return;
    const auto now = std::chrono::steady_clock::now();
    if (st.triggerPendingSince == std::chrono::steady_clock::time_point{}) {
        st.triggerPendingSince = now;
        return;
    }
    if (now - st.triggerPendingSince < std::chrono::milliseconds(timeoutMs)) return;
    GST_ELEMENT_WARNING(src, RESOURCE, READ, ("No image came within %u ms of a software trigger.", timeoutMs),
                        ("%" G_GUINT64_FORMAT " trigger(s) without an image", sent - st.triggersAnswered));
    st.triggersAnswered = sent;
    st.triggerPendingSince = {};
}

void imageCame(State& st) {
    if (st.triggersAnswered < st.triggersSent) ++st.triggersAnswered;
    st.triggerPendingSince = st.triggersAnswered < st.triggersSent ? std::chrono::steady_clock::now()
                                                                   : std::chrono::steady_clock::time_point{};
}

void installTrigger(GObjectClass* object, GstBaseSrcClass* base) {
    // Returns TRUE when the trigger was sent to the camera (or kept for its start).
    g_signal_new_class_handler("trigger", G_TYPE_FROM_CLASS(object),
                               static_cast<GSignalFlags>(G_SIGNAL_RUN_LAST | G_SIGNAL_ACTION),
                               G_CALLBACK(onTriggerSignal), nullptr, nullptr, nullptr, G_TYPE_BOOLEAN, 0);
    base->event = event;
}

}  // namespace tessoralsrc
