// The library's one door to the USB stack (libusb-1.0). It offers exactly the operations
// the channels need, with libusb's return conventions: >= 0 success (bytes for transfers),
// < 0 a libusb error code.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

struct libusb_context;
struct libusb_device;
struct libusb_device_handle;
struct libusb_transfer;

namespace tessoral::usb {

// Starts libusb for the process. Returns false when it cannot be started.
bool init();

// A counted reference to a libusb device; device entries keep one for their lifetime.
class DeviceRef {
public:
    DeviceRef() = default;
    explicit DeviceRef(libusb_device* dev);  // takes a new reference
    DeviceRef(const DeviceRef& other);
    DeviceRef& operator=(const DeviceRef& other);
    ~DeviceRef();
    libusb_device* get() const { return dev_; }

private:
    libusb_device* dev_ = nullptr;
};

// The devices on the buses now, in the order libusb lists them.
std::vector<DeviceRef> deviceList();

struct DeviceClass {
    uint8_t deviceClass = 0, deviceSubClass = 0, deviceProtocol = 0;
};
bool deviceClass(libusb_device* dev, DeviceClass& out);

// First alternate setting of each interface of the device's first configuration.
struct InterfaceSummary {
    uint8_t numAltSettings = 0;
    uint8_t interfaceClass = 0, interfaceSubClass = 0, interfaceProtocol = 0;
};
struct ConfigSummary {
    uint16_t totalLength = 0;
    std::vector<InterfaceSummary> interfaces;  // in interface order
};
// false when the device has no (readable) configuration.
bool firstConfiguration(libusb_device* dev, ConfigSummary& out);

// null on failure. With ownContext the handle lives in a libusb context of its own: its
// completions are then handled by the threads that wait on this device alone, never by
// (nor waking) those of other devices, which with one shared context take turns on one
// event lock and are all woken by every completion. Devices opened for a whole session
// get one; short looks (discovery) use the process's context.
libusb_device_handle* open(libusb_device* dev, bool ownContext = false);
void close(libusb_device_handle* h);  // also ends the handle's own context
// The context whose events complete the handle's transfers (null: the process's).
libusb_context* contextOf(libusb_device_handle* h);

// Standard GET_DESCRIPTOR request; returns the bytes received or < 0.
int getDescriptor(libusb_device_handle* h, uint8_t type, uint8_t index, uint8_t* buf, int len);
// String descriptor as ASCII into buf of size len; the result is always NUL-terminated
// inside buf when len > 0. Returns the string length or < 0.
int getStringAscii(libusb_device_handle* h, uint8_t index, char* buf, int len);

// A claim refused as busy is tried again for up to busyWaitMs: another handle (discovery
// here or in another program) may hold the interface for a moment only.
int claimInterface(libusb_device_handle* h, int iface, unsigned busyWaitMs = 0);
int releaseInterface(libusb_device_handle* h, int iface);
int clearHalt(libusb_device_handle* h, uint8_t endpoint);

// Synchronous bulk transfers. A time-out of 0 would mean "wait forever" to libusb; callers
// never get that: 0 is replaced by kDefaultTimeoutMs. Returns bytes transferred or < 0.
constexpr unsigned kDefaultTimeoutMs = 3000;
int bulkWrite(libusb_device_handle* h, uint8_t endpoint, const uint8_t* data, int len,
              unsigned timeoutMs);
int bulkRead(libusb_device_handle* h, uint8_t endpoint, uint8_t* buf, int len,
             unsigned timeoutMs);

// One reusable asynchronous bulk read bound to an endpoint: setup, then any number of
// submit/reap rounds, then free. Completions are handled on the thread that reaps, and
// reads on one endpoint complete in the order they were submitted. A request is never
// submitted again while it is outstanding.
class AsyncRead {
public:
    AsyncRead() = default;
    AsyncRead(const AsyncRead&) = delete;
    AsyncRead& operator=(const AsyncRead&) = delete;
    ~AsyncRead() { free(); }

    // Binds the request to the endpoint. false when no transfer could be allocated.
    bool setup(libusb_device_handle* h, uint8_t endpoint);
    // Queues a read of up to size bytes into buffer. 0 when queued, < 0 otherwise
    // (LIBUSB_ERROR_BUSY while the previous read is still outstanding).
    int submit(uint8_t* buffer, int size);
    // Waits up to timeoutMs for the read to complete: the bytes received, or < 0. On
    // time-out the read is cancelled and the cancellation waited for, so the buffer is
    // free again when this returns (LIBUSB_ERROR_TIMEOUT). When abort becomes true while
    // waiting, the same happens and the result is LIBUSB_ERROR_INTERRUPTED.
    int reap(unsigned timeoutMs, const std::atomic<bool>* abort = nullptr);
    // Cancels an outstanding read, waits for it, and releases the transfer.
    void free();

    bool outstanding() const { return outstanding_; }
    // Bytes the last read received, also when it ended cancelled or in error.
    int received() const;

private:
    static void onComplete(libusb_transfer* transfer);
    bool completed();
    void cancelAndWait();

    libusb_transfer* transfer_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    libusb_context* context_ = nullptr;
    uint8_t endpoint_ = 0;
    bool outstanding_ = false;
    int completed_ = 0;  // set by onComplete inside libusb's event handling
};

}  // namespace tessoral::usb
