// The objects behind libusb's opaque handles, and the helpers the libusb entry points
// share. Unless a comment says otherwise, members are guarded by the world lock.
#pragma once

#include <libusb.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "device/CallRecord.h"
#include "device/DeviceDescriptors.h"
#include "device/Endpoint.h"
#include "device/UsbWire.h"
#include "device/VirtualDevice.h"
#include "device/World.h"

namespace vcam::usb {

// The device-side names the entry points use; each source file reaches them through
// `using namespace vcam::usb`.
using vcam::CallEntry;
using vcam::DeviceDescriptors;
using vcam::Endpoint;
using vcam::IoStatus;
using vcam::World;
namespace wire = vcam::wire;

using Clock = std::chrono::steady_clock;
using Lock = std::unique_lock<std::mutex>;
struct TransferState;

struct HotplugCallback {
    libusb_hotplug_callback_handle handle = 0;
    int events = 0;
    int vendorId = LIBUSB_HOTPLUG_MATCH_ANY;
    int productId = LIBUSB_HOTPLUG_MATCH_ANY;
    int deviceClass = LIBUSB_HOTPLUG_MATCH_ANY;
    libusb_hotplug_callback_fn fn = nullptr;
    void* userData = nullptr;
};

struct HotplugEvent {
    std::shared_ptr<VirtualDevice> device;
    uint64_t session = 0;
    bool arrived = false;
};

}  // namespace vcam::usb

struct libusb_context final : vcam::PlugListener {
    int logLevel = 0;
    bool noDeviceDiscovery = false;
    int initCount = 1;  // libusb_init calls on the default context

    // The devices this context knows, one reference each, in bus order.
    std::vector<libusb_device*> devices;

    // Asynchronous transfers the device side has finished, waiting for event handling.
    std::deque<vcam::usb::TransferState*> ready;
    // Finished ones whose completion the bus still holds back, by completion time.
    std::deque<vcam::usb::TransferState*> deferred;
    std::vector<vcam::usb::TransferState*> spareFinished;  // reused by event handling
    std::multimap<vcam::usb::Clock::time_point, vcam::usb::TransferState*> deadlines;

    // The event lock of libusb: one thread at a time handles events.
    bool eventLockHeld = false;
    std::thread::id eventLockOwner;
    bool interrupted = false;
    std::condition_variable eventCv;      // wakes the event handler
    std::condition_variable eventLockCv;  // wakes threads waiting for the event lock

    // libusb_lock_event_waiters / libusb_wait_for_event; a lock of its own, taken before
    // the world lock and never while holding it.
    std::mutex waitersMutex;
    std::condition_variable waitersCv;

    std::vector<vcam::usb::HotplugCallback> hotplugCallbacks;
    std::deque<vcam::usb::HotplugEvent> hotplugEvents;
    libusb_hotplug_callback_handle nextHotplugHandle = 1;

    void deviceArrived(const std::shared_ptr<vcam::VirtualDevice>& device) override;
    void deviceLeft(const std::shared_ptr<vcam::VirtualDevice>& device) override;

    // The record for the device's current session, created when first seen.
    libusb_device* deviceFor(const std::shared_ptr<vcam::VirtualDevice>& device);
    // Forgets devices that left and takes in the ones that arrived.
    void refreshDevices(vcam::World& world);
};

struct libusb_device {
    libusb_context* ctx = nullptr;
    std::shared_ptr<vcam::VirtualDevice> device;  // immutable
    uint64_t session = 0;                         // the plug session this record stands for
    uint8_t bus = 0, address = 0, port = 0;
    std::atomic<int> refs{1};

    bool present() const { return device->plugged() && device->session() == session; }
};

struct libusb_device_handle {
    libusb_device* dev = nullptr;  // holds a reference
    std::set<int> claimed;         // as libusb tracks them, whatever the device did since
    std::set<int> detachedByClaim;
    bool autoDetach = false;
};

namespace vcam::usb {

// The start of a call record entry for a call on a device or a handle.
inline CallEntry entryFor(const char* function, const libusb_device* dev) {
    CallEntry entry;
    entry.function = function;
    entry.device = dev->device->id();
    return entry;
}

inline CallEntry entryFor(const char* function, const libusb_device_handle* h) {
    return entryFor(function, h->dev);
}

// A read of an asynchronous transfer, waiting on an IN pipe.
class AsyncRead final : public InRequest {
public:
    AsyncRead(TransferState* state, uint8_t* buffer, int length, const void* owner)
        : InRequest(buffer, length, owner), state_(state) {}
    void finish(IoStatus status, int actual, std::vector<uint8_t>&& data) override;

private:
    TransferState* state_;
};

// What libusb keeps behind each libusb_transfer; it sits in the same allocation, just
// before the public structure.
struct TransferState {
    enum class Phase { Idle, InFlight, Ready };
    libusb_transfer* transfer = nullptr;
    libusb_context* ctx = nullptr;
    Phase phase = Phase::Idle;
    int deviceId = 0;
    Endpoint* endpoint = nullptr;  // the pipe holding `read` while it waits there
    std::optional<AsyncRead> read;
    bool hasDeadline = false;
    std::multimap<Clock::time_point, TransferState*>::iterator deadline;
    // The deadline entry's node, kept between submissions so that a resubmitted transfer
    // allocates nothing.
    std::multimap<Clock::time_point, TransferState*>::node_type spareDeadline;
    IoStatus status = IoStatus::Completed;
    int actual = 0;
    uint32_t streamId = 0;
    Clock::duration latency{};      // of the device, taken at submission
    bool deferred = false;          // waiting in the context's deferred list
    Clock::time_point completesAt;  // when it may reach event handling
    uint64_t charged = 0;           // submitted memory it holds
};

TransferState* stateOf(libusb_transfer* transfer);

// Ends an in-flight transfer: it waits for event handling from now on.
void completeTransfer(TransferState* state, IoStatus status, int actual,
                      std::vector<uint8_t>&& data);

// Moves deferred completions that are due by `now` to the ready list.
void promoteDue(libusb_context* ctx, Clock::time_point now);
// Takes a transfer off the deferred list, if it is there.
void forgetDeferred(TransferState* state);

// The context a call means: the given one, the default one, or a fallback when libusb
// was used without libusb_init (as libusb 1.0.26 allows with a warning).
libusb_context* resolve(libusb_context* ctx);

libusb_transfer_status transferStatus(IoStatus status);
int syncResult(IoStatus status);  // what a synchronous call returns for the outcome

// Hands the bytes of an OUT transfer to the device (a camera's control pipe goes to its
// firmware, which runs with the lock released). Returns with the lock held; false when
// the device halted the pipe instead of taking the bytes.
bool writeOut(Lock& lock, libusb_device_handle* h, Endpoint* ep, const uint8_t* data,
              int length);

// Wakes threads in libusb_wait_for_event. Never call with the world lock held.
void notifyWaiters(libusb_context* ctx);

// Runs one round of event handling; the caller holds the event lock of the context.
int handleEventsRound(Lock& lock, libusb_context* ctx, Clock::time_point deadline,
                      int* completed);

// Delivers hotplug events outside the world lock.
void deliverHotplug(libusb_context* ctx, std::deque<HotplugEvent>&& events);

inline Clock::time_point deadlineAfter(unsigned timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

}  // namespace vcam::usb
