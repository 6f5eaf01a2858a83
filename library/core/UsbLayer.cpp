// Thin layer over libusb-1.0 with its default context.
#include "UsbLayer.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace tessoral::usb {

namespace {
std::mutex initMutex;
bool initialised = false;
}  // namespace

bool init() {
    std::lock_guard<std::mutex> lock(initMutex);
    if (!initialised) initialised = libusb_init(nullptr) == LIBUSB_SUCCESS;
    return initialised;
}

DeviceRef::DeviceRef(libusb_device* dev) : dev_(dev) {
    if (dev_ != nullptr) libusb_ref_device(dev_);
}

DeviceRef::DeviceRef(const DeviceRef& other) : DeviceRef(other.dev_) {}

DeviceRef& DeviceRef::operator=(const DeviceRef& other) {
    if (other.dev_ != nullptr) libusb_ref_device(other.dev_);
    if (dev_ != nullptr) libusb_unref_device(dev_);
    dev_ = other.dev_;
    return *this;
}

DeviceRef::~DeviceRef() {
    if (dev_ != nullptr) libusb_unref_device(dev_);
}

std::vector<DeviceRef> deviceList() {
    std::vector<DeviceRef> devices;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(nullptr, &list);
    if (n < 0 || list == nullptr) return devices;
    try {
        devices.reserve(static_cast<size_t>(n));
        for (ssize_t i = 0; i < n && list[i] != nullptr; ++i) devices.emplace_back(list[i]);
    } catch (...) {
        libusb_free_device_list(list, 1);
        throw;
    }
    libusb_free_device_list(list, 1);
    return devices;
}

bool deviceClass(libusb_device* dev, DeviceClass& out) {
    libusb_device_descriptor desc{};
    if (dev == nullptr || libusb_get_device_descriptor(dev, &desc) != LIBUSB_SUCCESS) return false;
    out.deviceClass = desc.bDeviceClass;
    out.deviceSubClass = desc.bDeviceSubClass;
    out.deviceProtocol = desc.bDeviceProtocol;
    return true;
}

bool firstConfiguration(libusb_device* dev, ConfigSummary& out) {
    libusb_config_descriptor* config = nullptr;
    if (dev == nullptr || libusb_get_config_descriptor(dev, 0, &config) != LIBUSB_SUCCESS ||
        config == nullptr)
        return false;
    ConfigSummary summary;
    try {
        summary.totalLength = config->wTotalLength;
        if (config->interface != nullptr) {
            for (uint8_t i = 0; i < config->bNumInterfaces; ++i) {
                const libusb_interface& iface = config->interface[i];
                InterfaceSummary s;
                if (iface.num_altsetting > 0 && iface.altsetting != nullptr) {
                    s.numAltSettings = static_cast<uint8_t>(std::min(iface.num_altsetting, 255));
                    s.interfaceClass = iface.altsetting[0].bInterfaceClass;
                    s.interfaceSubClass = iface.altsetting[0].bInterfaceSubClass;
                    s.interfaceProtocol = iface.altsetting[0].bInterfaceProtocol;
                }
                summary.interfaces.push_back(s);
            }
        }
    } catch (...) {
        libusb_free_config_descriptor(config);
        throw;
    }
    libusb_free_config_descriptor(config);
    out = std::move(summary);
    return true;
}

namespace {
// Handles opened in a context of their own, and that context.
struct OwnContexts {
    std::mutex mutex;
    std::unordered_map<libusb_device_handle*, libusb_context*> of;
};
// Never destroyed: a handle may still be closed while the process winds down.
OwnContexts& ownContexts() {
    static auto* contexts = new OwnContexts;
    return *contexts;
}

// The same device as seen from another context: same bus, port path and address.
bool sameDevice(libusb_device* a, libusb_device* b) {
    if (libusb_get_bus_number(a) != libusb_get_bus_number(b) ||
        libusb_get_device_address(a) != libusb_get_device_address(b))
        return false;
    uint8_t pathA[8] = {}, pathB[8] = {};
    const int na = libusb_get_port_numbers(a, pathA, sizeof pathA);
    const int nb = libusb_get_port_numbers(b, pathB, sizeof pathB);
    return na == nb && na >= 0 && std::memcmp(pathA, pathB, static_cast<size_t>(na)) == 0;
}

// Opens dev's twin in a new context; null (and no context left behind) when it is not
// there or will not open.
libusb_device_handle* openInOwnContext(libusb_device* dev, libusb_context*& ctx) {
    ctx = nullptr;
    if (libusb_init(&ctx) != LIBUSB_SUCCESS || ctx == nullptr) return nullptr;
    libusb_device** list = nullptr;
    libusb_device_handle* h = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; list != nullptr && i < n && list[i] != nullptr; ++i) {
        if (sameDevice(list[i], dev)) {
            if (libusb_open(list[i], &h) != LIBUSB_SUCCESS) h = nullptr;
            break;
        }
    }
    if (list != nullptr) libusb_free_device_list(list, 1);
    if (h == nullptr) {
        libusb_exit(ctx);
        ctx = nullptr;
    }
    return h;
}
}  // namespace

libusb_device_handle* open(libusb_device* dev, bool ownContext) {
    if (dev == nullptr) return nullptr;
    libusb_device_handle* h = nullptr;
    libusb_context* ctx = nullptr;
    if (ownContext) h = openInOwnContext(dev, ctx);
    // Not found again (gone, or a stack without contexts): the process's context, which
    // also reports why the device will not open.
    if (h == nullptr && libusb_open(dev, &h) != LIBUSB_SUCCESS) return nullptr;
    if (ctx != nullptr) {
        try {
            OwnContexts& c = ownContexts();
            std::lock_guard<std::mutex> lock(c.mutex);
            c.of[h] = ctx;
        } catch (...) {
            libusb_close(h);
            libusb_exit(ctx);
            throw;
        }
    }
    // Where a kernel driver sits on an interface, claiming it takes it over; platforms
    // without that notion refuse the option, which is harmless.
    (void)libusb_set_auto_detach_kernel_driver(h, 1);
    return h;
}

void close(libusb_device_handle* h) {
    if (h == nullptr) return;
    libusb_context* ctx = nullptr;
    {
        OwnContexts& c = ownContexts();
        std::lock_guard<std::mutex> lock(c.mutex);
        if (const auto it = c.of.find(h); it != c.of.end()) {
            ctx = it->second;
            c.of.erase(it);
        }
    }
    libusb_close(h);
    if (ctx != nullptr) libusb_exit(ctx);
}

libusb_context* contextOf(libusb_device_handle* h) {
    OwnContexts& c = ownContexts();
    std::lock_guard<std::mutex> lock(c.mutex);
    const auto it = c.of.find(h);
    return it != c.of.end() ? it->second : nullptr;
}

int getDescriptor(libusb_device_handle* h, uint8_t type, uint8_t index, uint8_t* buf, int len) {
    if (h == nullptr || len < 0 || (buf == nullptr && len > 0)) return LIBUSB_ERROR_INVALID_PARAM;
    len = std::min(len, 0xFFFF);  // wLength is 16 bits
    const int r = libusb_get_descriptor(h, type, index, buf, len);
    return r < 0 ? r : std::min(r, len);
}

int getStringAscii(libusb_device_handle* h, uint8_t index, char* buf, int len) {
    if (buf == nullptr || len <= 0) return LIBUSB_ERROR_INVALID_PARAM;
    if (index == 0) {
        // Index 0 is the language table, never a string: cameras use it for "no string".
        buf[0] = '\0';
        return 0;
    }
    if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    // A string descriptor carries at most 126 characters; read into our own buffer so that
    // whatever the device sends, the caller's field ends terminated.
    unsigned char text[256] = {};
    const int r = libusb_get_string_descriptor_ascii(h, index, text, static_cast<int>(sizeof text));
    if (r < 0) return r;
    const int n = std::min({r, len - 1, static_cast<int>(sizeof text) - 1});
    std::memcpy(buf, text, static_cast<size_t>(n));
    buf[n] = '\0';
    return n;
}

int claimInterface(libusb_device_handle* h, int iface, unsigned busyWaitMs) {
    if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(busyWaitMs);
    for (;;) {
        const int r = libusb_claim_interface(h, iface);
        if (r != LIBUSB_ERROR_BUSY || std::chrono::steady_clock::now() >= end) return r;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int releaseInterface(libusb_device_handle* h, int iface) {
    if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    return libusb_release_interface(h, iface);
}

int clearHalt(libusb_device_handle* h, uint8_t endpoint) {
    if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    return libusb_clear_halt(h, endpoint);
}

namespace {
int bulk(libusb_device_handle* h, uint8_t endpoint, unsigned char* data, int len,
         unsigned timeoutMs) {
    if (h == nullptr || len < 0 || (data == nullptr && len > 0)) return LIBUSB_ERROR_INVALID_PARAM;
    int transferred = 0;
    const int r = libusb_bulk_transfer(h, endpoint, data, len, &transferred,
                                       timeoutMs == 0 ? kDefaultTimeoutMs : timeoutMs);
    if (r != LIBUSB_SUCCESS) return r;
    return std::clamp(transferred, 0, len);
}
}  // namespace

int bulkWrite(libusb_device_handle* h, uint8_t endpoint, const uint8_t* data, int len,
              unsigned timeoutMs) {
    // libusb only reads an OUT buffer; its signature simply has no const.
    return bulk(h, endpoint, const_cast<uint8_t*>(data), len, timeoutMs);
}

int bulkRead(libusb_device_handle* h, uint8_t endpoint, uint8_t* buf, int len,
             unsigned timeoutMs) {
    return bulk(h, endpoint, buf, len, timeoutMs);
}

namespace {
// Longest single wait inside a reap, so that an abort request is seen promptly.
constexpr auto kReapSlice = std::chrono::milliseconds(20);

timeval toTimeval(std::chrono::microseconds d) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(d.count() / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(d.count() % 1000000);
    return tv;
}
}  // namespace

void AsyncRead::onComplete(libusb_transfer* transfer) {
    // Whichever thread handles events runs this; the reaping thread may be another.
    std::atomic_ref<int>(static_cast<AsyncRead*>(transfer->user_data)->completed_)
        .store(1, std::memory_order_release);
}

bool AsyncRead::completed() { return std::atomic_ref<int>(completed_).load(std::memory_order_acquire) != 0; }

bool AsyncRead::setup(libusb_device_handle* h, uint8_t endpoint) {
    free();
    transfer_ = libusb_alloc_transfer(0);
    handle_ = h;
    context_ = contextOf(h);
    endpoint_ = endpoint;
    return transfer_ != nullptr;
}

int AsyncRead::submit(uint8_t* buffer, int size) {
    if (transfer_ == nullptr || handle_ == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    if (outstanding_) return LIBUSB_ERROR_BUSY;
    if (size < 0 || (buffer == nullptr && size > 0)) return LIBUSB_ERROR_INVALID_PARAM;
    // No libusb time-out: the reap decides how long to wait and cancels itself.
    libusb_fill_bulk_transfer(transfer_, handle_, endpoint_, buffer, size, &AsyncRead::onComplete,
                              this, 0);
    completed_ = 0;
    const int r = libusb_submit_transfer(transfer_);
    if (r == LIBUSB_SUCCESS) outstanding_ = true;
    return r;
}

void AsyncRead::cancelAndWait() {
    (void)libusb_cancel_transfer(transfer_);  // NOT_FOUND: it is completing already
    // libusb completes every cancelled transfer; until it has, the buffer is still its own.
    while (!completed()) {
        timeval tv = toTimeval(std::chrono::milliseconds(100));
        (void)libusb_handle_events_timeout_completed(context_, &tv, &completed_);
    }
}

int AsyncRead::reap(unsigned timeoutMs, const std::atomic<bool>* abort) {
    if (!outstanding_) return LIBUSB_ERROR_NOT_FOUND;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int giveUp = 0;
    while (!completed()) {
        if (abort != nullptr && abort->load()) {
            giveUp = LIBUSB_ERROR_INTERRUPTED;
            break;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            giveUp = LIBUSB_ERROR_TIMEOUT;
            break;
        }
        const auto wait = std::min<Clock::duration>(deadline - now, kReapSlice);
        timeval tv = toTimeval(std::chrono::duration_cast<std::chrono::microseconds>(wait));
        (void)libusb_handle_events_timeout_completed(context_, &tv, &completed_);
    }
    if (!completed()) cancelAndWait();
    outstanding_ = false;
    switch (transfer_->status) {
        case LIBUSB_TRANSFER_COMPLETED:  // also when it completed while we cancelled
            return std::clamp(transfer_->actual_length, 0, transfer_->length);
        case LIBUSB_TRANSFER_TIMED_OUT: return LIBUSB_ERROR_TIMEOUT;
        case LIBUSB_TRANSFER_CANCELLED: return giveUp != 0 ? giveUp : LIBUSB_ERROR_INTERRUPTED;
        case LIBUSB_TRANSFER_STALL: return LIBUSB_ERROR_PIPE;
        case LIBUSB_TRANSFER_NO_DEVICE: return LIBUSB_ERROR_NO_DEVICE;
        case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
        default: return LIBUSB_ERROR_IO;
    }
}

int AsyncRead::received() const {
    if (transfer_ == nullptr || outstanding_) return 0;
    return std::clamp(transfer_->actual_length, 0, transfer_->length);
}

void AsyncRead::free() {
    if (transfer_ == nullptr) return;
    if (outstanding_) {
        if (!completed()) cancelAndWait();
        outstanding_ = false;
    }
    libusb_free_transfer(transfer_);
    transfer_ = nullptr;
    handle_ = nullptr;
}

}  // namespace tessoral::usb
