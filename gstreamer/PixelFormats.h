// The camera pixel formats the source element hands to GStreamer, and how.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessoralsrc {

struct PixelFormat {
    const char* name;        // the camera's PixelFormat entry
    uint32_t code;           // its value in the image leader
    const char* media;       // "video/x-raw" or "video/x-bayer"
    const char* format;      // the caps' format field
    uint32_t bitsPerPixel;
};

// The formats known, in the order they are offered.
const std::vector<PixelFormat>& pixelFormats();
// By the camera's entry name, or by the caps' media type and format; null when unknown.
const PixelFormat* pixelFormatByName(const std::string& name);
const PixelFormat* pixelFormatByCaps(const std::string& media, const std::string& format);

// Bytes of one row as the camera packs it, and as GStreamer lays out a frame of the
// format by default (rows padded to 4 bytes).
uint64_t packedStride(const PixelFormat& f, uint64_t width);
uint64_t gstStride(const PixelFormat& f, uint64_t width);

}  // namespace tessoralsrc
