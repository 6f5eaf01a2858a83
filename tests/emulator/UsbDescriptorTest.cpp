// The camera's descriptors as an independent USB3 Vision host sees them: raw bytes from
// GET_DESCRIPTOR checked against the layout the standard prescribes, and the parse that
// libusb_get_config_descriptor hands to clients.
#include <cstring>

#include "emulator/UsbWorld.h"

namespace {

using namespace usbtest;

struct Desc {
    size_t offset;
    uint8_t length, type;
};

// Splits configuration bytes into descriptors, checking each lies inside.
std::vector<Desc> walk(const Bytes& bytes) {
    std::vector<Desc> out;
    size_t at = 0;
    while (at + 2 <= bytes.size()) {
        const uint8_t length = bytes[at];
        EXPECT_GE(length, 2) << "at " << at;
        EXPECT_LE(at + length, bytes.size()) << "at " << at;
        if (length < 2 || at + length > bytes.size()) break;
        out.push_back({at, length, bytes[at + 1]});
        at += length;
    }
    EXPECT_EQ(at, bytes.size());
    return out;
}

uint16_t le16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }
uint32_t le32(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at] | (b[at + 1] << 8) | (b[at + 2] << 16)) |
           (static_cast<uint32_t>(b[at + 3]) << 24);
}

vcam::CameraConfig namedCamera() {
    vcam::CameraConfig c;
    c.identity.guid = "VC0000004711";
    c.identity.vendor = "Acme Optics";
    c.identity.model = "Hawk-5";
    c.identity.family = "Hawk";
    c.identity.deviceVersion = "2.3.1";
    c.identity.manufacturerInfo = "Made for tests";
    c.identity.serialNumber = "SN-0042";
    c.identity.userDefinedName = "";
    c.vendorId = 0x2A5B;
    c.productId = 0x0101;
    return c;
}

using CameraDescriptors = UsbWorld;

TEST_F(CameraDescriptors, RawBytesFollowTheUsb3VisionLayout) {
    const vcam::CameraConfig config = namedCamera();
    vcam::addCamera(config);
    libusb_device_handle* h = open(only());

    const Bytes device = descriptor(h, LIBUSB_DT_DEVICE, 0, 18);
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(device[0], 18);
    EXPECT_EQ(device[1], LIBUSB_DT_DEVICE);
    EXPECT_EQ(le16(device, 2), 0x0300);
    EXPECT_EQ(device[4], 0xEF);  // miscellaneous class with interface associations
    EXPECT_EQ(device[5], 0x02);
    EXPECT_EQ(device[6], 0x01);
    EXPECT_EQ(device[7], 9);  // 512-byte control packets at SuperSpeed
    EXPECT_EQ(le16(device, 8), config.vendorId);
    EXPECT_EQ(le16(device, 10), config.productId);
    EXPECT_EQ(ascii(h, device[14]), "Acme Optics");
    EXPECT_EQ(ascii(h, device[15]), "Hawk-5");
    EXPECT_EQ(ascii(h, device[16]), "SN-0042");
    EXPECT_EQ(device[17], 1);

    // The header alone says how much to read, as hosts do it.
    const Bytes header = descriptor(h, LIBUSB_DT_CONFIG, 0, 9);
    ASSERT_EQ(header.size(), 9u);
    const Bytes config1 = descriptor(h, LIBUSB_DT_CONFIG, 0, le16(header, 2));
    ASSERT_EQ(config1.size(), le16(header, 2));
    EXPECT_TRUE(std::equal(header.begin(), header.end(), config1.begin()));

    const std::vector<Desc> d = walk(config1);
    const std::vector<uint8_t> expectedTypes = {
        LIBUSB_DT_CONFIG,    0x0B,             LIBUSB_DT_INTERFACE, 0x24,
        LIBUSB_DT_ENDPOINT,  0x30,             LIBUSB_DT_ENDPOINT,  0x30,
        LIBUSB_DT_INTERFACE, LIBUSB_DT_ENDPOINT, 0x30,             LIBUSB_DT_INTERFACE,
        LIBUSB_DT_ENDPOINT,  0x30};
    std::vector<uint8_t> types;
    for (const Desc& x : d) types.push_back(x.type);
    ASSERT_EQ(types, expectedTypes);

    EXPECT_EQ(config1[4], 3);  // bNumInterfaces
    EXPECT_EQ(config1[5], 1);  // bConfigurationValue

    const Bytes iad(config1.begin() + static_cast<long>(d[1].offset),
                    config1.begin() + static_cast<long>(d[1].offset + d[1].length));
    EXPECT_EQ(iad, (Bytes{8, 0x0B, 0, 3, 0xEF, 0x05, 0x00, iad[7]}));

    struct Itf {
        size_t index;
        uint8_t number, endpoints, protocol;
    };
    for (const Itf& itf : {Itf{2, 0, 2, 0}, Itf{8, 1, 1, 1}, Itf{11, 2, 1, 2}}) {
        const size_t at = d[itf.index].offset;
        EXPECT_EQ(d[itf.index].length, 9);
        EXPECT_EQ(config1[at + 2], itf.number);
        EXPECT_EQ(config1[at + 3], 0);  // alternate setting
        EXPECT_EQ(config1[at + 4], itf.endpoints);
        EXPECT_EQ(config1[at + 5], 0xEF);
        EXPECT_EQ(config1[at + 6], 0x05);
        EXPECT_EQ(config1[at + 7], itf.protocol);
    }

    // Device info descriptor, right after the control interface.
    const size_t info = d[3].offset;
    EXPECT_EQ(d[3].length, 20);
    EXPECT_EQ(config1[info + 2], 0x01);  // subtype
    EXPECT_EQ(le32(config1, info + 3), 0x00010000u);  // GenCP 1.0
    EXPECT_EQ(le32(config1, info + 7), 0x00010000u);  // USB3 Vision 1.0
    const char* expected[] = {"VC0000004711", "Acme Optics", "Hawk-5", "Hawk",
                              "2.3.1", "Made for tests", "SN-0042"};
    for (int i = 0; i < 7; ++i) {
        EXPECT_NE(config1[info + 11 + i], 0) << "string " << i;
        EXPECT_EQ(ascii(h, config1[info + 11 + i]), expected[i]) << "string " << i;
    }
    EXPECT_EQ(config1[info + 18], 0) << "an empty user-defined name has no string";
    EXPECT_NE(config1[info + 19] & 0x08, 0) << "SuperSpeed support";

    struct Ep {
        size_t index;
        uint8_t address;
    };
    for (const Ep& ep : {Ep{4, 0x01}, Ep{6, 0x81}, Ep{9, 0x82}, Ep{12, 0x83}}) {
        const size_t at = d[ep.index].offset;
        EXPECT_EQ(config1[at + 2], ep.address);
        EXPECT_EQ(config1[at + 3], LIBUSB_TRANSFER_TYPE_BULK);
        EXPECT_EQ(le16(config1, at + 4), 1024);
        EXPECT_EQ(d[ep.index + 1].length, 6) << "companion of " << int(ep.address);
    }

    // A request shorter than the descriptor gets exactly what it asked for.
    EXPECT_EQ(descriptor(h, LIBUSB_DT_CONFIG, 0, 20), Bytes(config1.begin(), config1.begin() + 20));
}

TEST_F(CameraDescriptors, ParsedConfigurationCarriesClassBytesInExtra) {
    vcam::addCamera(namedCamera());
    libusb_device* dev = only();
    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_config_descriptor(dev, 0, &config), LIBUSB_SUCCESS);
    ASSERT_EQ(config->bNumInterfaces, 3);

    ASSERT_EQ(config->extra_length, 8);  // the interface association
    EXPECT_EQ(config->extra[1], 0x0B);

    const libusb_interface_descriptor& control = config->interface[0].altsetting[0];
    EXPECT_EQ(config->interface[0].num_altsetting, 1);
    EXPECT_EQ(control.bInterfaceProtocol, 0);
    ASSERT_EQ(control.extra_length, 20);
    EXPECT_EQ(control.extra[1], 0x24);
    EXPECT_EQ(control.extra[2], 0x01);
    ASSERT_EQ(control.bNumEndpoints, 2);
    EXPECT_EQ(control.endpoint[0].bEndpointAddress, 0x01);
    EXPECT_EQ(control.endpoint[1].bEndpointAddress, 0x81);
    for (int i = 0; i < 3; ++i) {
        const libusb_interface_descriptor& alt = config->interface[i].altsetting[0];
        EXPECT_EQ(alt.bInterfaceNumber, i);
        EXPECT_EQ(alt.bInterfaceProtocol, i);
        if (i > 0) {
            EXPECT_EQ(alt.extra_length, 0);
        }
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
            ASSERT_EQ(alt.endpoint[e].extra_length, 6);
            EXPECT_EQ(alt.endpoint[e].extra[1], 0x30);
        }
    }

    const libusb_endpoint_descriptor& stream = config->interface[2].altsetting[0].endpoint[0];
    EXPECT_EQ(stream.bEndpointAddress, 0x83);
    libusb_ss_endpoint_companion_descriptor* comp = nullptr;
    ASSERT_EQ(libusb_get_ss_endpoint_companion_descriptor(ctx, &stream, &comp), LIBUSB_SUCCESS);
    EXPECT_EQ(comp->bLength, 6);
    libusb_free_ss_endpoint_companion_descriptor(comp);
    libusb_free_config_descriptor(config);

    EXPECT_EQ(libusb_get_max_packet_size(dev, 0x83), 1024);
    EXPECT_EQ(libusb_get_max_packet_size(dev, 0x84), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_get_device_speed(dev), LIBUSB_SPEED_SUPER);
    EXPECT_EQ(libusb_get_config_descriptor(dev, 1, &config), LIBUSB_ERROR_NOT_FOUND);

    // A SuperSpeed device describes its capabilities in a BOS descriptor.
    libusb_device_handle* h = open(dev);
    libusb_bos_descriptor* bos = nullptr;
    ASSERT_EQ(libusb_get_bos_descriptor(h, &bos), LIBUSB_SUCCESS);
    bool superSpeed = false;
    for (int i = 0; i < bos->bNumDeviceCaps; ++i) {
        libusb_ss_usb_device_capability_descriptor* ss = nullptr;
        if (libusb_get_ss_usb_device_capability_descriptor(ctx, bos->dev_capability[i], &ss) ==
            LIBUSB_SUCCESS) {
            superSpeed = (ss->wSpeedSupported & 0x08) != 0;
            libusb_free_ss_usb_device_capability_descriptor(ss);
        }
    }
    EXPECT_TRUE(superSpeed);
    libusb_free_bos_descriptor(bos);
}

// Missing interfaces are left out and the rest numbered on; endpoint addresses stay.
TEST_F(CameraDescriptors, AbsentInterfacesAreLeftOut) {
    struct Case {
        bool event, stream;
        std::vector<std::pair<int, uint8_t>> protocolsAndEndpoints;
    };
    const Case cases[] = {
        {false, true, {{0, 0x01}, {2, 0x83}}},
        {true, false, {{0, 0x01}, {1, 0x82}}},
        {false, false, {{0, 0x01}}},
    };
    for (const Case& c : cases) {
        vcam::reset();
        vcam::CameraConfig config;
        config.hasEvent = c.event;
        config.hasStream = c.stream;
        vcam::addCamera(config);
        libusb_device* dev = only();
        libusb_device_handle* h = open(dev);
        const Bytes bytes = descriptor(h, LIBUSB_DT_CONFIG, 0);
        ASSERT_GE(bytes.size(), 17u);
        EXPECT_EQ(bytes[4], c.protocolsAndEndpoints.size());
        EXPECT_EQ(bytes[9 + 3], c.protocolsAndEndpoints.size()) << "IAD interface count";

        libusb_config_descriptor* config1 = nullptr;
        ASSERT_EQ(libusb_get_config_descriptor(dev, 0, &config1), LIBUSB_SUCCESS);
        ASSERT_EQ(config1->bNumInterfaces, c.protocolsAndEndpoints.size());
        for (size_t i = 0; i < c.protocolsAndEndpoints.size(); ++i) {
            const libusb_interface_descriptor& alt = config1->interface[i].altsetting[0];
            EXPECT_EQ(alt.bInterfaceNumber, i);
            EXPECT_EQ(alt.bInterfaceProtocol, c.protocolsAndEndpoints[i].first);
            EXPECT_EQ(alt.endpoint[0].bEndpointAddress, c.protocolsAndEndpoints[i].second);
        }
        libusb_free_config_descriptor(config1);
        EXPECT_EQ(libusb_claim_interface(h, static_cast<int>(c.protocolsAndEndpoints.size())),
                  LIBUSB_ERROR_NOT_FOUND);
    }
}

TEST_F(CameraDescriptors, StringsReadAsLibusbReadsThem) {
    vcam::CameraConfig config;
    config.identity.model = std::string(200, 'M');
    config.identity.vendor = "Caf\xC3\xA9 \xE2\x82\xAC";  // "Café €" in UTF-8
    vcam::addCamera(config);
    libusb_device_handle* h = open(only());

    const Bytes langs = descriptor(h, LIBUSB_DT_STRING, 0);
    EXPECT_EQ(langs, (Bytes{4, LIBUSB_DT_STRING, 0x09, 0x04}));

    // A descriptor holds 126 characters at most; the library's buffer bounds the rest.
    EXPECT_EQ(ascii(h, 2), std::string(126, 'M'));
    EXPECT_EQ(descriptor(h, LIBUSB_DT_STRING, 2).size(), 254u);
    EXPECT_EQ(ascii(h, 2, 64), std::string(63, 'M'));
    unsigned char small[5];
    std::memset(small, 0xAA, sizeof small);
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 2, small, 5), 4);
    EXPECT_EQ(std::memcmp(small, "MMMM", 5), 0) << "NUL-terminated inside the buffer";

    EXPECT_EQ(ascii(h, 1), "Caf? ?") << "non-ASCII characters become '?'";
    unsigned char buf[16];
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 0, buf, 16), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, 99, buf, 16), LIBUSB_ERROR_PIPE);
}

TEST_F(CameraDescriptors, DiscoveryFaultsShowWhereAHostLooks) {
    auto withFault = [&](vcam::DiscoveryFault fault, uint8_t failingString = 0) {
        vcam::reset();
        vcam::CameraConfig config;
        config.discoveryFault = fault;
        config.failingStringIndex = failingString;
        vcam::addCamera(config);
        return only();
    };
    libusb_device_handle* h = nullptr;
    libusb_config_descriptor* config = nullptr;

    libusb_device* dev = withFault(vcam::DiscoveryFault::OpenFails);
    EXPECT_EQ(libusb_open(dev, &h), LIBUSB_ERROR_ACCESS);

    dev = withFault(vcam::DiscoveryFault::NoConfiguration);
    libusb_device_descriptor dd{};
    ASSERT_EQ(libusb_get_device_descriptor(dev, &dd), LIBUSB_SUCCESS);
    EXPECT_EQ(dd.bNumConfigurations, 0);
    EXPECT_EQ(libusb_get_config_descriptor(dev, 0, &config), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_get_active_config_descriptor(dev, &config), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_TRUE(descriptor(open(dev), LIBUSB_DT_CONFIG, 0).empty());

    dev = withFault(vcam::DiscoveryFault::NoInterfaces);
    ASSERT_EQ(libusb_get_config_descriptor(dev, 0, &config), LIBUSB_SUCCESS);
    EXPECT_EQ(config->bNumInterfaces, 0);
    libusb_free_config_descriptor(config);
    EXPECT_EQ(descriptor(open(dev), LIBUSB_DT_CONFIG, 0).size(), 9u);

    dev = withFault(vcam::DiscoveryFault::ConfigReadFails);
    h = open(dev);
    uint8_t buf[64];
    EXPECT_EQ(libusb_get_descriptor(h, LIBUSB_DT_CONFIG, 0, buf, sizeof buf), LIBUSB_ERROR_PIPE);
    ASSERT_EQ(libusb_get_config_descriptor(dev, 0, &config), LIBUSB_SUCCESS);
    libusb_free_config_descriptor(config);

    dev = withFault(vcam::DiscoveryFault::StringReadFails, 2);
    h = open(dev);
    EXPECT_EQ(ascii(h, 2), "<error " + std::to_string(LIBUSB_ERROR_PIPE) + ">");
    EXPECT_EQ(ascii(h, 1), "Tessoral Virtual");

    dev = withFault(vcam::DiscoveryFault::NoDeviceInfo);
    for (const Desc& x : walk(descriptor(open(dev), LIBUSB_DT_CONFIG, 0))) {
        EXPECT_NE(x.type, 0x24);
    }
}

TEST_F(CameraDescriptors, WireConfigurationIsAnsweredAsGiven) {
    vcam::CameraConfig config;
    config.wireConfigDescriptor = Bytes{0x09, 0x02, 0xFF, 0x00, 0x01, 0x01, 0x00, 0x80, 0x70, 0x04};
    vcam::addCamera(config);
    libusb_device* dev = only();
    libusb_device_handle* h = open(dev);
    EXPECT_EQ(descriptor(h, LIBUSB_DT_CONFIG, 0), *config.wireConfigDescriptor);
    EXPECT_EQ(descriptor(h, LIBUSB_DT_CONFIG, 0, 4), Bytes(config.wireConfigDescriptor->begin(),
                                                           config.wireConfigDescriptor->begin() + 4));
    libusb_config_descriptor* parsed = nullptr;
    ASSERT_EQ(libusb_get_config_descriptor(dev, 0, &parsed), LIBUSB_SUCCESS);
    EXPECT_EQ(parsed->bNumInterfaces, 3) << "the parse keeps the regular layout";
    libusb_free_config_descriptor(parsed);
}

TEST_F(CameraDescriptors, RequestsTheDeviceDoesNotKnowStall) {
    vcam::addCamera();
    libusb_device_handle* h = open(only());
    uint8_t buf[8] = {};
    EXPECT_EQ(libusb_control_transfer(h, 0x00, LIBUSB_REQUEST_SET_FEATURE, 1, 0, nullptr, 0, 100),
              LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_control_transfer(h, 0xC0, 0x01, 0, 0, buf, sizeof buf, 100),
              LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_get_descriptor(h, LIBUSB_DT_DEVICE, 1, buf, sizeof buf), LIBUSB_ERROR_PIPE);
}

TEST_F(CameraDescriptors, OtherDevicesAreNoCameras) {
    vcam::addDevice();  // a HID mouse
    libusb_device* dev = only();
    libusb_device_descriptor dd{};
    ASSERT_EQ(libusb_get_device_descriptor(dev, &dd), LIBUSB_SUCCESS);
    EXPECT_EQ(dd.idVendor, 0x046d);
    EXPECT_EQ(dd.bDeviceClass, 0);
    EXPECT_NE(libusb_get_device_speed(dev), LIBUSB_SPEED_SUPER);
    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_config_descriptor(dev, 0, &config), LIBUSB_SUCCESS);
    ASSERT_EQ(config->bNumInterfaces, 1);
    EXPECT_EQ(config->interface[0].altsetting[0].bInterfaceClass, 0x03);
    libusb_free_config_descriptor(config);

    // usbhid owns the interface until it is detached.
    libusb_device_handle* h = open(dev);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), 1);
    EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_set_auto_detach_kernel_driver(h, 1), LIBUSB_SUCCESS);
    EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_SUCCESS);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), 0);
    EXPECT_EQ(libusb_release_interface(h, 0), LIBUSB_SUCCESS);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), 1);
    libusb_bos_descriptor* bos = nullptr;
    EXPECT_EQ(libusb_get_bos_descriptor(h, &bos), LIBUSB_ERROR_PIPE);
}

}  // namespace
