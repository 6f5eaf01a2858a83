// Register addresses of the bootstrap register maps (ABRM at 0, SBRM where the ABRM points)
// and the layout of the GenCP manifest table. All little-endian in camera memory.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "ByteOrder.h"

namespace tessoral::abrm {
constexpr uint64_t kDeviceCapability = 0x01C4;        // 8 bytes
constexpr uint64_t kMaxDeviceResponseTime = 0x01CC;   // 4 bytes, ms
constexpr uint64_t kManifestTableAddress = 0x01D0;    // 8 bytes
constexpr uint64_t kSbrmAddress = 0x01D8;             // 8 bytes
constexpr uint64_t kDeviceConfiguration = 0x01E0;     // 8 bytes
}  // namespace tessoral::abrm

namespace tessoral::sbrm {  // offsets from the SBRM address
constexpr uint64_t kU3vcpCapability = 0x04;           // 8 bytes
constexpr uint64_t kMaxCommandTransferLength = 0x14;  // 4 bytes
constexpr uint64_t kMaxAckTransferLength = 0x18;      // 4 bytes
constexpr uint64_t kNumStreamChannels = 0x1C;         // 4 bytes
constexpr uint64_t kSirmAddress = 0x20;               // 8 bytes
constexpr uint64_t kSirmLength = 0x28;                // 4 bytes
constexpr uint64_t kEirmAddress = 0x2C;               // 8 bytes
constexpr uint64_t kEirmLength = 0x34;                // 4 bytes
}  // namespace tessoral::sbrm

namespace tessoral::manifest {

// The entry count and the first entry; further entries are not used.
constexpr size_t kTableSize = 72;
constexpr uint32_t kFileTypeZip = 0x0400;  // schema-and-type bits 10..15: 1 = zip archive

struct Entry {
    uint64_t count = 0;
    uint32_t fileVersion = 0;
    uint32_t schemaAndType = 0;
    uint64_t fileAddress = 0;
    uint64_t fileSize = 0;
    std::array<uint8_t, 20> sha1{};

    bool zipped() const { return (schemaAndType & kFileTypeZip) != 0; }
};

inline Entry decode(const uint8_t* p) {  // kTableSize bytes
    Entry e;
    e.count = getLe64(p);
    e.fileVersion = getLe32(p + 8);
    e.schemaAndType = getLe32(p + 12);
    e.fileAddress = getLe64(p + 16);
    e.fileSize = getLe64(p + 24);
    std::memcpy(e.sha1.data(), p + 32, e.sha1.size());
    return e;
}

inline void encode(uint8_t* p, const Entry& e) {  // kTableSize bytes, reserved zeroed
    putLe64(p, e.count);
    putLe32(p + 8, e.fileVersion);
    putLe32(p + 12, e.schemaAndType);
    putLe64(p + 16, e.fileAddress);
    putLe64(p + 24, e.fileSize);
    std::memcpy(p + 32, e.sha1.data(), e.sha1.size());
    std::memset(p + 52, 0, 20);
}

}  // namespace tessoral::manifest
