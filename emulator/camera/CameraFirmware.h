// The camera's firmware: what runs inside the virtual camera behind its USB pipes. The
// USB side hands it each command transfer of the control OUT pipe and queues what it
// answers on the control IN pipe. It knows nothing of libusb.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "camera/EventSource.h"
#include "camera/StreamSource.h"
#include "vcam/vcam.h"

namespace vcam {

// What the camera does in answer to one command transfer.
struct ControlAnswer {
    std::vector<std::vector<uint8_t>> acks;  // transfers for the control IN pipe, in order
    bool stallIn = false;   // halt the IN pipe (reads fail with LIBUSB_ERROR_PIPE until cleared)
    bool stallOut = false;  // halt the OUT pipe: the command transfer itself fails
};

class CameraFirmware {
public:
    explicit CameraFirmware(const CameraConfig& config);
    ~CameraFirmware();
    CameraFirmware(const CameraFirmware&) = delete;
    CameraFirmware& operator=(const CameraFirmware&) = delete;

    // One transfer arrived on the control OUT pipe (any bytes whatever).
    ControlAnswer onControlCommand(const uint8_t* data, size_t length);

    bool peek(uint64_t address, void* out, size_t length) const;
    bool poke(uint64_t address, const void* data, size_t length);

    void addFault(const ControlFault& fault);
    void clearFaults();

    // What the camera sends on its stream and event pipes (thread-safe on their own; the
    // firmware's lock may be held when they are called, never the other way round).
    StreamSource& stream() { return *stream_; }
    EventSource& events() { return *events_; }
    // The camera lost power (left the bus): streaming and events are off.
    void powerLoss();

private:
    std::unique_ptr<StreamSource> stream_;
    std::unique_ptr<EventSource> events_;
    struct State;
    std::unique_ptr<State> state_;
    mutable std::mutex mutex_;
};

}  // namespace vcam
