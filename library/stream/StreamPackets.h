// USB3 Vision stream wire formats: the stream interface register map (SIRM) and the
// leader and trailer transfers as the engine reads them. All little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ByteOrder.h"

namespace tessoral::stream {

constexpr uint64_t kSirmAvailable = 0x1;  // U3VCP Capability bit 0

// SIRM offsets.
constexpr uint64_t kSiInfo = 0x00;
constexpr uint64_t kSiControl = 0x04;
constexpr uint64_t kSiRequiredPayloadSize = 0x08;
constexpr uint64_t kSiMaximumLeaderSize = 0x18;
constexpr uint64_t kSiPayloadTransferSize = 0x1C;
constexpr uint64_t kSiPayloadTransferCount = 0x20;
constexpr uint64_t kSiPayloadFinalTransfer1Size = 0x24;
constexpr uint64_t kSiPayloadFinalTransfer2Size = 0x28;
constexpr uint64_t kSiMaximumTrailerSize = 0x2C;
constexpr uint32_t kStreamEnable = 0x1;  // SI_Control bit 0

constexpr uint32_t LEADER_MAGIC_KEY = 0x4C563355;   // "U3VL"
constexpr uint32_t TRAILER_MAGIC_KEY = 0x54563355;  // "U3VT"
constexpr uint16_t kPayloadTypeImage = 1;
constexpr uint32_t kMaximumLeaderSize = 1024;
constexpr uint32_t kMaximumTrailerSize = 1024;

// Bytes that must have arrived before a field is read: the image leader up to padding x,
// the generic trailer up to its status.
constexpr size_t kLeaderMinimum = 50;
constexpr size_t kTrailerMinimum = 18;

struct Leader {
    uint32_t nMagicKey = 0;
    uint64_t nBlockId = 0;
    uint16_t nPayloadType = 0;
    uint64_t nTimestamp = 0;
    uint32_t nPixelFormat = 0;
    uint32_t nSizeX = 0, nSizeY = 0, nOffsetX = 0, nOffsetY = 0;
    uint16_t nPaddingX = 0;
};

enum class LeaderCheck { Ok, WrongMagic, NotAnImage };

// Reads only what arrived: a transfer too short for the magic is a wrong magic, one too
// short for the image leader is not an image leader.
inline LeaderCheck decodeLeader(const uint8_t* p, size_t received, Leader& out) {
    if (received < 4 || getLe32(p) != LEADER_MAGIC_KEY) return LeaderCheck::WrongMagic;
    out.nMagicKey = LEADER_MAGIC_KEY;
    if (received < kLeaderMinimum || getLe16(p + 18) != kPayloadTypeImage) return LeaderCheck::NotAnImage;
    out.nBlockId = getLe64(p + 8);
    out.nPayloadType = getLe16(p + 18);
    out.nTimestamp = getLe64(p + 20);
    out.nPixelFormat = getLe32(p + 28);
    out.nSizeX = getLe32(p + 32);
    out.nSizeY = getLe32(p + 36);
    out.nOffsetX = getLe32(p + 40);
    out.nOffsetY = getLe32(p + 44);
    out.nPaddingX = getLe16(p + 48);
    return LeaderCheck::Ok;
}

struct Trailer {
    uint64_t nBlockId = 0;
    uint16_t nStatus = 0;
};

// false unless a whole generic trailer (up to its status) with the right magic arrived.
inline bool decodeTrailer(const uint8_t* p, size_t received, Trailer& out) {
    if (received < kTrailerMinimum || getLe32(p) != TRAILER_MAGIC_KEY) return false;
    out.nBlockId = getLe64(p + 8);
    out.nStatus = getLe16(p + 16);
    return true;
}

}  // namespace tessoral::stream
