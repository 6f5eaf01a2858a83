// Library set-up and tear-down, options, version and error texts, device lists and the
// reference counting of device records.
#include <cctype>
#include <cstdarg>
#include <cstring>

#include "usb/LibusbObjects.h"

using namespace vcam::usb;

namespace {

std::mutex contextsMutex;  // taken before the world lock, never while holding it
libusb_context* defaultContext = nullptr;
libusb_context* fallbackContext = nullptr;

libusb_context* createContext() {
    auto* ctx = new libusb_context;
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    world.addListener(ctx);
    return ctx;
}

void destroyContext(libusb_context* ctx) {
    World& world = World::raw();
    {
        std::lock_guard<std::mutex> lock(world.mutex());
        world.removeListener(ctx);
        for (libusb_device* dev : ctx->devices) libusb_unref_device(dev);
        ctx->devices.clear();
    }
    // A settle that began before the removal may still be telling this context.
    { std::lock_guard<std::mutex> busy(world.settling()); }
    delete ctx;
}

}  // namespace

namespace vcam::usb {

libusb_context* resolve(libusb_context* ctx) {
    if (ctx != nullptr) return ctx;
    std::lock_guard<std::mutex> lock(contextsMutex);
    if (defaultContext != nullptr) return defaultContext;
    if (fallbackContext == nullptr) fallbackContext = createContext();
    return fallbackContext;
}

libusb_transfer_status transferStatus(IoStatus status) {
    switch (status) {
        case IoStatus::Completed: return LIBUSB_TRANSFER_COMPLETED;
        case IoStatus::Error: return LIBUSB_TRANSFER_ERROR;
        case IoStatus::TimedOut: return LIBUSB_TRANSFER_TIMED_OUT;
        case IoStatus::Cancelled: return LIBUSB_TRANSFER_CANCELLED;
        case IoStatus::Stall: return LIBUSB_TRANSFER_STALL;
        case IoStatus::NoDevice: return LIBUSB_TRANSFER_NO_DEVICE;
        case IoStatus::Overflow: return LIBUSB_TRANSFER_OVERFLOW;
    }
    return LIBUSB_TRANSFER_ERROR;
}

int syncResult(IoStatus status) {
    switch (status) {
        case IoStatus::Completed: return LIBUSB_SUCCESS;
        case IoStatus::TimedOut: return LIBUSB_ERROR_TIMEOUT;
        case IoStatus::Stall: return LIBUSB_ERROR_PIPE;
        case IoStatus::Overflow: return LIBUSB_ERROR_OVERFLOW;
        case IoStatus::NoDevice: return LIBUSB_ERROR_NO_DEVICE;
        case IoStatus::Error:
        case IoStatus::Cancelled: return LIBUSB_ERROR_IO;
    }
    return LIBUSB_ERROR_IO;
}

}  // namespace vcam::usb

void libusb_context::deviceArrived(const std::shared_ptr<vcam::VirtualDevice>& device) {
    if (hotplugCallbacks.empty()) return;
    hotplugEvents.push_back({device, device->session(), true});
    eventCv.notify_all();
}

void libusb_context::deviceLeft(const std::shared_ptr<vcam::VirtualDevice>& device) {
    if (hotplugCallbacks.empty()) return;
    hotplugEvents.push_back({device, device->session(), false});
    eventCv.notify_all();
}

libusb_device* libusb_context::deviceFor(const std::shared_ptr<vcam::VirtualDevice>& device) {
    for (libusb_device* dev : devices) {
        if (dev->device == device && dev->session == device->session()) return dev;
    }
    auto* dev = new libusb_device;
    dev->ctx = this;
    dev->device = device;
    dev->session = device->session();
    dev->bus = device->bus();
    dev->address = device->address();
    dev->port = device->port();
    devices.push_back(dev);  // the context's reference
    return dev;
}

void libusb_context::refreshDevices(World& world) {
    std::vector<libusb_device*> old;
    old.swap(devices);
    // Records that stand for the present sessions are kept; the rest are let go.
    for (const auto& device : world.devices()) {
        if (!device->plugged() || noDeviceDiscovery) continue;
        libusb_device* found = nullptr;
        for (libusb_device*& dev : old) {
            if (dev != nullptr && dev->device == device && dev->session == device->session()) {
                found = dev;
                dev = nullptr;
                break;
            }
        }
        if (found != nullptr) {
            devices.push_back(found);
        } else {
            deviceFor(device);
        }
    }
    for (libusb_device* dev : old) {
        if (dev != nullptr) libusb_unref_device(dev);
    }
}

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
    if (ctx != nullptr) {
        *ctx = createContext();
        return LIBUSB_SUCCESS;
    }
    std::lock_guard<std::mutex> lock(contextsMutex);
    if (defaultContext != nullptr) {
        ++defaultContext->initCount;
    } else {
        defaultContext = createContext();
    }
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx) {
    {
        std::lock_guard<std::mutex> lock(contextsMutex);
        if (ctx == nullptr || ctx == defaultContext) {
            if (defaultContext == nullptr || --defaultContext->initCount > 0) return;
            ctx = defaultContext;
            defaultContext = nullptr;
        }
    }
    destroyContext(ctx);
}

int LIBUSB_CALL libusb_set_option(libusb_context* ctx, enum libusb_option option, ...) {
    int result = LIBUSB_SUCCESS;
    va_list args;
    va_start(args, option);
    switch (option) {
        case LIBUSB_OPTION_LOG_LEVEL: {
            const int level = va_arg(args, int);
            if (level < LIBUSB_LOG_LEVEL_NONE || level > LIBUSB_LOG_LEVEL_DEBUG) {
                result = LIBUSB_ERROR_INVALID_PARAM;
                break;
            }
            libusb_context* c = resolve(ctx);
            std::lock_guard<std::mutex> lock(World::get().mutex());
            c->logLevel = level;
            break;
        }
        case LIBUSB_OPTION_USE_USBDK:
            result = LIBUSB_ERROR_NOT_SUPPORTED;  // Windows only
            break;
        case LIBUSB_OPTION_NO_DEVICE_DISCOVERY: {
            libusb_context* c = resolve(ctx);
            std::lock_guard<std::mutex> lock(World::get().mutex());
            c->noDeviceDiscovery = true;
            break;
        }
        default:
            result = LIBUSB_ERROR_INVALID_PARAM;
            break;
    }
    va_end(args);
    return result;
}

void LIBUSB_CALL libusb_set_debug(libusb_context* ctx, int level) {
    if (level < LIBUSB_LOG_LEVEL_NONE) level = LIBUSB_LOG_LEVEL_NONE;
    if (level > LIBUSB_LOG_LEVEL_DEBUG) level = LIBUSB_LOG_LEVEL_DEBUG;
    libusb_context* c = resolve(ctx);
    std::lock_guard<std::mutex> lock(World::get().mutex());
    c->logLevel = level;
}

// The emulation logs nothing, so there is nothing to hand to a log callback.
void LIBUSB_CALL libusb_set_log_cb(libusb_context*, libusb_log_cb, int) {}

const struct libusb_version* LIBUSB_CALL libusb_get_version(void) {
    static const libusb_version version = {1, 0, 26, 11724, "", "http://libusb.info"};
    return &version;
}

int LIBUSB_CALL libusb_has_capability(uint32_t capability) {
    switch (capability) {
        case LIBUSB_CAP_HAS_CAPABILITY:
        case LIBUSB_CAP_HAS_HOTPLUG:
        case LIBUSB_CAP_SUPPORTS_DETACH_KERNEL_DRIVER:
            return 1;
        default:
            return 0;
    }
}

const char* LIBUSB_CALL libusb_error_name(int errcode) {
    switch (errcode) {
        case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
        case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
        case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
        case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
        case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
        case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
        case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
        case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
        case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
        case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
        case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
        case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
        case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
        case LIBUSB_TRANSFER_ERROR: return "LIBUSB_TRANSFER_ERROR";
        case LIBUSB_TRANSFER_TIMED_OUT: return "LIBUSB_TRANSFER_TIMED_OUT";
        case LIBUSB_TRANSFER_CANCELLED: return "LIBUSB_TRANSFER_CANCELLED";
        case LIBUSB_TRANSFER_STALL: return "LIBUSB_TRANSFER_STALL";
        case LIBUSB_TRANSFER_NO_DEVICE: return "LIBUSB_TRANSFER_NO_DEVICE";
        case LIBUSB_TRANSFER_OVERFLOW: return "LIBUSB_TRANSFER_OVERFLOW";
        case 0: return "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED";
        default: return "**UNKNOWN**";
    }
}

const char* LIBUSB_CALL libusb_strerror(int errcode) {
    static const char* const texts[] = {
        "Success",
        "Input/Output Error",
        "Invalid parameter",
        "Access denied (insufficient permissions)",
        "No such device (it may have been disconnected)",
        "Entity not found",
        "Resource busy",
        "Operation timed out",
        "Overflow",
        "Pipe error",
        "System call interrupted (perhaps due to signal)",
        "Insufficient memory",
        "Operation not supported or unimplemented on this platform",
        "Other error",
    };
    constexpr int count = static_cast<int>(sizeof texts / sizeof texts[0]);
    int index = -errcode;
    if (errcode == LIBUSB_ERROR_OTHER || index < 0 || index >= count) index = count - 1;
    return texts[index];
}

int LIBUSB_CALL libusb_setlocale(const char* locale) {
    if (locale == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    const size_t length = std::strlen(locale);
    if (length < 2 || (length > 2 && locale[2] != '-' && locale[2] != '_' && locale[2] != '.')) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    // Messages exist in English only.
    if (std::toupper(static_cast<unsigned char>(locale[0])) == 'E' &&
        std::toupper(static_cast<unsigned char>(locale[1])) == 'N') {
        return LIBUSB_SUCCESS;
    }
    return LIBUSB_ERROR_NOT_FOUND;
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    if (list == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    libusb_context* c = resolve(ctx);
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    c->refreshDevices(world);
    world.noteLook();
    const size_t count = c->devices.size();
    auto* out = new (std::nothrow) libusb_device*[count + 1];
    if (out == nullptr) return LIBUSB_ERROR_NO_MEM;
    for (size_t i = 0; i < count; ++i) out[i] = libusb_ref_device(c->devices[i]);
    out[count] = nullptr;
    *list = out;
    CallEntry entry;
    entry.function = "libusb_get_device_list";
    entry.result = static_cast<int>(count);
    world.record(std::move(entry));
    return static_cast<ssize_t>(count);
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
    if (list == nullptr) return;
    if (unref_devices) {
        for (libusb_device** dev = list; *dev != nullptr; ++dev) libusb_unref_device(*dev);
    }
    delete[] list;
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* dev) {
    if (dev != nullptr) dev->refs.fetch_add(1, std::memory_order_relaxed);
    return dev;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* dev) {
    if (dev != nullptr && dev->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete dev;
}

}  // extern "C"
