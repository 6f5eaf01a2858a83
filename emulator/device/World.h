// The emulated USB world of this process: the devices on the buses, the record of calls,
// and the one lock that guards all USB state (device plug state, pipes, claims, transfer
// bookkeeping of the libusb side). Created on first use, never destroyed, so that threads
// still running at process exit find it intact.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/ConfigFile.h"
#include "device/CallRecord.h"
#include "device/VirtualDevice.h"

namespace vcam {

// Told, under the world lock, when a device arrives on or leaves the bus.
class PlugListener {
public:
    virtual void deviceArrived(const std::shared_ptr<VirtualDevice>& device) = 0;
    virtual void deviceLeft(const std::shared_ptr<VirtualDevice>& device) = 0;
    // Called without the lock when a test's change of the world returns: a listener that
    // tells a host of the change in the background finishes telling it.
    virtual void settle() {}

protected:
    ~PlugListener() = default;
};

class World {
public:
    // The world, holding what VCAM_CONFIG (or the default of one camera) describes.
    static World& get();
    // The world as it is, without the start-up load (for calls that replace it anyway).
    static World& raw();

    std::mutex& mutex() { return mutex_; }
    // Held while listeners are told to settle: a listener is freed only once no settle
    // still uses it.
    std::mutex& settling() { return settling_; }

    // Under the lock.
    const std::vector<std::shared_ptr<VirtualDevice>>& devices() const { return devices_; }
    std::shared_ptr<VirtualDevice> find(int id) const;
    void record(CallEntry&& entry) { calls_.add(std::move(entry)); }
    CallRecord& callRecord() { return calls_; }
    void addListener(PlugListener* listener);
    void removeListener(PlugListener* listener);
    std::string stateDir() const { return stateDir_; }
    void setStateDir(const std::string& path) { stateDir_ = path; }
    // What the emulated kernel under a system libusb reports and allows.
    KernelConfig kernel() const { return kernel_; }
    void setKernel(const KernelConfig& kernel) { kernel_ = kernel; }

    // The host's limit of submitted transfer memory (0: none) and what is held now.
    uint64_t usbfsLimit() const { return usbfsLimit_; }
    void setUsbfsLimit(uint64_t bytes) { usbfsLimit_ = bytes; }
    uint64_t usbfsInUse() const { return usbfsInUse_; }
    // Takes `bytes` of it; false, nothing taken, when that would pass the limit.
    bool chargeUsbfs(uint64_t bytes) {
        if (usbfsLimit_ != 0 && (bytes > usbfsLimit_ || usbfsInUse_ > usbfsLimit_ - bytes)) return false;
        usbfsInUse_ += bytes;
        return true;
    }
    void releaseUsbfs(uint64_t bytes) { usbfsInUse_ -= std::min(bytes, usbfsInUse_); }

    // Someone looked at what is on the bus (a device list, vcam::plugged). A rebooting
    // camera stays away until it has been seen gone, as a host always notices a detach.
    void noteLook();
    uint64_t looks() const { return looks_.load(); }
    // Waits (without the lock) until a look after `since`, or until `deadline`.
    void waitForLook(uint64_t since, std::chrono::steady_clock::time_point deadline);

    // Take the lock themselves.
    int addCamera(const CameraConfig& config);
    int addDevice(const DeviceConfig& config);
    void unplug(int id);
    void replug(int id);
    bool plugged(int id);
    void reset();                            // no devices, empty record
    void replace(const WorldConfig& config);  // new devices, empty record, its state directory

private:
    World() = default;
    void ensureLoaded();
    void install(const WorldConfig& config);
    int nextId() { return nextId_.fetch_add(1); }
    int add(const std::shared_ptr<VirtualDevice>& device);
    void addLocked(const std::shared_ptr<VirtualDevice>& device);
    void plugLocked(const std::shared_ptr<VirtualDevice>& device);
    void unplugLocked(const std::shared_ptr<VirtualDevice>& device);
    void removeAllLocked();
    void markLoaded();
    void settle();

    std::mutex mutex_;
    std::mutex settling_;
    std::mutex loadMutex_;
    std::atomic<bool> loaded_{false};
    std::atomic<int> nextId_{1};
    std::vector<std::shared_ptr<VirtualDevice>> devices_;
    std::vector<PlugListener*> listeners_;
    CallRecord calls_;
    std::string stateDir_;
    KernelConfig kernel_;
    uint64_t usbfsLimit_ = 0;
    uint64_t usbfsInUse_ = 0;
    std::atomic<uint64_t> looks_{0};
    std::atomic<int> lookWaiters_{0};
    std::mutex lookMutex_;
    std::condition_variable lookSignal_;
    uint8_t lastAddress_[3] = {0, 1, 1};  // per bus; address 1 is the root hub's
    uint8_t portsUsed_[3] = {0, 0, 0};
};

}  // namespace vcam
