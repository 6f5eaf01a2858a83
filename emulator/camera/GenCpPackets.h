// The USB3 Vision control protocol (GenCP over the control pipes) as the camera sees it:
// command and acknowledge layouts, status values, little-endian field helpers. Written on
// the camera's side of the wire only; nothing here is shared with any host software.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vcam::gencp {

inline constexpr uint32_t kPrefix = 0x43563355;  // "U3VC"
inline constexpr size_t kHeaderSize = 12;
inline constexpr uint16_t kFlagAckRequested = 0x4000;

inline constexpr uint16_t kReadMemCommand = 0x0800;
inline constexpr uint16_t kReadMemAck = 0x0801;
inline constexpr uint16_t kWriteMemCommand = 0x0802;
inline constexpr uint16_t kWriteMemAck = 0x0803;
inline constexpr uint16_t kPendingAck = 0x0805;

inline constexpr size_t kReadMemDataSize = 12;   // address u64, reserved u16, count u16
inline constexpr size_t kWriteMemAddressSize = 8;  // address u64, then the bytes
inline constexpr size_t kWrittenLengthSize = 4;  // reserved u16, bytes written u16
inline constexpr size_t kPendingDataSize = 4;    // reserved u16, time-out u16 (ms)

namespace status {
inline constexpr uint16_t kSuccess = 0x0000;
inline constexpr uint16_t kNotImplemented = 0x8001;
inline constexpr uint16_t kInvalidParameter = 0x8002;
inline constexpr uint16_t kInvalidAddress = 0x8003;
inline constexpr uint16_t kWriteProtect = 0x8004;
inline constexpr uint16_t kBadAlignment = 0x8005;
inline constexpr uint16_t kAccessDenied = 0x8006;
inline constexpr uint16_t kBusy = 0x8007;
inline constexpr uint16_t kInvalidHeader = 0x800E;
}  // namespace status

inline uint16_t getLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t getLe32(const uint8_t* p) {
    return static_cast<uint32_t>(getLe16(p)) | (static_cast<uint32_t>(getLe16(p + 2)) << 16);
}
inline uint64_t getLe64(const uint8_t* p) {
    return static_cast<uint64_t>(getLe32(p)) | (static_cast<uint64_t>(getLe32(p + 4)) << 32);
}
// Any width from 1 to 8 bytes, as registers come.
inline uint64_t getLe(const uint8_t* p, size_t width) {
    uint64_t v = 0;
    for (size_t i = width; i-- > 0;) v = (v << 8) | p[i];
    return v;
}

inline void putLe(uint8_t* p, uint64_t v, size_t width) {
    for (size_t i = 0; i < width; ++i, v >>= 8) p[i] = static_cast<uint8_t>(v & 0xFF);
}
inline void putLe16(uint8_t* p, uint16_t v) { putLe(p, v, 2); }
inline void putLe32(uint8_t* p, uint32_t v) { putLe(p, v, 4); }
inline void putLe64(uint8_t* p, uint64_t v) { putLe(p, v, 8); }

inline void appendLe(std::vector<uint8_t>& out, uint64_t v, size_t width) {
    for (size_t i = 0; i < width; ++i, v >>= 8) out.push_back(static_cast<uint8_t>(v & 0xFF));
}

// The 12-byte header common to commands and acknowledges. In an acknowledge the flags
// field carries the status.
struct Header {
    uint32_t prefix = kPrefix;
    uint16_t flagsOrStatus = 0;
    uint16_t commandId = 0;
    uint16_t length = 0;
    uint16_t requestId = 0;
};

inline Header decodeHeader(const uint8_t* p) {  // p holds at least kHeaderSize bytes
    Header h;
    h.prefix = getLe32(p);
    h.flagsOrStatus = getLe16(p + 4);
    h.commandId = getLe16(p + 6);
    h.length = getLe16(p + 8);
    h.requestId = getLe16(p + 10);
    return h;
}

inline void appendHeader(std::vector<uint8_t>& out, const Header& h) {
    appendLe(out, h.prefix, 4);
    appendLe(out, h.flagsOrStatus, 2);
    appendLe(out, h.commandId, 2);
    appendLe(out, h.length, 2);
    appendLe(out, h.requestId, 2);
}

// Field offsets inside a packet (header included).
inline constexpr size_t kOffsetPrefix = 0;
inline constexpr size_t kOffsetStatus = 4;
inline constexpr size_t kOffsetCommandId = 6;
inline constexpr size_t kOffsetLength = 8;
inline constexpr size_t kOffsetRequestId = 10;
inline constexpr size_t kOffsetAddress = 12;
inline constexpr size_t kOffsetReadCount = 22;
inline constexpr size_t kOffsetWriteData = 20;
inline constexpr size_t kOffsetPendingTimeout = 14;

}  // namespace vcam::gencp
