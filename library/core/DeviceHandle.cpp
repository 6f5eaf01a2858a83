// Device open and close, and the device log mask.
#include "DeviceHandle.h"

#include <libusb.h>

#include <cstring>
#include <map>
#include <mutex>

#include "DeviceLog.h"
#include "ExportFrame.h"
#include "UsbLayer.h"

namespace tessoral {

namespace {
struct OpenCounts {
    std::mutex mutex;
    std::map<libusb_device*, int> count;
};
// Never destroyed: a handle may still be closed while the process winds down.
OpenCounts& openCounts() {
    static auto* counts = new OpenCounts;
    return *counts;
}
}  // namespace

void noteDeviceOpened(libusb_device* dev) {
    OpenCounts& c = openCounts();
    std::lock_guard<std::mutex> lock(c.mutex);
    ++c.count[dev];
}

void noteDeviceClosed(libusb_device* dev) {
    OpenCounts& c = openCounts();
    std::lock_guard<std::mutex> lock(c.mutex);
    const auto it = c.count.find(dev);
    if (it != c.count.end() && --it->second <= 0) c.count.erase(it);
}

bool openHere(libusb_device* dev) {
    OpenCounts& c = openCounts();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.count.count(dev) != 0;
}

uint8_t inUseNow(DeviceEntry& entry) {
    entry.InUse = (entry.HeldElsewhere || openHere(entry.UsbDevice.get())) ? 1 : 0;
    return entry.InUse;
}

bool noteGone(DeviceHandle& device, int usbResult) {
    if (usbResult != LIBUSB_ERROR_NO_DEVICE) return false;
    if (!device.bGone.exchange(true)) DeviceLog(&device, U3V_LOG_ERROR, "Device has left the bus.");
    return true;
}

uint16_t OpenDeviceEntry(DeviceHandle& device, DeviceEntry& entry) {
    // A context of its own, so that its streams never wait on other devices' events.
    device.UsbHandle = usb::open(entry.UsbDevice.get(), true);
    if (device.UsbHandle == nullptr) return U3V_ERR_USB_OPEN;
    device.Entry = &entry;

    device.ControlInterface = entry.ControlInterface;
    device.ControlOutEndpoint = entry.ControlOutEndpoint;
    device.ControlInEndpoint = entry.ControlInEndpoint;
    DeviceLog(&device, U3V_LOG_INFO,
              "Control Interface available. Out pipe -> %02X. In pipe -> %02X",
              device.ControlOutEndpoint, device.ControlInEndpoint);

    device.EventInterface = entry.EventInterface;
    if (device.EventInterface != 0) {
        device.EventInEndpoint = entry.EventInEndpoint;
        DeviceLog(&device, U3V_LOG_INFO, "Event interface available. In pipe -> %02X",
                  device.EventInEndpoint);
    } else {
        DeviceLog(&device, U3V_LOG_INFO, "No Device Event Interface available.");
    }

    device.StreamInterface = entry.StreamInterface;
    if (device.StreamInterface != 0) {
        device.StreamInEndpoint = entry.StreamInEndpoint;
        DeviceLog(&device, U3V_LOG_INFO, "Stream interface available. In pipe -> %02X",
                  device.StreamInEndpoint);
    } else {
        DeviceLog(&device, U3V_LOG_INFO, "No Device Stream Interface available.");
    }

    DeviceLog(&device, U3V_LOG_INFO, "Device U3V %s opened successfully.", entry.DeviceGUID);
    noteDeviceOpened(entry.UsbDevice.get());
    inUseNow(entry);
    return U3V_OK;
}

}  // namespace tessoral

using namespace tessoral;

uint16_t U3V_OpenDevice(const char* guid, void** handle, U3V_LogCallback callback, uint8_t mask) {
    if (guid == nullptr || handle == nullptr) return U3V_ERR_INVALID_HANDLE;
    return guarded([&]() -> uint16_t {
        auto* device = new DeviceHandle();
        // The caller owns the handle from here on, whatever the open gives.
        *handle = device;
        device->LogCallback = callback;
        device->LogMask = mask;

        DeviceEntry* found = nullptr;
        if (deviceTable != nullptr) {
            for (DeviceEntry* entry : deviceTable->Entries) {
                if (std::strcmp(entry->DeviceGUID, guid) == 0) {
                    found = entry;
                    break;
                }
            }
        }
        if (found == nullptr) {
            DeviceLog(device, U3V_LOG_ERROR, "No device found (%s).", guid);
            return U3V_ERR_DEVICE_NOT_FOUND;
        }
        return OpenDeviceEntry(*device, *found);
    });
}

uint16_t U3V_CloseDevice(void* handle) {
    return guardedHandle<DeviceHandle>(handle, [](DeviceHandle& device) -> uint16_t {
        // Interfaces are released by the control channel's close, not here.
        usb::close(device.UsbHandle);
        if (device.Entry != nullptr) {
            noteDeviceClosed(device.Entry->UsbDevice.get());
            inUseNow(*device.Entry);
        }
        delete &device;
        return U3V_OK;
    });
}

uint16_t U3V_SetDetailedLog(void* handle, uint8_t mask) {
    return guardedHandle<DeviceHandle>(handle, [&](DeviceHandle& device) -> uint16_t {
        if (device.bGone) return U3V_ERR_DEVICE_GONE;
        device.LogMask = mask;
        return U3V_OK;
    });
}

uint16_t U3V_GetDetailedLog(void* handle, uint8_t* mask) {
    return guardedHandle<DeviceHandle>(handle, [&](DeviceHandle& device) -> uint16_t {
        if (mask == nullptr) return U3V_ERR_INVALID_HANDLE;
        if (device.bGone) return U3V_ERR_DEVICE_GONE;
        *mask = device.LogMask;
        return U3V_OK;
    });
}
