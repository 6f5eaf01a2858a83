// The chunks the camera can append to an image, and how they sit in the payload: with
// chunk mode active the payload is the image, the image's tag, then each enabled chunk in
// selector order, each followed by its tag. A tag is the chunk id u32 and the length of
// the data before it u32, little-endian, so that a host finds every chunk from the end of
// the payload backwards. The description file and the stream share this table.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vcam::chunk {

enum Index : uint32_t { kTimestamp, kFrameId, kWidth, kHeight, kExposureTime, kCount };

struct Kind {
    const char* name;  // ChunkSelector entry; the feature is "Chunk" + name
    uint32_t id;
    uint32_t size;
};

inline constexpr Kind kKinds[kCount] = {
    {"Timestamp", 0xA5A50001, 8},     // the leader's timestamp
    {"FrameID", 0xA5A50002, 8},       // the block id
    {"Width", 0xA5A50003, 4},
    {"Height", 0xA5A50004, 4},
    {"ExposureTime", 0xA5A50005, 4},  // microseconds, as the ExposureTime register
};
inline constexpr uint32_t kImageId = 0xA5A50000;
inline constexpr uint32_t kTagSize = 8;
inline constexpr uint16_t kPayloadTypeImageExtendedChunk = 0x4001;

struct Layout {
    bool active = false;
    uint32_t enabled = 0;  // bit i: chunk i
    bool operator==(const Layout&) const = default;
};

// Bytes after the image: 0 when chunk mode is off.
inline uint64_t tailSize(const Layout& layout) {
    if (!layout.active) return 0;
    uint64_t n = kTagSize;
    for (uint32_t i = 0; i < kCount; ++i)
        if (layout.enabled & (1u << i)) n += kKinds[i].size + kTagSize;
    return n;
}

struct Values {
    uint64_t timestamp = 0;
    uint64_t frameId = 0;
    uint32_t width = 0, height = 0, exposureUs = 0;
};

// Writes the tailSize(layout) bytes that follow an image of imageSize bytes.
inline void writeTail(const Layout& layout, uint64_t imageSize, const Values& v, uint8_t* out) {
    auto le = [&out](uint64_t value, int width) {
        for (int i = 0; i < width; ++i) *out++ = static_cast<uint8_t>(value >> (8 * i));
    };
    if (!layout.active) return;
    le(kImageId, 4);
    le(imageSize, 4);
    const uint64_t data[kCount] = {v.timestamp, v.frameId, v.width, v.height, v.exposureUs};
    for (uint32_t i = 0; i < kCount; ++i) {
        if ((layout.enabled & (1u << i)) == 0) continue;
        le(data[i], static_cast<int>(kKinds[i].size));
        le(kKinds[i].id, 4);
        le(kKinds[i].size, 4);
    }
}

}  // namespace vcam::chunk
