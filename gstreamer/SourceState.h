// What the parts of tessoralsrc share: the element's C++ state and how each part hooks
// itself into the class. One file a part: Properties.cpp (the property table), Caps.cpp
// (caps negotiation), Streaming.cpp (the create loop); TessoralSrc.cpp holds the type,
// its start and its stop.
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
    std::string camera, features;
    guint bufferCount = 0, transferSize = 0, timeoutMs = kDefaultTimeoutMs;
    bool warnBadImages = true;

    // The camera, used by one thread at a time under `lock`.
    std::mutex lock;
    std::shared_ptr<CameraSession> session;  // images still out downstream hold it too
    const PixelFormat* format = nullptr;     // negotiated
    Geometry negotiated;
    GstCaps* cameraCaps = nullptr;  // what the camera can send

    std::atomic<bool> flushing{false};
    bool anyImage = false, discont = false;
    uint64_t lastBlockId = 0;
    std::chrono::steady_clock::time_point lastWarning{};
    std::atomic<uint64_t> missingImages{0}, incompleteImages{0}, badImages{0};
};

State& stateOf(gpointer object);
void postFailure(GstTessoralSrc* src, const char* what, const std::exception& e);
GstBaseSrcClass* parentClass();

// Each part installs its virtual methods and properties.
void installProperties(GObjectClass* klass);
void installCaps(GstElementClass* element, GstBaseSrcClass* base);
void installStreaming(GstBaseSrcClass* base, GstPushSrcClass* push);

// What the camera can send, or empty caps when GStreamer knows none of its formats.
GstCaps* capsOf(CameraSession& session);

}  // namespace tessoralsrc

struct _GstTessoralSrc {
    GstPushSrc parent;
    tessoralsrc::State* state;
};
