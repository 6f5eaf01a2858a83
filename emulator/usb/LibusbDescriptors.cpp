// Device properties and descriptors as libusb hands them out: the device descriptor, the
// configuration parsed the way libusb parses it (class-specific bytes in `extra`), the
// SuperSpeed endpoint companion and the BOS descriptor with its capabilities.
#include <cstdlib>
#include <cstring>

#include "usb/LibusbObjects.h"

using namespace vcam::usb;

namespace {

constexpr int kMaxInterfaces = 32;
constexpr int kMaxEndpoints = 32;

void recordDeviceCall(libusb_device* dev, const char* function, int result) {
    World& world = World::get();
    std::lock_guard<std::mutex> lock(world.mutex());
    CallEntry entry = entryFor(function, dev);
    entry.result = result;
    world.record(std::move(entry));
}

// The configuration as parsed, before it is laid out in libusb's structures.
struct ParsedEndpoint {
    libusb_endpoint_descriptor desc{};
    std::vector<uint8_t> extra;
};
struct ParsedAltsetting {
    libusb_interface_descriptor desc{};
    std::vector<ParsedEndpoint> endpoints;
    std::vector<uint8_t> extra;
};
struct ParsedConfig {
    libusb_config_descriptor desc{};
    std::vector<std::vector<ParsedAltsetting>> interfaces;
    std::vector<uint8_t> extra;
};

bool isStructural(uint8_t type) {
    return type == wire::kDtEndpoint || type == wire::kDtInterface ||
           type == wire::kDtConfiguration || type == wire::kDtDevice;
}

// A cursor over untrusted descriptor bytes; every read is checked against the end.
struct Cursor {
    const uint8_t* data;
    size_t size;
    uint8_t at(size_t i) const { return data[i]; }
    void skip(size_t n) {
        data += n;
        size -= n;
    }
};

// Collects class- and vendor-specific descriptors up to the next structural one.
// Returns < 0 on a malformed descriptor, 1 when a descriptor runs past the end (libusb
// stops parsing there), 0 otherwise.
int collectExtra(Cursor& c, std::vector<uint8_t>& extra) {
    const uint8_t* begin = c.data;
    int result = 0;
    while (c.size >= 2) {
        const uint8_t length = c.at(0);
        if (length < 2) return LIBUSB_ERROR_IO;
        if (length > c.size) {
            result = 1;
            break;
        }
        if (isStructural(c.at(1))) break;
        c.skip(length);
    }
    extra.insert(extra.end(), begin, c.data);
    return result;
}

// Returns bytes consumed, 0 when no endpoint descriptor follows, < 0 on error.
int parseEndpoint(Cursor& c, ParsedEndpoint& ep) {
    const size_t start = c.size;
    if (c.size < 2) return LIBUSB_ERROR_IO;
    const uint8_t length = c.at(0);
    if (c.at(1) != wire::kDtEndpoint || length > c.size) return 0;
    if (length < wire::kEndpointDescriptorSize) return LIBUSB_ERROR_IO;
    ep.desc.bLength = length;
    ep.desc.bDescriptorType = c.at(1);
    ep.desc.bEndpointAddress = c.at(2);
    ep.desc.bmAttributes = c.at(3);
    ep.desc.wMaxPacketSize = wire::getU16(c.data, 4);
    ep.desc.bInterval = c.at(6);
    if (length >= 9) {  // audio endpoints
        ep.desc.bRefresh = c.at(7);
        ep.desc.bSynchAddress = c.at(8);
    }
    c.skip(length);
    const int r = collectExtra(c, ep.extra);
    if (r < 0) return r;
    return static_cast<int>(start - c.size);
}

// Parses all alternate settings of one interface. Returns bytes consumed or < 0.
int parseInterface(Cursor& c, std::vector<ParsedAltsetting>& alts) {
    const size_t start = c.size;
    while (c.size >= wire::kInterfaceDescriptorSize) {
        const uint8_t length = c.at(0);
        if (c.at(1) != wire::kDtInterface) return LIBUSB_ERROR_IO;
        if (length < wire::kInterfaceDescriptorSize || length > c.size) return LIBUSB_ERROR_IO;
        if (c.at(4) > kMaxEndpoints) return LIBUSB_ERROR_IO;
        ParsedAltsetting alt;
        alt.desc.bLength = length;
        alt.desc.bDescriptorType = c.at(1);
        alt.desc.bInterfaceNumber = c.at(2);
        alt.desc.bAlternateSetting = c.at(3);
        alt.desc.bNumEndpoints = c.at(4);
        alt.desc.bInterfaceClass = c.at(5);
        alt.desc.bInterfaceSubClass = c.at(6);
        alt.desc.bInterfaceProtocol = c.at(7);
        alt.desc.iInterface = c.at(8);
        const uint8_t number = alt.desc.bInterfaceNumber;
        c.skip(length);
        const int extra = collectExtra(c, alt.extra);
        if (extra < 0) return extra;
        if (extra == 0) {
            for (int i = 0; i < alt.desc.bNumEndpoints; ++i) {
                ParsedEndpoint ep;
                const int r = parseEndpoint(c, ep);
                if (r < 0) return r;
                if (r == 0) {
                    alt.desc.bNumEndpoints = static_cast<uint8_t>(i);
                    break;
                }
                alt.endpoints.push_back(std::move(ep));
            }
        } else {
            alt.desc.bNumEndpoints = 0;
        }
        alts.push_back(std::move(alt));
        if (extra != 0) break;
        // Another alternate setting of the same interface follows?
        if (c.size < wire::kInterfaceDescriptorSize || c.at(1) != wire::kDtInterface ||
            c.at(2) != number) {
            break;
        }
    }
    return static_cast<int>(start - c.size);
}

int parseConfiguration(const std::vector<uint8_t>& bytes, ParsedConfig& out) {
    Cursor c{bytes.data(), bytes.size()};
    if (c.size < wire::kConfigDescriptorSize) return LIBUSB_ERROR_IO;
    const uint8_t length = c.at(0);
    if (c.at(1) != wire::kDtConfiguration || length < wire::kConfigDescriptorSize ||
        length > c.size) {
        return LIBUSB_ERROR_IO;
    }
    libusb_config_descriptor& d = out.desc;
    d.bLength = length;
    d.bDescriptorType = c.at(1);
    d.wTotalLength = wire::getU16(c.data, 2);
    d.bNumInterfaces = c.at(4);
    d.bConfigurationValue = c.at(5);
    d.iConfiguration = c.at(6);
    d.bmAttributes = c.at(7);
    d.MaxPower = c.at(8);
    if (d.bNumInterfaces > kMaxInterfaces) return LIBUSB_ERROR_IO;
    c.skip(length);
    for (int i = 0; i < d.bNumInterfaces; ++i) {
        const int extra = collectExtra(c, out.extra);
        if (extra < 0) return extra;
        std::vector<ParsedAltsetting> alts;
        const int r = extra == 0 ? parseInterface(c, alts) : 0;
        if (r < 0) return r;
        if (r == 0) {
            d.bNumInterfaces = static_cast<uint8_t>(i);
            break;
        }
        out.interfaces.push_back(std::move(alts));
    }
    return LIBUSB_SUCCESS;
}

const unsigned char* copyExtra(const std::vector<uint8_t>& extra, int& length) {
    length = static_cast<int>(extra.size());
    if (extra.empty()) return nullptr;
    auto* out = new unsigned char[extra.size()];
    std::memcpy(out, extra.data(), extra.size());
    return out;
}

// Lays the parse out in libusb's structures; libusb_free_config_descriptor undoes it.
libusb_config_descriptor* materialize(const ParsedConfig& parsed) {
    auto* config = new libusb_config_descriptor(parsed.desc);
    config->extra = copyExtra(parsed.extra, config->extra_length);
    auto* interfaces = new libusb_interface[parsed.interfaces.size() + 1]();
    for (size_t i = 0; i < parsed.interfaces.size(); ++i) {
        const auto& alts = parsed.interfaces[i];
        auto* settings = new libusb_interface_descriptor[alts.size() + 1]();
        for (size_t a = 0; a < alts.size(); ++a) {
            settings[a] = alts[a].desc;
            settings[a].extra = copyExtra(alts[a].extra, settings[a].extra_length);
            auto* endpoints = new libusb_endpoint_descriptor[alts[a].endpoints.size() + 1]();
            for (size_t e = 0; e < alts[a].endpoints.size(); ++e) {
                endpoints[e] = alts[a].endpoints[e].desc;
                endpoints[e].extra =
                    copyExtra(alts[a].endpoints[e].extra, endpoints[e].extra_length);
            }
            settings[a].endpoint = endpoints;
        }
        interfaces[i].altsetting = settings;
        interfaces[i].num_altsetting = static_cast<int>(alts.size());
    }
    config->interface = interfaces;
    return config;
}

int configDescriptor(libusb_device* dev, libusb_config_descriptor** config) {
    const std::vector<uint8_t>& bytes = dev->device->descriptors().configuration;
    if (bytes.empty()) return LIBUSB_ERROR_NOT_FOUND;
    ParsedConfig parsed;
    const int r = parseConfiguration(bytes, parsed);
    if (r < 0) return r;
    *config = materialize(parsed);
    return LIBUSB_SUCCESS;
}

const libusb_endpoint_descriptor* findEndpoint(const libusb_config_descriptor* config,
                                               unsigned char endpoint) {
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& itf = config->interface[i];
        for (int a = 0; a < itf.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = itf.altsetting[a];
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                if (alt.endpoint[e].bEndpointAddress == endpoint) return &alt.endpoint[e];
            }
        }
    }
    return nullptr;
}

// What libusb reports of an endpoint in the device's configuration: `size` applied to
// its descriptor.
template <typename Size>
int endpointSize(libusb_device* dev, unsigned char endpoint, Size size) {
    if (dev == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    libusb_config_descriptor* config = nullptr;
    if (configDescriptor(dev, &config) < 0) return LIBUSB_ERROR_OTHER;
    const libusb_endpoint_descriptor* ep = findEndpoint(config, endpoint);
    const int r = ep != nullptr ? size(*ep) : static_cast<int>(LIBUSB_ERROR_NOT_FOUND);
    libusb_free_config_descriptor(config);
    return r;
}

// Unpacks a BOS device capability into `Out` once its type and length are right; `fill`
// takes the capability-specific fields.
template <typename Out, typename Fill>
int unpackCapability(const libusb_bos_dev_capability_descriptor* cap, Out** out, uint8_t type,
                     uint8_t minLength, Fill fill) {
    if (cap == nullptr || out == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    if (cap->bDevCapabilityType != type) return LIBUSB_ERROR_INVALID_PARAM;
    if (cap->bLength < minLength) return LIBUSB_ERROR_IO;
    auto* d = new Out;
    d->bLength = cap->bLength;
    d->bDescriptorType = cap->bDescriptorType;
    d->bDevCapabilityType = cap->bDevCapabilityType;
    fill(cap->dev_capability_data, *d);
    *out = d;
    return LIBUSB_SUCCESS;
}

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev,
                                             struct libusb_device_descriptor* desc) {
    if (dev == nullptr || desc == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    // Cached at enumeration, so it stays readable after the device has left.
    const std::vector<uint8_t>& d = dev->device->descriptors().device;
    desc->bLength = d[0];
    desc->bDescriptorType = d[1];
    desc->bcdUSB = wire::getU16(d.data(), 2);
    desc->bDeviceClass = d[4];
    desc->bDeviceSubClass = d[5];
    desc->bDeviceProtocol = d[6];
    desc->bMaxPacketSize0 = d[7];
    desc->idVendor = wire::getU16(d.data(), 8);
    desc->idProduct = wire::getU16(d.data(), 10);
    desc->bcdDevice = wire::getU16(d.data(), 12);
    desc->iManufacturer = d[14];
    desc->iProduct = d[15];
    desc->iSerialNumber = d[16];
    desc->bNumConfigurations = d[17];
    recordDeviceCall(dev, "libusb_get_device_descriptor", LIBUSB_SUCCESS);
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t config_index,
                                             struct libusb_config_descriptor** config) {
    if (dev == nullptr || config == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    const int r = config_index == 0 ? configDescriptor(dev, config) : LIBUSB_ERROR_NOT_FOUND;
    recordDeviceCall(dev, "libusb_get_config_descriptor", r);
    return r;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* dev,
                                                    struct libusb_config_descriptor** config) {
    if (dev == nullptr || config == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    const int r = configDescriptor(dev, config);
    recordDeviceCall(dev, "libusb_get_active_config_descriptor", r);
    return r;
}

int LIBUSB_CALL libusb_get_config_descriptor_by_value(libusb_device* dev,
                                                      uint8_t bConfigurationValue,
                                                      struct libusb_config_descriptor** config) {
    if (dev == nullptr || config == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    const std::vector<uint8_t>& bytes = dev->device->descriptors().configuration;
    int r = LIBUSB_ERROR_NOT_FOUND;
    if (bytes.size() > 5 && bytes[5] == bConfigurationValue) r = configDescriptor(dev, config);
    recordDeviceCall(dev, "libusb_get_config_descriptor_by_value", r);
    return r;
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config) {
    if (config == nullptr) return;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& itf = config->interface[i];
        for (int a = 0; a < itf.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = itf.altsetting[a];
            for (int e = 0; e < alt.bNumEndpoints; ++e) delete[] alt.endpoint[e].extra;
            delete[] alt.endpoint;
            delete[] alt.extra;
        }
        delete[] itf.altsetting;
    }
    delete[] config->interface;
    delete[] config->extra;
    delete config;
}

int LIBUSB_CALL libusb_get_ss_endpoint_companion_descriptor(
    libusb_context*, const struct libusb_endpoint_descriptor* endpoint,
    struct libusb_ss_endpoint_companion_descriptor** ep_comp) {
    if (endpoint == nullptr || ep_comp == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    const unsigned char* p = endpoint->extra;
    int size = endpoint->extra_length;
    while (p != nullptr && size >= 2) {
        const uint8_t length = p[0];
        if (length < 2 || length > size) return LIBUSB_ERROR_IO;
        if (p[1] == wire::kDtSsEndpointCompanion) {
            if (length < wire::kSsCompanionSize) return LIBUSB_ERROR_IO;
            auto* comp = new libusb_ss_endpoint_companion_descriptor;
            comp->bLength = p[0];
            comp->bDescriptorType = p[1];
            comp->bMaxBurst = p[2];
            comp->bmAttributes = p[3];
            comp->wBytesPerInterval = wire::getU16(p, 4);
            *ep_comp = comp;
            return LIBUSB_SUCCESS;
        }
        p += length;
        size -= length;
    }
    return LIBUSB_ERROR_NOT_FOUND;
}

void LIBUSB_CALL libusb_free_ss_endpoint_companion_descriptor(
    struct libusb_ss_endpoint_companion_descriptor* ep_comp) {
    delete ep_comp;
}

int LIBUSB_CALL libusb_get_bos_descriptor(libusb_device_handle* dev_handle,
                                          struct libusb_bos_descriptor** bos) {
    if (dev_handle == nullptr || bos == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    World& world = World::get();
    std::vector<uint8_t> bytes;
    int r = LIBUSB_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(world.mutex());
        libusb_device* dev = dev_handle->dev;
        if (!dev->present()) {
            r = LIBUSB_ERROR_NO_DEVICE;
        } else {
            // The header first for the total length, then everything, as libusb reads it.
            wire::Setup setup{wire::kRequestTypeStandardInDevice, wire::kReqGetDescriptor,
                              static_cast<uint16_t>(wire::kDtBos << 8), 0,
                              static_cast<uint16_t>(wire::kBosHeaderSize)};
            if (!dev->device->answerControl(setup, bytes)) {
                r = LIBUSB_ERROR_PIPE;
            } else if (bytes.size() < wire::kBosHeaderSize || bytes[1] != wire::kDtBos) {
                r = LIBUSB_ERROR_IO;
            } else {
                setup.length = wire::getU16(bytes.data(), 2);
                if (!dev->device->answerControl(setup, bytes)) r = LIBUSB_ERROR_PIPE;
            }
        }
        CallEntry entry = entryFor("libusb_get_bos_descriptor", dev_handle);
        entry.result = r;
        world.record(std::move(entry));
    }
    if (r < 0) return r;
    if (bytes.size() < wire::kBosHeaderSize) return LIBUSB_ERROR_IO;
    const uint8_t declared = bytes[4];
    auto* out = static_cast<libusb_bos_descriptor*>(
        std::calloc(1, sizeof(libusb_bos_descriptor) + declared * sizeof(void*)));
    if (out == nullptr) return LIBUSB_ERROR_NO_MEM;
    out->bLength = bytes[0];
    out->bDescriptorType = bytes[1];
    out->wTotalLength = wire::getU16(bytes.data(), 2);
    size_t at = bytes[0] >= wire::kBosHeaderSize ? bytes[0] : wire::kBosHeaderSize;
    uint8_t found = 0;
    while (found < declared && at + 3 <= bytes.size()) {
        const uint8_t length = bytes[at];
        if (length < 3 || at + length > bytes.size()) break;
        if (bytes[at + 1] == wire::kDtDeviceCapability) {
            auto* cap = static_cast<libusb_bos_dev_capability_descriptor*>(
                std::malloc(sizeof(libusb_bos_dev_capability_descriptor) + length));
            if (cap == nullptr) {
                out->bNumDeviceCaps = found;
                libusb_free_bos_descriptor(out);
                return LIBUSB_ERROR_NO_MEM;
            }
            cap->bLength = length;
            cap->bDescriptorType = bytes[at + 1];
            cap->bDevCapabilityType = bytes[at + 2];
            std::memcpy(cap->dev_capability_data, bytes.data() + at + 3, length - 3u);
            out->dev_capability[found++] = cap;
        }
        at += length;
    }
    out->bNumDeviceCaps = found;
    *bos = out;
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_free_bos_descriptor(struct libusb_bos_descriptor* bos) {
    if (bos == nullptr) return;
    for (int i = 0; i < bos->bNumDeviceCaps; ++i) std::free(bos->dev_capability[i]);
    std::free(bos);
}

int LIBUSB_CALL libusb_get_usb_2_0_extension_descriptor(
    libusb_context*, struct libusb_bos_dev_capability_descriptor* dev_cap,
    struct libusb_usb_2_0_extension_descriptor** usb_2_0_extension) {
    return unpackCapability(dev_cap, usb_2_0_extension, LIBUSB_BT_USB_2_0_EXTENSION,
                            LIBUSB_BT_USB_2_0_EXTENSION_SIZE,
                            [](const uint8_t* data, libusb_usb_2_0_extension_descriptor& out) {
                                out.bmAttributes = wire::getU32(data, 0);
                            });
}

void LIBUSB_CALL libusb_free_usb_2_0_extension_descriptor(
    struct libusb_usb_2_0_extension_descriptor* usb_2_0_extension) {
    delete usb_2_0_extension;
}

int LIBUSB_CALL libusb_get_ss_usb_device_capability_descriptor(
    libusb_context*, struct libusb_bos_dev_capability_descriptor* dev_cap,
    struct libusb_ss_usb_device_capability_descriptor** ss_usb_device_cap) {
    return unpackCapability(
        dev_cap, ss_usb_device_cap, LIBUSB_BT_SS_USB_DEVICE_CAPABILITY,
        LIBUSB_BT_SS_USB_DEVICE_CAPABILITY_SIZE,
        [](const uint8_t* data, libusb_ss_usb_device_capability_descriptor& out) {
            out.bmAttributes = data[0];
            out.wSpeedSupported = wire::getU16(data, 1);
            out.bFunctionalitySupport = data[3];
            out.bU1DevExitLat = data[4];
            out.bU2DevExitLat = wire::getU16(data, 5);
        });
}

void LIBUSB_CALL libusb_free_ss_usb_device_capability_descriptor(
    struct libusb_ss_usb_device_capability_descriptor* ss_usb_device_cap) {
    delete ss_usb_device_cap;
}

int LIBUSB_CALL libusb_get_container_id_descriptor(
    libusb_context*, struct libusb_bos_dev_capability_descriptor* dev_cap,
    struct libusb_container_id_descriptor** container_id) {
    return unpackCapability(dev_cap, container_id, LIBUSB_BT_CONTAINER_ID,
                            LIBUSB_BT_CONTAINER_ID_SIZE,
                            [](const uint8_t* data, libusb_container_id_descriptor& out) {
                                out.bReserved = data[0];
                                std::memcpy(out.ContainerID, data + 1, sizeof out.ContainerID);
                            });
}

void LIBUSB_CALL libusb_free_container_id_descriptor(
    struct libusb_container_id_descriptor* container_id) {
    delete container_id;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev) { return dev ? dev->bus : 0; }

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* dev) { return dev ? dev->port : 0; }

int LIBUSB_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* port_numbers,
                                        int port_numbers_len) {
    if (dev == nullptr || port_numbers == nullptr || port_numbers_len <= 0) {
        return LIBUSB_ERROR_INVALID_PARAM;
    }
    port_numbers[0] = dev->port;  // every device sits on a root hub port
    return 1;
}

int LIBUSB_CALL libusb_get_port_path(libusb_context*, libusb_device* dev, uint8_t* path,
                                     uint8_t path_length) {
    return libusb_get_port_numbers(dev, path, path_length);
}

libusb_device* LIBUSB_CALL libusb_get_parent(libusb_device*) {
    return nullptr;  // root hubs are not listed
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) {
    return dev ? dev->address : 0;
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device* dev) {
    if (dev == nullptr) return LIBUSB_SPEED_UNKNOWN;
    switch (dev->device->descriptors().speed) {
        case vcam::DeviceSpeed::Low: return LIBUSB_SPEED_LOW;
        case vcam::DeviceSpeed::Full: return LIBUSB_SPEED_FULL;
        case vcam::DeviceSpeed::High: return LIBUSB_SPEED_HIGH;
        case vcam::DeviceSpeed::Super: return LIBUSB_SPEED_SUPER;
    }
    return LIBUSB_SPEED_UNKNOWN;
}

int LIBUSB_CALL libusb_get_max_packet_size(libusb_device* dev, unsigned char endpoint) {
    return endpointSize(dev, endpoint, [](const libusb_endpoint_descriptor& ep) {
        return static_cast<int>(ep.wMaxPacketSize);
    });
}

int LIBUSB_CALL libusb_get_max_iso_packet_size(libusb_device* dev, unsigned char endpoint) {
    return endpointSize(dev, endpoint, [](const libusb_endpoint_descriptor& ep) {
        const int type = ep.bmAttributes & 0x03;
        int size = ep.wMaxPacketSize & 0x07FF;
        if (type == LIBUSB_TRANSFER_TYPE_ISOCHRONOUS || type == LIBUSB_TRANSFER_TYPE_INTERRUPT) {
            size *= 1 + ((ep.wMaxPacketSize >> 11) & 3);
        }
        return size;
    });
}

}  // extern "C"
