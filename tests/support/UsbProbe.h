// Looks at the virtual world with plain libusb-1.0 calls, beside the library: what a
// camera really sends, so that tests can derive expectations from the device itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct WireDescriptor {
    size_t offset = 0;
    uint8_t length = 0;
    uint8_t type = 0;
};

// The configuration descriptor bytes (GET_DESCRIPTOR, full total length) of the first
// device of the USB3 Vision device class; empty when there is none.
std::vector<uint8_t> readWireConfiguration();

// The descriptors of well-formed configuration bytes, in order.
std::vector<WireDescriptor> splitDescriptors(const std::vector<uint8_t>& bytes);

// First descriptor of the type (and, for interfaces, the protocol); -1 when absent.
int findDescriptor(const std::vector<uint8_t>& bytes, uint8_t type, int interfaceProtocol = -1);

struct EndpointSeen {
    int protocol = 0;  // interface protocol of the interface the endpoint belongs to
    uint8_t address = 0;
    uint8_t attributes = 0;
    uint16_t maxPacketSize = 0;
};
// The endpoints of the first device of the USB3 Vision device class, in descriptor order,
// as libusb parses them.
std::vector<EndpointSeen> parsedEndpoints();

}  // namespace testsupport
