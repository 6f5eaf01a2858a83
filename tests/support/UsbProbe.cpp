#include "UsbProbe.h"

#include <libusb.h>

namespace testsupport {

namespace {

// Runs f(device) on the first device of the interface-association class.
template <class F>
void withFirstCamera(F&& f) {
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0) return;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(list[i], &desc) != 0) continue;
        if (desc.bDeviceClass == 0xEF && desc.bDeviceSubClass == 0x02 &&
            desc.bDeviceProtocol == 0x01) {
            f(list[i]);
            break;
        }
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    libusb_exit(ctx);
}

}  // namespace

std::vector<uint8_t> readWireConfiguration() {
    std::vector<uint8_t> bytes;
    withFirstCamera([&](libusb_device* dev) {
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_config_descriptor(dev, 0, &config) != 0) return;
        const uint16_t total = config->wTotalLength;
        libusb_free_config_descriptor(config);
        libusb_device_handle* h = nullptr;
        if (libusb_open(dev, &h) != 0) return;
        bytes.resize(total);
        const int r = libusb_get_descriptor(h, LIBUSB_DT_CONFIG, 0, bytes.data(), total);
        bytes.resize(r > 0 ? static_cast<size_t>(r) : 0);
        libusb_close(h);
    });
    return bytes;
}

std::vector<WireDescriptor> splitDescriptors(const std::vector<uint8_t>& bytes) {
    std::vector<WireDescriptor> out;
    for (size_t pos = 0; pos + 2 <= bytes.size() && bytes[pos] >= 2 &&
                         pos + bytes[pos] <= bytes.size();
         pos += bytes[pos])
        out.push_back({pos, bytes[pos], bytes[pos + 1]});
    return out;
}

int findDescriptor(const std::vector<uint8_t>& bytes, uint8_t type, int interfaceProtocol) {
    for (const WireDescriptor& d : splitDescriptors(bytes)) {
        if (d.type != type) continue;
        if (interfaceProtocol >= 0 && (d.length < 9 || bytes[d.offset + 7] != interfaceProtocol))
            continue;
        return static_cast<int>(d.offset);
    }
    return -1;
}

std::vector<EndpointSeen> parsedEndpoints() {
    std::vector<EndpointSeen> out;
    withFirstCamera([&](libusb_device* dev) {
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_config_descriptor(dev, 0, &config) != 0) return;
        for (int i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface& iface = config->interface[i];
            for (int a = 0; a < iface.num_altsetting; ++a) {
                const libusb_interface_descriptor& alt = iface.altsetting[a];
                for (int e = 0; e < alt.bNumEndpoints; ++e) {
                    const libusb_endpoint_descriptor& ep = alt.endpoint[e];
                    out.push_back({alt.bInterfaceProtocol, ep.bEndpointAddress, ep.bmAttributes,
                                   ep.wMaxPacketSize});
                }
            }
        }
        libusb_free_config_descriptor(config);
    });
    return out;
}

}  // namespace testsupport
