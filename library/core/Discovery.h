// Discovery of USB3 Vision devices into the device table.
#pragma once

#include <cstdint>

#include "DeviceTable.h"

namespace tessoral {

// Rebuilds table.Entries from the buses; Count changes only when the scan runs to its end.
uint16_t DiscoverDevices(DeviceTable& table);

// Fills entry from the open device: interfaces, pipes, versions, strings, InUse.
// A control interface whose configuration carries no usable device info descriptor cannot
// be opened later (it has no GUID): the result is then U3V_OK with listed false.
uint16_t ReadDeviceDescriptors(DeviceEntry& entry, libusb_device_handle* handle,
                               uint16_t totalLength, bool& listed);

}  // namespace tessoral
