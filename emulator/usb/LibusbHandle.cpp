// Open device handles: open and close, interface claims and kernel drivers,
// configuration, halts, and the synchronous control, bulk and interrupt transfers.
#include <algorithm>
#include <cstring>

#include "usb/LibusbObjects.h"

using namespace vcam::usb;

namespace {

constexpr int kMaxInterfaces = 32;

CallEntry interfaceEntry(const char* function, libusb_device_handle* h, int interface) {
    CallEntry entry = entryFor(function, h);
    entry.interface = interface;
    return entry;
}

// Runs `body` under the world lock and records the call with the result it returns.
template <typename Body>
int recordedCall(CallEntry entry, Body body) {
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    const int result = body();
    entry.result = result;
    world.record(std::move(entry));
    return result;
}

// The frame of the kernel-driver calls: `body` decides once the device is there and has
// the interface. A bad argument is refused before anything is recorded.
template <typename Body>
int kernelDriverCall(const char* function, libusb_device_handle* h, int interface, Body body) {
    if (h == nullptr || interface < 0 || interface >= kMaxInterfaces) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    return recordedCall(interfaceEntry(function, h, interface), [&]() -> int {
        if (!h->dev->present()) return LIBUSB_ERROR_NO_DEVICE;
        vcam::VirtualDevice& device = *h->dev->device;
        if (!device.hasInterface(interface)) return LIBUSB_ERROR_NOT_FOUND;
        return body(device);
    });
}

// The frame of the claim-related calls: an interface number out of range is recorded.
template <typename Body>
int interfaceCall(const char* function, libusb_device_handle* h, int interface, Body body) {
    if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    return recordedCall(interfaceEntry(function, h, interface), [&]() -> int {
        if (interface < 0 || interface >= kMaxInterfaces) return LIBUSB_ERROR_INVALID_PARAM;
        return body();
    });
}

// A synchronous read blocked on an IN pipe.
class SyncRead final : public vcam::InRequest {
public:
    using InRequest::InRequest;
    void finish(IoStatus status, int actual, std::vector<uint8_t>&& data) override {
        done = true;
        finishedAt = Clock::now();
        this->status = status;
        this->actual = actual;
        this->data = std::move(data);
        cv.notify_one();
    }
    std::condition_variable cv;
    bool done = false;
    Clock::time_point finishedAt;
    IoStatus status = IoStatus::Completed;
    int actual = 0;
    std::vector<uint8_t> data;
};

void releaseClaim(vcam::VirtualDevice& device, libusb_device_handle* h, int interface) {
    auto& claims = device.claims();
    auto it = claims.find(interface);
    if (it != claims.end() && it->second == h) claims.erase(it);
    if (h->detachedByClaim.erase(interface) != 0) device.setDriverBound(interface, true);
}

}  // namespace

namespace vcam::usb {

bool writeOut(Lock& lock, libusb_device_handle* h, Endpoint* ep, const uint8_t* data,
              int length) {
    // The device record may go while the lock is released: hold the device itself.
    std::shared_ptr<vcam::VirtualDevice> device = h->dev->device;
    return device->writeOut(lock, *ep, data, static_cast<size_t>(std::max(length, 0)));
}

}  // namespace vcam::usb

namespace {

int syncTransfer(const char* function, libusb_device_handle* h, unsigned char endpoint,
                 unsigned char* data, int length, int* transferred, unsigned int timeout) {
    if (h == nullptr || length < 0 || (length > 0 && data == nullptr)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    World& world = World::get();
    Lock lock(world.mutex());
    CallEntry entry = entryFor(function, h);
    entry.endpoint = endpoint;
    entry.length = length;
    entry.timeoutMs = timeout;
    auto done = [&](int result, int moved) {
        entry.result = result;
        entry.transferred = moved;
        world.record(std::move(entry));
        return result;
    };
    if (!h->dev->present()) return done(LIBUSB_ERROR_NO_DEVICE, 0);
    Endpoint* ep = h->dev->device->endpoint(endpoint);
    if (ep == nullptr) return done(LIBUSB_ERROR_NOT_FOUND, 0);
    // libusb runs a synchronous transfer as an asynchronous one: it holds submitted memory
    // for the time of the call and completes as late as the bus says.
    if (!world.chargeUsbfs(static_cast<uint64_t>(length))) return done(LIBUSB_ERROR_NO_MEM, 0);
    struct Release {
        World& world;
        uint64_t bytes;
        ~Release() { world.releaseUsbfs(bytes); }
    } release{world, static_cast<uint64_t>(length)};
    const Clock::duration latency = h->dev->device->transferLatency();
    // The bus reports the outcome `latency` after the data moved; the lock is free meanwhile.
    auto completion = [&](std::condition_variable& cv, Clock::time_point at) {
        if (latency <= Clock::duration::zero()) return;
        while (Clock::now() < at) cv.wait_until(lock, at);
    };

    if ((endpoint & LIBUSB_ENDPOINT_IN) != 0) {
        SyncRead read(data, length, h);
        ep->submit(&read);
        const Clock::time_point deadline = deadlineAfter(timeout);
        while (!read.done) {
            if (timeout == 0) {
                read.cv.wait(lock);
            } else if (read.cv.wait_until(lock, deadline) == std::cv_status::timeout &&
                       !read.done) {
                ep->remove(&read);
                read.status = IoStatus::TimedOut;
                break;
            }
        }
        if (read.done) completion(read.cv, read.finishedAt + latency);
        if (transferred != nullptr) *transferred = read.actual;
        entry.data = std::move(read.data);
        return done(syncResult(read.status), read.actual);
    }

    if (ep->halted()) {
        if (transferred != nullptr) *transferred = 0;
        return done(LIBUSB_ERROR_PIPE, 0);
    }
    if (vcam::callRecordOn()) entry.data.assign(data, data + length);
    const bool taken = writeOut(lock, h, ep, data, length);
    const int moved = taken ? length : 0;
    std::condition_variable nobody;
    completion(nobody, Clock::now() + latency);
    if (transferred != nullptr) *transferred = moved;
    return done(taken ? LIBUSB_SUCCESS : LIBUSB_ERROR_PIPE, moved);
}

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** dev_handle) {
    if (dev == nullptr || dev_handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    return recordedCall(entryFor("libusb_open", dev), [&]() -> int {
        if (!dev->present()) return LIBUSB_ERROR_NO_DEVICE;
        if (dev->device->openRefused()) return LIBUSB_ERROR_ACCESS;
        auto* h = new libusb_device_handle;
        h->dev = libusb_ref_device(dev);
        *dev_handle = h;
        return LIBUSB_SUCCESS;
    });
}

void LIBUSB_CALL libusb_close(libusb_device_handle* dev_handle) {
    if (dev_handle == nullptr) return;
    World& world = World::get();
    {
        std::lock_guard<std::mutex> lock(world.mutex());
        vcam::VirtualDevice& device = *dev_handle->dev->device;
        if (dev_handle->dev->present()) {
            for (int interface : dev_handle->claimed) releaseClaim(device, dev_handle, interface);
        }
        // Reads still waiting on this handle end here (usbfs discards them on close).
        for (const auto& layout : device.descriptors().endpoints) {
            if (Endpoint* ep = device.endpoint(layout.address)) {
                ep->failReads(IoStatus::Cancelled, dev_handle);
            }
        }
        CallEntry entry = entryFor("libusb_close", dev_handle);
        world.record(std::move(entry));
    }
    libusb_unref_device(dev_handle->dev);
    delete dev_handle;
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* dev_handle) {
    return dev_handle ? dev_handle->dev : nullptr;
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* ctx,
                                                                  uint16_t vendor_id,
                                                                  uint16_t product_id) {
    libusb_device** list = nullptr;
    if (libusb_get_device_list(ctx, &list) < 0) return nullptr;
    libusb_device_handle* handle = nullptr;
    for (libusb_device** dev = list; *dev != nullptr; ++dev) {
        const std::vector<uint8_t>& d = (*dev)->device->descriptors().device;
        if (wire::getU16(d.data(), 8) == vendor_id && wire::getU16(d.data(), 10) == product_id) {
            if (libusb_open(*dev, &handle) < 0) handle = nullptr;
            break;
        }
    }
    libusb_free_device_list(list, 1);
    return handle;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* dev_handle, int interface_number) {
    return interfaceCall("libusb_claim_interface", dev_handle, interface_number, [&]() -> int {
        if (!dev_handle->dev->present()) return LIBUSB_ERROR_NO_DEVICE;
        if (dev_handle->claimed.count(interface_number) != 0) return LIBUSB_SUCCESS;
        vcam::VirtualDevice& device = *dev_handle->dev->device;
        if (!device.hasInterface(interface_number)) return LIBUSB_ERROR_NOT_FOUND;
        if (device.interfaceHeldElsewhere() == interface_number) return LIBUSB_ERROR_BUSY;
        auto& claims = device.claims();
        if (claims.count(interface_number) != 0) return LIBUSB_ERROR_BUSY;
        if (device.driverBound(interface_number)) {
            if (!dev_handle->autoDetach) return LIBUSB_ERROR_BUSY;
            device.setDriverBound(interface_number, false);
            dev_handle->detachedByClaim.insert(interface_number);
        }
        claims[interface_number] = dev_handle;
        dev_handle->claimed.insert(interface_number);
        return LIBUSB_SUCCESS;
    });
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* dev_handle, int interface_number) {
    return interfaceCall("libusb_release_interface", dev_handle, interface_number, [&]() -> int {
        if (dev_handle->claimed.erase(interface_number) == 0) return LIBUSB_ERROR_NOT_FOUND;
        if (!dev_handle->dev->present()) return LIBUSB_ERROR_NO_DEVICE;
        releaseClaim(*dev_handle->dev->device, dev_handle, interface_number);
        return LIBUSB_SUCCESS;
    });
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle* dev_handle,
                                                     int enable) {
    if (dev_handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    CallEntry entry = entryFor("libusb_set_auto_detach_kernel_driver", dev_handle);
    entry.length = enable;
    return recordedCall(std::move(entry), [&]() -> int {
        dev_handle->autoDetach = enable != 0;
        return LIBUSB_SUCCESS;
    });
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle* dev_handle,
                                            int interface_number) {
    return kernelDriverCall("libusb_kernel_driver_active", dev_handle, interface_number,
                            [&](vcam::VirtualDevice& device) -> int {
                                return device.driverBound(interface_number) ? 1 : 0;
                            });
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle* dev_handle,
                                            int interface_number) {
    return kernelDriverCall("libusb_detach_kernel_driver", dev_handle, interface_number,
                            [&](vcam::VirtualDevice& device) -> int {
                                if (!device.driverBound(interface_number)) {
                                    return LIBUSB_ERROR_NOT_FOUND;
                                }
                                device.setDriverBound(interface_number, false);
                                return LIBUSB_SUCCESS;
                            });
}

int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle* dev_handle,
                                            int interface_number) {
    return kernelDriverCall("libusb_attach_kernel_driver", dev_handle, interface_number,
                            [&](vcam::VirtualDevice& device) -> int {
                                if (device.driverBound(interface_number) ||
                                    device.claims().count(interface_number) != 0) {
                                    return LIBUSB_ERROR_BUSY;
                                }
                                // No kernel driver exists for USB3 Vision.
                                if (device.isCamera()) return LIBUSB_ERROR_NOT_FOUND;
                                device.setDriverBound(interface_number, true);
                                return LIBUSB_SUCCESS;
                            });
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle* dev_handle, int configuration) {
    if (dev_handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    CallEntry entry = entryFor("libusb_set_configuration", dev_handle);
    entry.length = configuration;
    return recordedCall(std::move(entry), [&]() -> int {
        if (!dev_handle->dev->present()) return LIBUSB_ERROR_NO_DEVICE;
        // Every device has just the one configuration and stays configured.
        const std::vector<uint8_t>& config = dev_handle->dev->device->descriptors().configuration;
        if (config.size() < wire::kConfigDescriptorSize || configuration != config[5]) {
            return LIBUSB_ERROR_NOT_FOUND;
        }
        return LIBUSB_SUCCESS;
    });
}

int LIBUSB_CALL libusb_get_configuration(libusb_device_handle* dev_handle, int* config) {
    if (dev_handle == nullptr || config == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    return recordedCall(entryFor("libusb_get_configuration", dev_handle), [&]() -> int {
        if (!dev_handle->dev->present()) return LIBUSB_ERROR_NO_DEVICE;
        const std::vector<uint8_t>& bytes = dev_handle->dev->device->descriptors().configuration;
        *config = bytes.size() >= wire::kConfigDescriptorSize ? bytes[5] : 0;
        return LIBUSB_SUCCESS;
    });
}

int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle* dev_handle,
                                                 int interface_number, int alternate_setting) {
    return interfaceCall(
        "libusb_set_interface_alt_setting", dev_handle, interface_number, [&]() -> int {
            if (dev_handle->claimed.count(interface_number) == 0) return LIBUSB_ERROR_NOT_FOUND;
            if (!dev_handle->dev->present()) return LIBUSB_ERROR_NO_DEVICE;
            if (alternate_setting != 0) return LIBUSB_ERROR_NOT_FOUND;  // one setting each
            // SET_INTERFACE resets the interface's pipes on the device.
            vcam::VirtualDevice& device = *dev_handle->dev->device;
            for (const auto& layout : device.descriptors().endpoints) {
                if (layout.interfaceNumber == interface_number) {
                    device.endpoint(layout.address)->clearHalt();
                }
            }
            return LIBUSB_SUCCESS;
        });
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle* dev_handle) {
    if (dev_handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    return recordedCall(entryFor("libusb_reset_device", dev_handle), [&]() -> int {
        if (!dev_handle->dev->present()) return LIBUSB_ERROR_NO_DEVICE;
        dev_handle->dev->device->busReset();
        return LIBUSB_SUCCESS;
    });
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* dev_handle, unsigned char endpoint) {
    if (dev_handle == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    CallEntry entry = entryFor("libusb_clear_halt", dev_handle);
    entry.endpoint = endpoint;
    return recordedCall(std::move(entry), [&]() -> int {
        if (!dev_handle->dev->present()) return LIBUSB_ERROR_NO_DEVICE;
        Endpoint* ep = dev_handle->dev->device->endpoint(endpoint);
        if (ep == nullptr) return LIBUSB_ERROR_NOT_FOUND;
        ep->clearHalt();
        return LIBUSB_SUCCESS;
    });
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* dev_handle,
                                        uint8_t request_type, uint8_t bRequest, uint16_t wValue,
                                        uint16_t wIndex, unsigned char* data, uint16_t wLength,
                                        unsigned int timeout) {
    if (dev_handle == nullptr || (wLength > 0 && data == nullptr)) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    CallEntry entry = entryFor("libusb_control_transfer", dev_handle);
    entry.length = wLength;
    entry.timeoutMs = timeout;
    int result = 0;
    if (!dev_handle->dev->present()) {
        result = LIBUSB_ERROR_NO_DEVICE;
    } else {
        std::vector<uint8_t> answer;
        const wire::Setup setup{request_type, bRequest, wValue, wIndex, wLength};
        if (!dev_handle->dev->device->answerControl(setup, answer)) {
            result = LIBUSB_ERROR_PIPE;
        } else if ((request_type & LIBUSB_ENDPOINT_IN) != 0) {
            if (!answer.empty()) std::memcpy(data, answer.data(), answer.size());
            result = static_cast<int>(answer.size());
            entry.data = std::move(answer);
        }
    }
    if ((request_type & LIBUSB_ENDPOINT_IN) == 0 && wLength > 0) {
        entry.data.assign(data, data + wLength);
    }
    entry.result = result;
    entry.transferred = std::max(result, 0);
    world.record(std::move(entry));
    return result;
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* dev_handle, unsigned char endpoint,
                                     unsigned char* data, int length, int* actual_length,
                                     unsigned int timeout) {
    return syncTransfer("libusb_bulk_transfer", dev_handle, endpoint, data, length,
                        actual_length, timeout);
}

int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle* dev_handle,
                                          unsigned char endpoint, unsigned char* data,
                                          int length, int* actual_length, unsigned int timeout) {
    return syncTransfer("libusb_interrupt_transfer", dev_handle, endpoint, data, length,
                        actual_length, timeout);
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* dev_handle,
                                                   uint8_t desc_index, unsigned char* data,
                                                   int length) {
    if (dev_handle == nullptr || data == nullptr || length <= 0) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    CallEntry entry = entryFor("libusb_get_string_descriptor_ascii", dev_handle);
    entry.length = length;
    auto finish = [&](int result) {
        entry.result = result;
        entry.transferred = std::max(result, 0);
        world.record(std::move(entry));
        return result;
    };
    if (desc_index == 0) return finish(LIBUSB_ERROR_INVALID_PARAM);
    if (!dev_handle->dev->present()) return finish(LIBUSB_ERROR_NO_DEVICE);
    vcam::VirtualDevice& device = *dev_handle->dev->device;

    // The first language, then the string in it: the two requests libusb makes.
    std::vector<uint8_t> langs;
    wire::Setup setup{wire::kRequestTypeStandardInDevice, wire::kReqGetDescriptor,
                      static_cast<uint16_t>(wire::kDtString << 8), 0, 4};
    if (!device.answerControl(setup, langs)) return finish(LIBUSB_ERROR_PIPE);
    if (langs.size() != 4 || langs[0] < 4 || langs[1] != wire::kDtString) {
        return finish(LIBUSB_ERROR_IO);
    }
    std::vector<uint8_t> text;
    setup.value = static_cast<uint16_t>((wire::kDtString << 8) | desc_index);
    setup.index = wire::getU16(langs.data(), 2);
    setup.length = 255;
    if (!device.answerControl(setup, text)) return finish(LIBUSB_ERROR_PIPE);
    if (text.size() < 2 || text[0] > text.size() || text[1] != wire::kDtString) {
        return finish(LIBUSB_ERROR_IO);
    }
    int out = 0;
    for (size_t i = 2; i + 1 < text[0]; i += 2) {
        if (out >= length - 1) break;
        const bool ascii = (text[i] & 0x80) == 0 && text[i + 1] == 0;
        data[out++] = ascii ? text[i] : '?';
    }
    data[out] = 0;
    entry.data.assign(data, data + out);
    return finish(out);
}

}  // extern "C"
