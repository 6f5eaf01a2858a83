// The object behind a device handle.
#pragma once

#include <atomic>
#include <cstdint>

#include "DeviceTable.h"
#include "tessoral/tessoral.h"

namespace tessoral {

struct DeviceHandle {
    U3V_LogCallback LogCallback = nullptr;
    std::atomic<uint8_t> LogMask{0};  // changed from any thread, read by the workers
    libusb_device_handle* UsbHandle = nullptr;
    DeviceEntry* Entry = nullptr;
    uint8_t ControlInterface = 0;
    uint8_t EventInterface = 0;
    uint8_t StreamInterface = 0;
    uint8_t ControlOutEndpoint = 0;
    uint8_t ControlInEndpoint = 0;
    uint8_t EventInEndpoint = 0;
    uint8_t StreamInEndpoint = 0;
    // Set once libusb reported the camera gone; every channel of the handle then answers
    // U3V_ERR_DEVICE_GONE. Read by the worker threads, hence atomic.
    std::atomic<bool> bGone{false};
    // One stream and one event channel at a time: two workers would share one pipe.
    std::atomic<bool> bStreamTaken{false};
    std::atomic<bool> bEventTaken{false};
};

// Notes a libusb result on the handle: true (and the handle marked gone, once logged)
// when it says the device has left the bus.
bool noteGone(DeviceHandle& device, int usbResult);

// Second half of U3V_OpenDevice: opens the entry's USB device into the handle.
uint16_t OpenDeviceEntry(DeviceHandle& device, DeviceEntry& entry);

}  // namespace tessoral
