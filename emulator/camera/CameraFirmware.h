// The camera's firmware: what runs inside the virtual camera behind its USB pipes. The
// USB side hands it each command transfer of the control OUT pipe and queues what it
// answers on the control IN pipe. It knows nothing of libusb.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera/FlashStore.h"
#include "vcam/vcam.h"

namespace vcam {

// What the camera does in answer to one command transfer.
struct ControlAnswer {
    std::vector<std::vector<uint8_t>> acks;  // transfers for the control IN pipe, in order
    bool stallIn = false;   // halt the IN pipe (reads fail with LIBUSB_ERROR_PIPE until cleared)
    bool stallOut = false;  // halt the OUT pipe: the command transfer itself fails
    // To run once the acknowledges are queued (a firmware update that follows its answer).
    std::function<void()> then;
};

class CameraFirmware {
public:
    // Boots what the flash in `stateDir` holds for this camera, if anything.
    explicit CameraFirmware(const CameraConfig& config, const std::string& stateDir = {});
    ~CameraFirmware();
    CameraFirmware(const CameraFirmware&) = delete;
    CameraFirmware& operator=(const CameraFirmware&) = delete;

    // One transfer arrived on the control OUT pipe (any bytes whatever).
    ControlAnswer onControlCommand(const uint8_t* data, size_t length);

    bool peek(uint64_t address, void* out, size_t length) const;
    bool poke(uint64_t address, const void* data, size_t length);

    void addFault(const ControlFault& fault);
    void clearFaults();

    // Handed out with the answer to a start command that was taken (ControlAnswer::then):
    // the camera now writes its flash and expects to be taken off the bus and rebooted.
    // It runs under the USB side's lock, so it may only schedule that.
    void setUpdateListener(std::function<void()> listener);
    // Boots what the flash holds: registers, description file and identity start afresh;
    // faults set by tests stay.
    void reboot();
    Identity identity() const;
    FirmwareStatus status() const;

private:
    struct State;
    CameraConfig bootConfig() const;
    void beginUpdate(ControlAnswer& answer);

    const CameraConfig base_;
    FlashStore store_;
    // What the flash boots: the boot loader, or the image in flash_ (none: the firmware
    // the camera was configured with).
    bool flashBootLoader_ = false;
    std::vector<uint8_t> flash_;
    std::string flashModel_, flashVersion_;
    bool runningBootLoader_ = false;
    bool updating_ = false;
    unsigned startCommands_ = 0, updates_ = 0;
    std::string lastProblem_;
    std::function<void()> updateListener_;
    std::unique_ptr<State> state_;
    mutable std::mutex mutex_;
};

}  // namespace vcam
