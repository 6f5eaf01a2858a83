// Wire format of the USB3 Vision control protocol (the USB form of GenCP): command and
// acknowledge packets on the control pipes. Every field is little-endian and goes through
// these helpers; nothing is cast onto the bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ByteOrder.h"

namespace tessoral::control {

constexpr uint32_t kPrefix = 0x43563355;  // "U3VC"
constexpr uint16_t kFlagAckRequested = 0x4000;

constexpr uint16_t kReadMemCmd = 0x0800;
constexpr uint16_t kReadMemAck = 0x0801;
constexpr uint16_t kWriteMemCmd = 0x0802;
constexpr uint16_t kWriteMemAck = 0x0803;
constexpr uint16_t kPendingAck = 0x0805;

constexpr size_t kHeaderSize = 12;          // command and acknowledge header
constexpr size_t kReadMemCmdSize = 24;      // header, address, reserved, count
constexpr size_t kWriteMemHeaderSize = 20;  // header and address; the data follows
constexpr size_t kWriteAckSize = 16;        // with the written-length field
constexpr size_t kPendingTimeoutOffset = 14;

// What the library's fixed buffers carry per transaction.
constexpr size_t kAckBufferSize = 1024;
constexpr size_t kCommandBufferSize = 1056;
constexpr uint16_t kMaxReadData = kAckBufferSize - kHeaderSize;              // 1012
constexpr uint16_t kMaxWriteData = kCommandBufferSize - kWriteMemHeaderSize;  // 1036

struct AckHeader {
    uint32_t prefix;
    uint16_t status;
    uint16_t commandId;
    uint16_t length;
    uint16_t requestId;
};

// p must hold at least kHeaderSize bytes.
inline AckHeader decodeAckHeader(const uint8_t* p) {
    return AckHeader{getLe32(p), getLe16(p + 4), getLe16(p + 6), getLe16(p + 8),
                     getLe16(p + 10)};
}

inline void encodeCommandHeader(uint8_t* p, uint16_t commandId, uint16_t length,
                                uint16_t requestId) {
    putLe32(p, kPrefix);
    putLe16(p + 4, kFlagAckRequested);
    putLe16(p + 6, commandId);
    putLe16(p + 8, length);
    putLe16(p + 10, requestId);
}

// p must hold kReadMemCmdSize bytes.
inline void encodeReadMemCommand(uint8_t* p, uint16_t requestId, uint64_t address,
                                 uint16_t count) {
    encodeCommandHeader(p, kReadMemCmd, 12, requestId);
    putLe64(p + 12, address);
    putLe16(p + 20, 0);
    putLe16(p + 22, count);
}

// Header and address of a write command for dataLength bytes; p must hold
// kWriteMemHeaderSize bytes, the caller puts the data behind them.
inline void encodeWriteMemHeader(uint8_t* p, uint16_t requestId, uint64_t address,
                                 uint16_t dataLength) {
    encodeCommandHeader(p, kWriteMemCmd, static_cast<uint16_t>(dataLength + 8), requestId);
    putLe64(p + 12, address);
}

}  // namespace tessoral::control
