// The emulated Linux kernel under the system's own libusb-1.0: a umockdev testbed whose
// sysfs holds every device on the virtual buses and whose device nodes answer the usbfs
// ioctls from the devices of the world (emulator/device, emulator/camera).
//
// The testbed is made by start(), before the first libusb_init of any program it serves.
// umockdev answers ioctls on one worker thread of its own; that thread takes the world lock.
// Plug changes are told to the testbed (sysfs entries, device nodes, uevents) by a hub
// thread of the kernel's own, never under the world lock.
#pragma once

#include <umockdev.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "device/World.h"

namespace vcam::usbfs {

class Node;
class Session;

// Counters of the emulated kernel, for tests and benchmarks.
struct KernelStats {
    uint64_t ioctls = 0;
    uint64_t submits = 0;
    uint64_t reaps = 0;
    uint64_t discards = 0;
    uint64_t noMemory = 0;       // submissions refused for the memory limit
    size_t memoryInUse = 0;      // bytes of URBs submitted and not yet reaped or freed
    size_t memoryPeak = 0;
    uint64_t filesOpened = 0;
    uint64_t filesClosed = 0;
};

class Kernel final : public PlugListener {
public:
    // Makes the testbed (once per process) and puts the world's devices into it. A program
    // run under umockdev's preload library with this process's UMOCKDEV_DIR meets them.
    static Kernel& start();
    // The kernel, if started.
    static Kernel* running();

    std::string rootDir() const { return root_; }
    // At the end of the process: the testbed's directory goes (nothing is served after).
    void removeTestbed();
    KernelStats stats();

    // Under the world lock (called by nodes).
    bool chargeMemory(size_t bytes);  // false: over the usbfs memory limit
    void releaseMemory(size_t bytes);
    KernelStats& counters() { return stats_; }

    void deviceArrived(const std::shared_ptr<VirtualDevice>& device) override;
    void deviceLeft(const std::shared_ptr<VirtualDevice>& device) override;
    void settle() override;

private:
    Kernel();
    struct Change {
        std::shared_ptr<Session> session;
        uint8_t port = 0;
        bool arrived = false;
    };
    void runHub();
    void apply(const Change& change);
    std::shared_ptr<Node> nodeFor(const std::string& devnode);

    UMockdevTestbed* testbed_ = nullptr;
    std::string root_;
    KernelStats stats_;  // under the world lock
    std::map<const VirtualDevice*, std::shared_ptr<Session>> live_;  // under the world lock

    std::mutex hubMutex_;
    std::condition_variable hubCv_;
    std::deque<Change> changes_;
    uint64_t queued_ = 0, applied_ = 0;
    std::map<std::string, std::shared_ptr<Node>> nodes_;  // by device node; hub thread only
    std::thread hub_;
};

}  // namespace vcam::usbfs
