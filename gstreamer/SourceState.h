// What the parts of tessoralsrc share: the element's C++ state and how each part hooks
// itself into the class. One file a part: Properties.cpp (the property table), Caps.cpp
// (caps negotiation), Streaming.cpp (the create loop), Trigger.cpp (the trigger signal
// and event); TessoralSrc.cpp holds the type, its start and its stop.
#pragma once

#include <gst/base/gstpushsrc.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <string>

#include "CameraSession.h"
#include "PixelFormats.h"
#include "TessoralSrc.h"

GST_DEBUG_CATEGORY_EXTERN(tessoral_src_debug);

namespace tessoralsrc {

constexpr guint kDefaultTimeoutMs = 5000;

// Everything C++ of the element, created in init and destroyed in finalize.
struct State {
    // Properties and cameraCaps, under `props` (a std::mutex rather than the object lock,
    // so that the thread checker sees it).
    std::mutex props;
    std::string camera, features, triggerSource;
    guint bufferCount = 0, transferSize = 0, timeoutMs = kDefaultTimeoutMs;
    bool warnBadImages = true;
    TriggerMode triggerMode = TriggerMode::Off;

    // The camera, used by one thread at a time under `lock`.
    std::mutex lock;
    std::shared_ptr<CameraSession> session;  // images still out downstream hold it too
    const PixelFormat* format = nullptr;     // negotiated
    Geometry negotiated;
    GstCaps* cameraCaps = nullptr;  // what the camera can send
    TriggerMode trigger = TriggerMode::Off;  // the mode the camera was opened in

    std::atomic<bool> flushing{false};
    bool anyImage = false, discont = false;
    uint64_t lastBlockId = 0;
    std::chrono::steady_clock::time_point lastWarning{};
    std::atomic<uint64_t> missingImages{0}, incompleteImages{0}, badImages{0};

    // Software triggers come from application threads and never wait for `lock`, which the
    // streaming thread holds while it waits for an image. Under `props`: `triggered` is the
    // session while it takes software triggers, `acquiring` whether its camera takes images
    // now, and `earlyTriggers` those fired before it did, sent when it starts.
    std::shared_ptr<CameraSession> triggered;
    bool acquiring = false;
    unsigned earlyTriggers = 0;
    std::atomic<uint64_t> triggersSent{0};
    // Under `lock`: triggers an image came for, and since when one waits for its image.
    uint64_t triggersAnswered = 0;
    std::chrono::steady_clock::time_point triggerPendingSince{};
};

State& stateOf(gpointer object);
void postFailure(GstTessoralSrc* src, const char* what, const std::exception& e);
GstBaseSrcClass* parentClass();

// Each part installs its virtual methods, properties and signals.
void installProperties(GObjectClass* klass);
void installCaps(GstElementClass* element, GstBaseSrcClass* base);
void installStreaming(GstBaseSrcClass* base, GstPushSrcClass* push);
void installTrigger(GObjectClass* object, GstBaseSrcClass* base);

// What the camera can send, or empty caps when GStreamer knows none of its formats.
GstCaps* capsOf(CameraSession& session);

// The trigger-mode property's enumeration type.
GType triggerModeType();
// With `lock` held: the camera's acquisition started (early triggers are sent now) or
// stopped; a start that cannot send them throws Failure.
void acquisitionStarted(GstTessoralSrc* src);
void acquisitionStopped(State& st);
// With `lock` held, in the create loop: no image came within a poll, or one came.
void noImageYet(GstTessoralSrc* src, guint timeoutMs);
void imageCame(State& st);

}  // namespace tessoralsrc

struct _GstTessoralSrc {
    GstPushSrc parent;
    tessoralsrc::State* state;
};
