// A camera opened through the library: its device and control handles, the feature engine
// over its control channel, and the channels opened on it, closed in the right order.
#pragma once

#include <cstdint>
#include <memory>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "genicam/NodeMap.h"
#include "tessoral/tessoral.h"

namespace pytessoral {

// The identification discovery gives, one record per camera.
std::vector<U3V_DEVICE_INFO> discover();

// A string field of a device record, without its NUL padding.
std::string field(const char* text, size_t size);

// The camera's register space for the feature engine. Remembers the status of the last
// failed access, so that a feature failure can carry the status the library gave.
class ControlPort : public genicam::Port {
public:
    explicit ControlPort(void* control) : control_(control) {}
    void read(uint64_t address, uint8_t* data, size_t length) override;
    void write(uint64_t address, const uint8_t* data, size_t length) override;
    uint16_t lastStatus() const { return lastStatus_; }
    void clearStatus() { lastStatus_ = U3V_OK; }

private:
    void* control_;
    uint16_t lastStatus_ = U3V_OK;
};

// A channel the camera closes before its control channel (stream, events).
class Channel {
public:
    virtual ~Channel() = default;
    // Best effort, idempotent; never throws.
    virtual void close() noexcept = 0;
};

class Camera {
public:
    // Opens the camera whose GUID or serial number is `id`, the first one when empty.
    explicit Camera(const std::string& id);
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // Closes stream, events, control channel and device, in this order. Idempotent.
    // While a stream lingers (images it lent out are still held), the camera is closed to
    // its user but keeps control channel and device open until streamClosed().
    void close() noexcept;
    // A lingering stream counts itself here, and says when it has finally closed.
    void streamLingers() noexcept { ++lingering_; }
    void streamClosed() noexcept;
    bool isOpen() const;
    const U3V_DEVICE_INFO& info() const { return info_; }

    // Any length; split into pieces one library call takes.
    std::vector<uint8_t> read(uint64_t address, size_t length);
    void write(uint64_t address, const uint8_t* data, size_t length);
    std::string descriptionFile();

    // Runs f(map, port) with the control channel held; throws when the camera is closed.
    // Engine failures become StatusError with the port's status, or U3V_ERR_INVALID_HANDLE
    // when the engine refused before anything was sent.
    template <class F>
    auto withFeatures(const std::string& what, F&& f) {
        std::lock_guard lock(control_);
        requireOpen();
        loadMap();
        port_->clearStatus();
        try {
            return f(*map_, *port_);
        } catch (const genicam::Error& e) {
            throwFeatureError(what, e);
        }
    }
    // Runs f(controlHandle) with the control channel held; throws when the camera is closed.
    template <class F>
    auto withControl(F&& f) {
        std::lock_guard lock(control_);
        requireOpen();
        return f(controlHandle_);
    }

    void* deviceHandle() const { return device_; }

    // The one stream and the one event channel a camera may have open; attach throws
    // when one is open already.
    void attachStream(Channel* stream);
    void attachEvents(Channel* events);
    void detach(Channel* channel) noexcept;

private:
    void requireOpen() const;
    void loadMap();
    [[noreturn]] void throwFeatureError(const std::string& what, const genicam::Error& e) const;
    void readLocked(uint64_t address, uint8_t* data, size_t length);

    U3V_DEVICE_INFO info_{};
    void* device_ = nullptr;
    void* controlHandle_ = nullptr;
    std::unique_ptr<ControlPort> port_;
    std::unique_ptr<genicam::NodeMap> map_;
    // Guards the control handle, the engine and the port: the engine is used by one
    // thread at a time. Never held while waiting for Python's GIL.
    mutable std::recursive_mutex control_;
    // Guards the channel slots and the order of closing.
    std::mutex channels_;
    Channel* stream_ = nullptr;
    Channel* events_ = nullptr;
    std::atomic<int> lingering_{0};
    bool closed_ = false;  // to the user; the handles may outlive it (see close)
};

// Camera memory access with the library's status; any length.
void readMemory(void* control, uint64_t address, uint8_t* data, size_t length);
void writeMemory(void* control, uint64_t address, const uint8_t* data, size_t length);
// A little-endian value of 4 or 8 bytes from camera memory.
uint64_t readLe(void* control, uint64_t address, size_t size);

}  // namespace pytessoral
