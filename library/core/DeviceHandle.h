// The object behind a device handle.
#pragma once

#include <cstdint>

#include "DeviceTable.h"
#include "tessoral/tessoral.h"

namespace tessoral {

struct DeviceHandle {
    U3V_LogCallback LogCallback = nullptr;
    uint8_t LogMask = 0;
    libusb_device_handle* UsbHandle = nullptr;
    DeviceEntry* Entry = nullptr;
    uint8_t ControlInterface = 0;
    uint8_t EventInterface = 0;
    uint8_t StreamInterface = 0;
    uint8_t ControlOutEndpoint = 0;
    uint8_t ControlInEndpoint = 0;
    uint8_t EventInEndpoint = 0;
    uint8_t StreamInEndpoint = 0;
};

// Second half of U3V_OpenDevice: opens the entry's USB device into the handle.
uint16_t OpenDeviceEntry(DeviceHandle& device, DeviceEntry& entry);

}  // namespace tessoral
