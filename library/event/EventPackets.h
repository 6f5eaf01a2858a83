// USB3 Vision event command as it arrives on the event pipe, and the event interface
// register map (EIRM). All little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ByteOrder.h"

namespace tessoral::event {

constexpr uint32_t kPrefix = 0x45563355;  // "U3VE"
constexpr uint16_t kEventCommand = 0x0C00;
constexpr uint16_t kTestEventId = 0x4FFF;

// prefix 4, flags 2, command 2, length 2, request id 2, then the command-specific part:
// reserved 2, event id 2, timestamp 8, event data.
constexpr size_t kHeaderSize = 12;
constexpr size_t kFixedSize = 24;      // up to the end of the timestamp
constexpr uint16_t kMinLength = 12;    // command-specific bytes before the event data

// The read buffer holds at least the fixed fields and the eight data bytes handed on,
// and at most this much, whatever Maximum Event Transfer Length the camera reports.
constexpr uint32_t kMinBuffer = 32;
constexpr uint32_t kMaxBuffer = 1u << 20;

constexpr uint64_t kU3vcpCapability = 0x04;  // SBRM offsets
constexpr uint64_t kEirmAvailable = 0x2;     // EIRM_AVAILABLE
constexpr uint64_t kMaxEventTransferLength = 0x04;  // EIRM offsets
constexpr uint64_t kEventTestControl = 0x08;

struct Message {
    uint16_t eventId = 0;
    uint64_t timestamp = 0;
    uint32_t dataLength = 0;
    uint64_t data = 0;  // first eight data bytes, little-endian; bytes not sent read as 0
};

// Decodes one transfer of `received` bytes. false for anything that is not a complete
// event command: too short for its fixed fields or for the length it declares, another
// prefix or command, or a length field below the fixed part.
inline bool decode(const uint8_t* p, size_t received, Message& out) {
    if (received < kFixedSize) return false;
    if (getLe32(p) != kPrefix || getLe16(p + 6) != kEventCommand) return false;
    const uint16_t length = getLe16(p + 8);
    if (length < kMinLength || received < kHeaderSize + length) return false;
    out.eventId = getLe16(p + 14);
    out.timestamp = getLe64(p + 16);
    out.dataLength = static_cast<uint32_t>(length - kMinLength);
    out.data = 0;
    const size_t n = out.dataLength < 8 ? out.dataLength : 8;
    for (size_t i = 0; i < n; ++i) out.data |= static_cast<uint64_t>(p[kFixedSize + i]) << (8 * i);
    return true;
}

}  // namespace tessoral::event
