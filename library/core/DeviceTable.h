// Process-wide state of the library: the table of discovered devices and the library's
// own directory.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "UsbLayer.h"

namespace tessoral {

// One USB3 Vision control interface found by discovery. Entries are never destroyed while
// the library is loaded: open device handles keep pointing at them.
struct DeviceEntry {
    uint32_t GenCPVersion = 0;
    uint32_t U3VVersion = 0;
    char DeviceGUID[13] = {};
    char VendorName[64] = {};
    char ModelName[64] = {};
    char FamilyName[64] = {};
    char DeviceVersion[64] = {};
    char ManufacturerInfo[64] = {};
    char SerialNumber[64] = {};
    char UserDefinedName[64] = {};
    uint8_t SpeedSupport = 0;
    uint8_t InUse = 0;          // as last worked out by inUseNow
    uint8_t HeldElsewhere = 0;  // discovery's claim failed while no handle of ours was open
    usb::DeviceRef UsbDevice;
    uint8_t ControlInterface = 0;
    uint8_t EventInterface = 0;
    uint8_t StreamInterface = 0;
    uint8_t ControlOutEndpoint = 0;
    uint8_t ControlInEndpoint = 0;
    uint8_t EventInEndpoint = 0;
    uint8_t StreamInEndpoint = 0;
};

struct DeviceTable {
    uint16_t Count = 0;                 // devices of the last discovery that ran to its end
    std::vector<DeviceEntry*> Entries;  // this discovery's entries, in discovery order
    // Every entry ever created; keeps them alive (and reachable) until unload.
    std::vector<std::unique_ptr<DeviceEntry>> allEntries;
};

// Device handles of this process open on each USB device. Entries of several discoveries
// may stand for one device, so InUse is worked out from this count, not kept per entry.
void noteDeviceOpened(libusb_device* dev);
void noteDeviceClosed(libusb_device* dev);
bool openHere(libusb_device* dev);
// Whether a handle of this process (or, as discovery saw it, another program) holds the
// device; also refreshes entry.InUse.
uint8_t inUseNow(DeviceEntry& entry);

// Null before load and after unload.
extern DeviceTable* deviceTable;

// Directory of the library file, without a trailing separator.
extern char LibraryDirectory[260];

}  // namespace tessoral
