// One device of the emulated world: its descriptors, its pipes, who holds its interfaces,
// and (for a camera) its firmware. The device object outlives its time on the bus: it
// stays while libusb device records refer to it, and a camera keeps its firmware across
// replugs. Plug state, pipes and claims are guarded by the world lock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "camera/CameraFirmware.h"
#include "device/DeviceDescriptors.h"
#include "device/Endpoint.h"
#include "device/UsbWire.h"
#include "vcam/vcam.h"

namespace vcam {

class VirtualDevice : public std::enable_shared_from_this<VirtualDevice> {
public:
    // A camera boots what its flash in `stateDir` holds (nothing there: as configured).
    VirtualDevice(int id, const CameraConfig& config, const std::string& stateDir = {});
    VirtualDevice(int id, const DeviceConfig& config);
    VirtualDevice(const VirtualDevice&) = delete;
    VirtualDevice& operator=(const VirtualDevice&) = delete;

    int id() const { return id_; }
    bool isCamera() const { return camera_.has_value(); }
    const CameraConfig* camera() const { return camera_ ? &*camera_ : nullptr; }
    // Read without the world lock by device records: a firmware update replaces them only
    // while the device is off the bus, and earlier ones stay allocated for late readers.
    const DeviceDescriptors& descriptors() const { return *descriptors_.load(std::memory_order_acquire); }
    // After a reboot: the descriptors tell the identity the firmware now reports. Under the
    // world lock, while the device is off the bus.
    void setIdentity(const Identity& identity);
    CameraFirmware* firmware() const { return firmware_.get(); }
    // libusb_open is refused with LIBUSB_ERROR_ACCESS.
    bool openRefused() const;

    // Answers a request on the default control pipe: false means the device stalls it.
    // `out` gets the data stage, cut to the request's wLength. Standard requests act on the
    // pipes (halts), so this runs under the world lock.
    bool answerControl(const wire::Setup& setup, std::vector<uint8_t>& out);
    // One transfer written to an OUT pipe of the current session; false when the pipe
    // stalls it. The control OUT pipe hands it to the camera's firmware, with `lock` (the
    // world lock) released while the firmware works; other OUT pipes swallow it.
    bool writeOut(std::unique_lock<std::mutex>& lock, Endpoint& ep, const uint8_t* data,
                  size_t length);
    // The interface another program holds, or -1.
    int interfaceHeldElsewhere() const;

    bool hasInterface(int number) const;
    Endpoint* endpoint(uint8_t address);

    // Bus presence. Each plug starts a new session; records of an earlier session no
    // longer reach the device.
    bool plugged() const { return plugged_; }
    uint64_t session() const { return session_; }
    uint8_t bus() const { return bus_; }
    uint8_t address() const { return address_; }
    uint8_t port() const { return port_; }
    void plug(uint8_t bus, uint8_t address, uint8_t port);
    // Off the bus: waiting reads end with NO_DEVICE; queued data, halts and claims go.
    void unplug();

    // Interface claims of the current session: interface -> owning handle.
    std::map<int, const void*>& claims() { return claims_; }
    // A kernel driver (such as usbhid) bound to the interface.
    bool driverBound(int number) const { return driverBound_.count(number) != 0; }
    void setDriverBound(int number, bool bound);

    // A reset on the bus: the device starts over as just enumerated (halts cleared, queued
    // data dropped, waiting reads cancelled, streaming and events off); it keeps its address.
    void busReset();
    // How long after its data a bulk or interrupt transfer completes (under the world lock).
    std::chrono::microseconds transferLatency() const { return transferLatency_; }
    void setTransferLatency(std::chrono::microseconds latency) { transferLatency_ = latency; }


    // A camera's stream and event pipes draw on its firmware's sources; `leave` takes the
    // device off the bus (under the world lock). Called once the device is shared.
    void connectSources(std::function<void()> leave);
    // Serves reads waiting on the source-fed pipes after the camera's state changed.
    void pumpSources();

private:
    void makeEndpoints();
    bool answerDescriptor(const wire::Setup& setup, std::vector<uint8_t>& out) const;
    bool answerStandard(const wire::Setup& setup, std::vector<uint8_t>& out);

    int id_;
    std::optional<CameraConfig> camera_;
    bool openFails_ = false;  // a non-camera device the user may not open
    std::optional<Identity> identity_;  // what the descriptors tell (cameras)
    std::unique_ptr<CameraFirmware> firmware_;
    std::vector<std::unique_ptr<const DeviceDescriptors>> descriptorGenerations_;
    std::atomic<const DeviceDescriptors*> descriptors_{nullptr};
    std::map<uint8_t, Endpoint> endpoints_;
    std::map<int, const void*> claims_;
    std::set<int> driverBound_;
    std::set<int> driverDefault_;
    std::chrono::microseconds transferLatency_{0};
    bool plugged_ = false;
    uint64_t session_ = 0;
    uint8_t bus_ = 0, address_ = 0, port_ = 0;
};

}  // namespace vcam
