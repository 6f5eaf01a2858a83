#include "Discovery.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "ByteOrder.h"
#include "DeviceLog.h"
#include "ExportFrame.h"
#include "UsbLayer.h"
#include "tessoral/tessoral.h"

namespace tessoral {

namespace {

// Class code triple of a device built from interface associations.
constexpr uint8_t kIadClass = 0xEF, kIadSubClass = 0x02, kIadProtocol = 0x01;
// USB3 Vision interfaces: class/subclass, then protocol 0 control, 1 event, 2 stream.
constexpr uint8_t kU3vClass = 0xEF, kU3vSubClass = 0x05;
constexpr uint8_t kProtocolControl = 0, kProtocolEvent = 1, kProtocolStream = 2;

constexpr uint8_t kDescInterface = 4, kDescEndpoint = 5, kDescDeviceInfo = 0x24;
constexpr uint8_t kDescConfiguration = 2;
constexpr size_t kInterfaceLength = 9, kEndpointLength = 7, kDeviceInfoLength = 20;

// Device info descriptor offsets.
constexpr size_t kInfoGenCPVersion = 3, kInfoU3VVersion = 7, kInfoFirstString = 11,
                 kInfoSpeedSupport = 19;

bool isControlInterface(const usb::InterfaceSummary& iface) {
    return iface.numAltSettings != 0 && iface.interfaceClass == kU3vClass &&
           iface.interfaceSubClass == kU3vSubClass && iface.interfaceProtocol == kProtocolControl;
}

// Closes the open device at the end of its turn in the scan, however the turn ends.
struct ScopedUsbHandle {
    libusb_device_handle* h;
    ~ScopedUsbHandle() { usb::close(h); }
};

// Walks the descriptors of one configuration and notes interfaces and pipes in entry.
// Only bytes below size are read. Returns whether a device info descriptor was met; its
// first 20 bytes are then in info.
bool walkConfiguration(const uint8_t* bytes, size_t size, DeviceEntry& entry,
                       uint8_t (&info)[kDeviceInfoLength]) {
    bool hasInfo = false;
    int protocol = -1;  // no interface yet
    size_t pos = 0;
    while (size - pos >= 2) {
        const uint8_t* d = bytes + pos;
        const size_t length = d[0];
        // A length that cannot step forward or runs past the end leaves nothing to trust.
        if (length < 2 || length > size - pos) break;
        switch (d[1]) {
            case kDescInterface:
                if (length < kInterfaceLength) break;
                protocol = d[7];
                if (protocol == kProtocolControl) entry.ControlInterface = d[2];
                else if (protocol == kProtocolEvent) entry.EventInterface = d[2];
                else if (protocol == kProtocolStream) entry.StreamInterface = d[2];
                break;
            case kDescEndpoint: {
                if (length < kEndpointLength) break;
                const uint8_t address = d[2];
                DebugTrace("Endpoint found (%d)-> %02X, %02X, max: %d\n", protocol, address, d[3],
                           getLe16(d + 4));
                if (protocol == kProtocolControl) {
                    if (address & 0x80) entry.ControlInEndpoint = address;
                    else entry.ControlOutEndpoint = address;
                } else if (protocol == kProtocolEvent) {
                    entry.EventInEndpoint = address;
                } else if (protocol == kProtocolStream) {
                    entry.StreamInEndpoint = address;
                }
                break;
            }
            case kDescDeviceInfo:
                if (length < kDeviceInfoLength) break;  // malformed: not a device info
                std::memcpy(info, d, kDeviceInfoLength);
                hasInfo = true;
                break;
            default:
                break;
        }
        pos += length;
    }
    return hasInfo;
}

}  // namespace

uint16_t ReadDeviceDescriptors(DeviceEntry& entry, libusb_device_handle* handle,
                               uint16_t totalLength, bool& listed) {
    listed = false;
    uint8_t info[kDeviceInfoLength] = {};
    bool hasInfo;
    {
        std::vector<uint8_t> config(totalLength);
        const int received =
            usb::getDescriptor(handle, kDescConfiguration, 0, config.data(), totalLength);
        if (received < 0) return U3V_ERR_CONFIG_DESCRIPTOR;
        const size_t size = std::min<size_t>(static_cast<size_t>(received), totalLength);
        hasInfo = walkConfiguration(config.data(), size, entry, info);
    }
    if (!hasInfo) {
        DebugTrace("Control interface %d without device info descriptor: device skipped\n",
                   entry.ControlInterface);
        return U3V_OK;
    }

    entry.GenCPVersion = getLe32(info + kInfoGenCPVersion);
    entry.U3VVersion = getLe32(info + kInfoU3VVersion);

    struct StringField {
        char* text;
        int size;
    };
    const StringField strings[] = {
        {entry.DeviceGUID, sizeof entry.DeviceGUID},
        {entry.VendorName, sizeof entry.VendorName},
        {entry.ModelName, sizeof entry.ModelName},
        {entry.FamilyName, sizeof entry.FamilyName},
        {entry.DeviceVersion, sizeof entry.DeviceVersion},
        {entry.ManufacturerInfo, sizeof entry.ManufacturerInfo},
        {entry.SerialNumber, sizeof entry.SerialNumber},
        {entry.UserDefinedName, sizeof entry.UserDefinedName},
    };
    for (size_t i = 0; i < std::size(strings); ++i) {
        if (usb::getStringAscii(handle, info[kInfoFirstString + i], strings[i].text,
                                strings[i].size) < 0)
            return U3V_ERR_STRING_DESCRIPTOR;
    }

    entry.SpeedSupport = info[kInfoSpeedSupport];
    // Probe whether someone holds the camera, and hand the claim straight back: an
    // application opening its control channel meanwhile must not find it taken. A refusal
    // while we have the device open ourselves is most likely our own channel.
    if (usb::claimInterface(handle, entry.ControlInterface) < 0)
        entry.HeldElsewhere = openHere(entry.UsbDevice.get()) ? 0 : 1;
    else
        usb::releaseInterface(handle, entry.ControlInterface);
    inUseNow(entry);
    listed = true;
    return U3V_OK;
}

uint16_t DiscoverDevices(DeviceTable& table) {
    table.Entries.clear();
    if (!usb::init()) return U3V_ERR_USB_OPEN;

    const std::vector<usb::DeviceRef> devices = usb::deviceList();
    for (const usb::DeviceRef& device : devices) {
        usb::DeviceClass cls;
        if (!usb::deviceClass(device.get(), cls) || cls.deviceClass != kIadClass ||
            cls.deviceSubClass != kIadSubClass || cls.deviceProtocol != kIadProtocol)
            continue;

        // The configuration libusb already holds tells cameras from other devices of the
        // same class (webcams, mostly) without opening them: their device nodes are often
        // not open to the user, and that must not fail the scan.
        usb::ConfigSummary config;
        if (!usb::firstConfiguration(device.get(), config)) return U3V_ERR_NO_CONFIGURATION;
        if (config.interfaces.empty()) return U3V_ERR_NO_INTERFACES;
        if (std::none_of(config.interfaces.begin(), config.interfaces.end(), isControlInterface))
            continue;

        ScopedUsbHandle handle{usb::open(device.get())};
        if (handle.h == nullptr) return U3V_ERR_USB_OPEN;

        for (const usb::InterfaceSummary& iface : config.interfaces) {
            if (!isControlInterface(iface)) continue;
            auto entry = std::make_unique<DeviceEntry>();
            entry->UsbDevice = device;
            bool listed = false;
            const uint16_t status =
                ReadDeviceDescriptors(*entry, handle.h, config.totalLength, listed);
            if (status != U3V_OK) return status;
            if (!listed) continue;
            DeviceEntry* kept = entry.get();
            table.allEntries.push_back(std::move(entry));
            table.Entries.push_back(kept);
        }
    }
    table.Count = static_cast<uint16_t>(std::min<size_t>(table.Entries.size(), UINT16_MAX));
    return U3V_OK;
}

}  // namespace tessoral

using namespace tessoral;

uint16_t U3V_DiscoveryDevices(uint16_t* count) {
    if (count == nullptr || deviceTable == nullptr) return U3V_ERR_INVALID_HANDLE;
    const uint16_t status = guarded([] { return DiscoverDevices(*deviceTable); });
    *count = deviceTable->Count;
    return status;
}

uint16_t U3V_GetDeviceInfo(uint16_t device, U3V_DEVICE_INFO* info) {
    if (info == nullptr || deviceTable == nullptr) return U3V_ERR_INVALID_HANDLE;
    return guarded([&]() -> uint16_t {
        DeviceTable& table = *deviceTable;
        // The entries of a failed scan may be fewer than the count of the last good one.
        if (device == 0 || device > table.Count || device > table.Entries.size())
            return U3V_ERR_DEVICE_NOT_FOUND;
        DeviceEntry& e = *table.Entries[device - 1u];
        U3V_DEVICE_INFO copy;
        copy.GenCPVersion = e.GenCPVersion;
        copy.U3VVersion = e.U3VVersion;
        std::memcpy(copy.DeviceGUID, e.DeviceGUID, sizeof copy.DeviceGUID);
        std::memcpy(copy.VendorName, e.VendorName, sizeof copy.VendorName);
        std::memcpy(copy.ModelName, e.ModelName, sizeof copy.ModelName);
        std::memcpy(copy.FamilyName, e.FamilyName, sizeof copy.FamilyName);
        std::memcpy(copy.DeviceVersion, e.DeviceVersion, sizeof copy.DeviceVersion);
        std::memcpy(copy.ManufacturerInfo, e.ManufacturerInfo, sizeof copy.ManufacturerInfo);
        std::memcpy(copy.SerialNumber, e.SerialNumber, sizeof copy.SerialNumber);
        std::memcpy(copy.UserDefinedName, e.UserDefinedName, sizeof copy.UserDefinedName);
        copy.SpeedSupport = e.SpeedSupport;
        copy.InUse = inUseNow(e);
        *info = copy;
        return U3V_OK;
    });
}
