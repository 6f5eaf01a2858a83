// One camera as the source element uses it, on the library's public interface and the
// feature engine: opened, configured, streaming, closed. No GStreamer types here.
// The element serialises its calls, except triggerSoftware(), which any thread may call
// meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "ToolCommon.h"
#include "genicam/NodeMap.h"
#include "tessoral/tessoral.h"

namespace tessoralsrc {

// Failures carry a one-line message for the bus: tool::Failure and genicam::Error.
using tool::Failure;

// What the camera sends now.
struct Geometry {
    std::string format;  // the PixelFormat entry
    int64_t width = 0, height = 0;
    double frameRate = 0;  // 0: the camera does not say
};

// What caps negotiation may ask for.
struct Limits {
    int64_t widthMin = 0, widthMax = 0, widthInc = 1;
    int64_t heightMin = 0, heightMax = 0, heightInc = 1;
    std::vector<std::string> formats;  // the PixelFormat entries available now
    bool frameRateSettable = false;
    double frameRateMin = 0, frameRateMax = 0;
};

// How the camera starts its images: freely, or one per trigger.
enum class TriggerMode { Off = 0, Software = 1, Hardware = 2 };

// "ExposureTime=5000 Gain=3" as (name, value) pairs; throws Failure on a malformed item.
std::vector<std::pair<std::string, std::string>> parseFeatures(const std::string& text);

class CameraSession {
public:
    // The camera whose GUID or serial number is `id`, or the first one when it is empty.
    explicit CameraSession(const std::string& id);
    ~CameraSession();
    CameraSession(const CameraSession&) = delete;
    CameraSession& operator=(const CameraSession&) = delete;

    std::string guid() const { return camera_.info().DeviceGUID; }
    // Writes each feature through the engine, with its range and access checks.
    void applyFeatures(const std::string& text);
    // Continuous acquisition. Off: without trigger, where the camera has these features.
    // Software or Hardware: one image per trigger at the frame start, from TriggerSoftware
    // or from the TriggerSource entry `source` (empty: the first one other than Software);
    // throws Failure naming what the camera lacks.
    void prepareAcquisition(TriggerMode mode, const std::string& source = "");
    // Executes TriggerSoftware.
    void triggerSoftware();

    Geometry geometry() const;
    Limits limits() const;
    // Writes what differs from the camera's current values; only while not streaming.
    void setGeometry(const Geometry& wanted);

    // Opens the stream (once), sets the library's buffers and starts the camera.
    void start(uint32_t bufferCount, uint32_t transferSize, uint32_t timeoutMs);
    // Stops the camera and the stream; `gone` skips what would talk to a camera that left.
    void stop(bool gone = false);
    bool streaming() const { return streaming_; }
    // Bytes U3V_GetImage copies per image: the payload size the library read at the start.
    uint64_t payloadSize() const { return payloadSize_; }
    // U3V_GetImage into `buffer` (payloadSize() bytes).
    uint16_t grab(void* buffer, uint32_t waitMs, U3V_ImageInfo& info);
    // U3V_LockImage: the image in the library's own buffer, until given back with
    // U3V_UnlockImage(stream(), data) from any thread. The stream stays open (and every
    // locked buffer valid) as long as the session lives.
    uint16_t lock(void** data, uint32_t* size, uint32_t waitMs, U3V_ImageInfo& info);
    void* stream() const { return stream_; }

private:
    Geometry currentGeometry() const;
    uint64_t readLe(uint64_t address, size_t n) const;
    void closeStream();

    // The feature engine, for the element's calls and a trigger from another thread.
    mutable std::mutex features_;
    tool::Camera camera_;
    tool::CameraPort port_;
    std::unique_ptr<genicam::NodeMap> map_;
    void* stream_ = nullptr;
    bool streaming_ = false, acquiring_ = false;
    uint64_t payloadSize_ = 0;
};

}  // namespace tessoralsrc
