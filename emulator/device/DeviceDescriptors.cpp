#include "device/DeviceDescriptors.h"

#include "device/UsbWire.h"

namespace vcam {

using namespace wire;

namespace {

constexpr uint16_t kLangIdEnglishUs = 0x0409;
constexpr uint32_t kGenCpVersion10 = 0x00010000;
constexpr uint32_t kU3vVersion10 = 0x00010000;
constexpr uint8_t kSpeedSupportSuperSpeed = 0x08;

// Decodes UTF-8 into UTF-16 code units; malformed sequences become U+FFFD.
std::vector<uint16_t> utf16(const std::string& text) {
    std::vector<uint16_t> out;
    size_t i = 0;
    while (i < text.size()) {
        const uint8_t lead = static_cast<uint8_t>(text[i]);
        uint32_t cp = 0xFFFD;
        size_t extra = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            cp = lead & 0x1F;
            extra = 1;
        } else if ((lead & 0xF0) == 0xE0) {
            cp = lead & 0x0F;
            extra = 2;
        } else if ((lead & 0xF8) == 0xF0) {
            cp = lead & 0x07;
            extra = 3;
        }
        bool ok = lead < 0x80 || extra > 0;
        size_t j = 1;
        for (; ok && j <= extra; ++j) {
            if (i + j >= text.size() || (static_cast<uint8_t>(text[i + j]) & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (static_cast<uint8_t>(text[i + j]) & 0x3F);
        }
        if (!ok || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            cp = 0xFFFD;
            i += j;  // skip the lead and whatever continuation bytes were good
        } else {
            i += extra + 1;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<uint16_t>(0xD800 | (cp >> 10)));
            out.push_back(static_cast<uint16_t>(0xDC00 | (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<uint16_t>(cp));
        }
    }
    return out;
}

// Adds a string under `index` and returns the index, or 0 (no string) for empty text.
uint8_t addString(DeviceDescriptors& d, uint8_t index, const std::string& text) {
    if (text.empty()) return 0;
    d.strings[index] = stringDescriptor(text);
    return index;
}

// The interface and endpoint writers below append to the configuration and note the
// layout the pipes are made from in the same step, so that the two cannot drift apart.
void addInterface(DeviceDescriptors& d, uint8_t number, uint8_t endpoints, uint8_t cls,
                  uint8_t sub, uint8_t proto) {
    const uint8_t bytes[] = {kInterfaceDescriptorSize, kDtInterface, number, 0, endpoints, cls,
                             sub, proto, 0};
    d.configuration.insert(d.configuration.end(), bytes, bytes + sizeof bytes);
    d.interfaces.push_back({number, cls, sub, proto});
}

void addEndpoint(DeviceDescriptors& d, uint8_t interface, uint8_t address, uint8_t attributes,
                 uint16_t maxPacket, uint8_t interval) {
    std::vector<uint8_t>& out = d.configuration;
    putU8(out, kEndpointDescriptorSize);
    putU8(out, kDtEndpoint);
    putU8(out, address);
    putU8(out, attributes);
    putU16(out, maxPacket);
    putU8(out, interval);
    d.endpoints.push_back({address, attributes, maxPacket, interface});
}

// A camera's bulk endpoint with its SuperSpeed companion.
void addSsBulkEndpoint(DeviceDescriptors& d, uint8_t interface, uint8_t address,
                       uint8_t maxBurst) {
    addEndpoint(d, interface, address, kEpBulk, 1024, 0);
    std::vector<uint8_t>& out = d.configuration;
    putU8(out, kSsCompanionSize);
    putU8(out, kDtSsEndpointCompanion);
    putU8(out, maxBurst);
    putU8(out, 0);   // bmAttributes: no streams
    putU16(out, 0);  // wBytesPerInterval: bulk
}

// String descriptor 0: the one language the devices speak.
std::vector<uint8_t> languageIds() {
    std::vector<uint8_t> langIds;
    putU8(langIds, 4);
    putU8(langIds, kDtString);
    putU16(langIds, kLangIdEnglishUs);
    return langIds;
}

std::vector<uint8_t> deviceDescriptor(uint16_t bcdUsb, uint8_t cls, uint8_t sub, uint8_t proto,
                                      uint8_t maxPacket0, uint16_t vid, uint16_t pid,
                                      uint8_t iManufacturer, uint8_t iProduct, uint8_t iSerial,
                                      uint8_t configurations) {
    std::vector<uint8_t> d;
    putU8(d, kDeviceDescriptorSize);
    putU8(d, kDtDevice);
    putU16(d, bcdUsb);
    putU8(d, cls);
    putU8(d, sub);
    putU8(d, proto);
    putU8(d, maxPacket0);
    putU16(d, vid);
    putU16(d, pid);
    putU16(d, 0x0100);  // bcdDevice
    putU8(d, iManufacturer);
    putU8(d, iProduct);
    putU8(d, iSerial);
    putU8(d, configurations);
    return d;
}

void putConfigHeader(std::vector<uint8_t>& out, uint8_t interfaces, uint8_t attributes,
                     uint8_t maxPower) {
    putU8(out, kConfigDescriptorSize);
    putU8(out, kDtConfiguration);
    putU16(out, 0);  // wTotalLength, patched when the layout is complete
    putU8(out, interfaces);
    putU8(out, 1);  // bConfigurationValue
    putU8(out, 0);  // iConfiguration
    putU8(out, attributes);
    putU8(out, maxPower);
}

}  // namespace

std::vector<uint8_t> stringDescriptor(const std::string& utf8) {
    std::vector<uint16_t> units = utf16(utf8);
    if (units.size() > kMaxStringChars) units.resize(kMaxStringChars);
    std::vector<uint8_t> d;
    putU8(d, static_cast<uint8_t>(2 + 2 * units.size()));
    putU8(d, kDtString);
    for (uint16_t u : units) putU16(d, u);
    return d;
}

DeviceDescriptors DeviceDescriptors::forCamera(const CameraConfig& config) {
    DeviceDescriptors d;
    d.speed = DeviceSpeed::Super;
    const Identity& id = config.identity;

    d.strings[0] = languageIds();
    const uint8_t iVendor = addString(d, 1, id.vendor);
    const uint8_t iModel = addString(d, 2, id.model);
    const uint8_t iSerial = addString(d, 3, id.serialNumber);
    const uint8_t iGuid = addString(d, 4, id.guid);
    const uint8_t iFamily = addString(d, 5, id.family);
    const uint8_t iVersion = addString(d, 6, id.deviceVersion);
    const uint8_t iManufacturerInfo = addString(d, 7, id.manufacturerInfo);
    const uint8_t iUserName = addString(d, 8, id.userDefinedName);

    const bool hasConfiguration = config.discoveryFault != DiscoveryFault::NoConfiguration;
    // Miscellaneous device class with interface association descriptors.
    d.device = deviceDescriptor(0x0300, 0xEF, 0x02, 0x01, 9, config.vendorId, config.productId,
                                iVendor, iModel, iSerial, hasConfiguration ? 1 : 0);

    // BOS: USB 2.0 extension (LPM) and SuperSpeed device capability.
    putU8(d.bos, kBosHeaderSize);
    putU8(d.bos, kDtBos);
    putU16(d.bos, 22);
    putU8(d.bos, 2);
    const uint8_t usb2Ext[] = {7, kDtDeviceCapability, 0x02, 0x02, 0, 0, 0};
    d.bos.insert(d.bos.end(), usb2Ext, usb2Ext + sizeof usb2Ext);
    const uint8_t ssCap[] = {10, kDtDeviceCapability, 0x03, 0x00, 0x0E, 0x00, 0x01, 0x0A, 0xFF,
                             0x07};
    d.bos.insert(d.bos.end(), ssCap, ssCap + sizeof ssCap);

    if (!hasConfiguration) return d;
    d.wireConfiguration = config.wireConfigDescriptor;

    std::vector<uint8_t>& c = d.configuration;
    if (config.discoveryFault == DiscoveryFault::NoInterfaces) {
        putConfigHeader(c, 0, 0x80, 0x70);
        setU16(c, 2, static_cast<uint16_t>(c.size()));
        return d;
    }

    const uint8_t count = static_cast<uint8_t>(1 + (config.hasEvent ? 1 : 0) +
                                               (config.hasStream ? 1 : 0));
    putConfigHeader(c, count, 0x80, 0x70);  // bus-powered, 896 mA
    // One function covers all USB3 Vision interfaces.
    const uint8_t iad[] = {kIadSize, kDtInterfaceAssociation, 0, count, 0xEF, 0x05, 0x00, 0};
    c.insert(c.end(), iad, iad + sizeof iad);

    uint8_t number = 0;
    addInterface(d, number, 2, 0xEF, 0x05, 0x00);
    if (config.discoveryFault != DiscoveryFault::NoDeviceInfo) {
        putU8(c, kU3vDeviceInfoSize);
        putU8(c, kDtU3vDeviceInfo);
        putU8(c, 0x01);  // subtype: device info
        putU32(c, kGenCpVersion10);
        putU32(c, kU3vVersion10);
        const uint8_t indices[] = {iGuid,    iVendor,           iModel,  iFamily,
                                   iVersion, iManufacturerInfo, iSerial, iUserName};
        c.insert(c.end(), indices, indices + sizeof indices);
        putU8(c, kSpeedSupportSuperSpeed);
    }
    addSsBulkEndpoint(d, number, kControlOut, 0);
    addSsBulkEndpoint(d, number, kControlIn, 0);
    ++number;

    if (config.hasEvent) {
        addInterface(d, number, 1, 0xEF, 0x05, 0x01);
        addSsBulkEndpoint(d, number, kEventIn, 0);
        ++number;
    }
    if (config.hasStream) {
        addInterface(d, number, 1, 0xEF, 0x05, 0x02);
        addSsBulkEndpoint(d, number, kStreamIn, 15);  // bursts of 16 packets for image data
    }
    setU16(c, 2, static_cast<uint16_t>(c.size()));
    return d;
}

DeviceDescriptors DeviceDescriptors::forDevice(const DeviceConfig& config) {
    DeviceDescriptors d;
    const bool hid = config.interfaceClass == 0x03;
    d.speed = hid ? DeviceSpeed::Low : DeviceSpeed::Full;

    d.strings[0] = languageIds();
    const uint8_t iManufacturer = addString(d, 1, "Virtual Devices");
    const uint8_t iProduct = addString(d, 2, hid ? "USB Optical Mouse" : "USB Device");

    d.device = deviceDescriptor(0x0200, config.deviceClass, config.deviceSubClass,
                                config.deviceProtocol, hid ? 8 : 64, config.vendorId,
                                config.productId, iManufacturer, iProduct, 0, 1);

    std::vector<uint8_t>& c = d.configuration;
    putConfigHeader(c, 1, 0xA0, 50);  // remote wake-up, 100 mA
    // A HID boot mouse, or a plain interface of the configured class.
    addInterface(d, 0, 1, config.interfaceClass, hid ? 1 : 0, hid ? 2 : 0);
    if (hid) {
        const uint8_t hidDesc[] = {9, kDtHid, 0x11, 0x01, 0, 1, 0x22, 52, 0};
        c.insert(c.end(), hidDesc, hidDesc + sizeof hidDesc);
    }
    const uint16_t maxPacket = hid ? 4 : 64;
    addEndpoint(d, 0, 0x81, kEpInterrupt, maxPacket, 10);
    setU16(c, 2, static_cast<uint16_t>(c.size()));
    return d;
}

}  // namespace vcam
