// Hotplug notification: arrivals and departures, delivered from event handling (and, for
// LIBUSB_HOTPLUG_ENUMERATE, from the registration itself, as libusb does).
#include <algorithm>

#include "usb/LibusbObjects.h"

using namespace vcam::usb;

namespace {

bool matches(const HotplugCallback& cb, const vcam::VirtualDevice& device, bool arrived) {
    const int wanted = arrived ? LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED : LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
    if ((cb.events & wanted) == 0) return false;
    const std::vector<uint8_t>& d = device.descriptors().device;
    const int vendor = d[8] | (d[9] << 8), product = d[10] | (d[11] << 8), cls = d[4];
    return (cb.vendorId == LIBUSB_HOTPLUG_MATCH_ANY || cb.vendorId == vendor) &&
           (cb.productId == LIBUSB_HOTPLUG_MATCH_ANY || cb.productId == product) &&
           (cb.deviceClass == LIBUSB_HOTPLUG_MATCH_ANY || cb.deviceClass == cls);
}

bool registered(libusb_context* ctx, libusb_hotplug_callback_handle handle) {
    return std::any_of(ctx->hotplugCallbacks.begin(), ctx->hotplugCallbacks.end(),
                       [&](const HotplugCallback& cb) { return cb.handle == handle; });
}

void deregister(libusb_context* ctx, libusb_hotplug_callback_handle handle) {
    auto& cbs = ctx->hotplugCallbacks;
    cbs.erase(std::remove_if(cbs.begin(), cbs.end(),
                             [&](const HotplugCallback& cb) { return cb.handle == handle; }),
              cbs.end());
}

// Calls every registered callback (or only `only`) that matches; called without the lock.
void notify(libusb_context* ctx, libusb_device* dev, bool arrived,
            libusb_hotplug_callback_handle only = 0) {
    std::mutex& mutex = World::raw().mutex();
    std::vector<HotplugCallback> callbacks;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const HotplugCallback& cb : ctx->hotplugCallbacks) {
            if ((only == 0 || cb.handle == only) && matches(cb, *dev->device, arrived)) {
                callbacks.push_back(cb);
            }
        }
    }
    const libusb_hotplug_event event =
        arrived ? LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED : LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
    for (const HotplugCallback& cb : callbacks) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!registered(ctx, cb.handle)) continue;  // deregistered by an earlier callback
        }
        if (cb.fn(ctx, dev, event, cb.userData) != 0) {
            std::lock_guard<std::mutex> lock(mutex);
            deregister(ctx, cb.handle);
        }
    }
}

}  // namespace

namespace vcam::usb {

void deliverHotplug(libusb_context* ctx, std::deque<HotplugEvent>&& events) {
    for (HotplugEvent& event : events) {
        libusb_device* dev = nullptr;
        {
            std::lock_guard<std::mutex> lock(World::raw().mutex());
            for (libusb_device* known : ctx->devices) {
                if (known->device == event.device && known->session == event.session) dev = known;
            }
            if (dev != nullptr) {
                libusb_ref_device(dev);
            } else if (event.arrived && event.device->plugged() &&
                       event.device->session() == event.session) {
                dev = libusb_ref_device(ctx->deviceFor(event.device));
            } else {
                // A device that came and went unseen: a record of its own for the callback.
                dev = new libusb_device;
                dev->ctx = ctx;
                dev->device = event.device;
                dev->session = event.session;
            }
        }
        notify(ctx, dev, event.arrived);
        libusb_unref_device(dev);
    }
}

}  // namespace vcam::usb

extern "C" {

int LIBUSB_CALL libusb_hotplug_register_callback(libusb_context* ctx, int events, int flags,
                                                 int vendor_id, int product_id, int dev_class,
                                                 libusb_hotplug_callback_fn cb_fn,
                                                 void* user_data,
                                                 libusb_hotplug_callback_handle* callback_handle) {
    const int validEvents =
        LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
    if (events == 0 || (events & ~validEvents) != 0 || (flags & ~LIBUSB_HOTPLUG_ENUMERATE) != 0 ||
        (vendor_id != LIBUSB_HOTPLUG_MATCH_ANY && (vendor_id & ~0xFFFF) != 0) ||
        (product_id != LIBUSB_HOTPLUG_MATCH_ANY && (product_id & ~0xFFFF) != 0) ||
        (dev_class != LIBUSB_HOTPLUG_MATCH_ANY && (dev_class & ~0xFF) != 0) || cb_fn == nullptr) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    libusb_context* c = resolve(ctx);
    World& world = World::get();
    HotplugCallback cb;
    std::vector<libusb_device*> present;
    {
        std::lock_guard<std::mutex> lock(world.mutex());
        if (c->noDeviceDiscovery) return LIBUSB_ERROR_NOT_SUPPORTED;
        cb = {c->nextHotplugHandle++, events, vendor_id, product_id, dev_class, cb_fn, user_data};
        c->hotplugCallbacks.push_back(cb);
        if ((flags & LIBUSB_HOTPLUG_ENUMERATE) != 0) {
            c->refreshDevices(world);
            for (libusb_device* dev : c->devices) present.push_back(libusb_ref_device(dev));
        }
    }
    if (callback_handle != nullptr) *callback_handle = cb.handle;
    for (libusb_device* dev : present) {
        notify(c, dev, true, cb.handle);
        libusb_unref_device(dev);
    }
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_hotplug_deregister_callback(libusb_context* ctx,
                                                    libusb_hotplug_callback_handle handle) {
    libusb_context* c = resolve(ctx);
    std::lock_guard<std::mutex> lock(World::get().mutex());
    deregister(c, handle);
}

void* LIBUSB_CALL libusb_hotplug_get_user_data(libusb_context* ctx,
                                               libusb_hotplug_callback_handle handle) {
    libusb_context* c = resolve(ctx);
    std::lock_guard<std::mutex> lock(World::get().mutex());
    for (const HotplugCallback& cb : c->hotplugCallbacks) {
        if (cb.handle == handle) return cb.userData;
    }
    return nullptr;
}

}  // extern "C"
