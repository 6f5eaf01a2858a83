// USB chapter 9 wire format as the device side speaks it: descriptor types, standard
// requests and little-endian field helpers. Everything here works on byte vectors or on
// bounds-checked spans; nothing is ever cast onto wire bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vcam::wire {

// Descriptor types.
constexpr uint8_t kDtDevice = 0x01;
constexpr uint8_t kDtConfiguration = 0x02;
constexpr uint8_t kDtString = 0x03;
constexpr uint8_t kDtInterface = 0x04;
constexpr uint8_t kDtEndpoint = 0x05;
constexpr uint8_t kDtInterfaceAssociation = 0x0B;
constexpr uint8_t kDtBos = 0x0F;
constexpr uint8_t kDtDeviceCapability = 0x10;
constexpr uint8_t kDtHid = 0x21;
constexpr uint8_t kDtU3vDeviceInfo = 0x24;  // class-specific interface descriptor
constexpr uint8_t kDtSsEndpointCompanion = 0x30;

// Fixed descriptor sizes.
constexpr size_t kDeviceDescriptorSize = 18;
constexpr size_t kConfigDescriptorSize = 9;
constexpr size_t kInterfaceDescriptorSize = 9;
constexpr size_t kEndpointDescriptorSize = 7;
constexpr size_t kIadSize = 8;
constexpr size_t kSsCompanionSize = 6;
constexpr size_t kU3vDeviceInfoSize = 20;
constexpr size_t kBosHeaderSize = 5;

// Standard requests (bRequest) and the device-to-host standard request type.
constexpr uint8_t kReqGetDescriptor = 0x06;
constexpr uint8_t kRequestTypeStandardInDevice = 0x80;
constexpr size_t kSetupSize = 8;

// Endpoint attributes (transfer type in bits 0..1).
constexpr uint8_t kEpBulk = 0x02;
constexpr uint8_t kEpInterrupt = 0x03;
constexpr uint8_t kEpDirIn = 0x80;

// A string descriptor holds at most 126 UTF-16 code units (bLength is one byte).
constexpr size_t kMaxStringChars = 126;

inline void putU8(std::vector<uint8_t>& out, uint8_t v) { out.push_back(v); }
inline void putU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}
inline void setU16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
    if (at + 2 > out.size()) return;
    out[at] = static_cast<uint8_t>(v & 0xFF);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}
// Reads a little-endian field; the caller has checked that [at, at+2) lies inside.
inline uint16_t getU16(const uint8_t* bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}
inline uint32_t getU32(const uint8_t* bytes, size_t at) {
    return static_cast<uint32_t>(bytes[at]) | (static_cast<uint32_t>(bytes[at + 1]) << 8) |
           (static_cast<uint32_t>(bytes[at + 2]) << 16) |
           (static_cast<uint32_t>(bytes[at + 3]) << 24);
}

// The eight setup bytes of a control transfer.
struct Setup {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
};

}  // namespace vcam::wire
