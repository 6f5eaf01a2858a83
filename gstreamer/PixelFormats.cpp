#include "PixelFormats.h"

namespace tessoralsrc {

const std::vector<PixelFormat>& pixelFormats() {
    static const std::vector<PixelFormat> formats{
        {"Mono8", 0x01080001, "video/x-raw", "GRAY8", 8},
        {"Mono16", 0x01100007, "video/x-raw", "GRAY16_LE", 16},
        {"RGB8", 0x02180014, "video/x-raw", "RGB", 24},
        {"BGR8", 0x02180015, "video/x-raw", "BGR", 24},
        {"YUV422_8", 0x02100032, "video/x-raw", "YUY2", 16},
        {"YUV422_8_UYVY", 0x0210001F, "video/x-raw", "UYVY", 16},
        {"BayerGR8", 0x01080008, "video/x-bayer", "grbg", 8},
        {"BayerRG8", 0x01080009, "video/x-bayer", "rggb", 8},
        {"BayerGB8", 0x0108000A, "video/x-bayer", "gbrg", 8},
        {"BayerBG8", 0x0108000B, "video/x-bayer", "bggr", 8},
    };
    return formats;
}

const PixelFormat* pixelFormatByName(const std::string& name) {
    for (const PixelFormat& f : pixelFormats())
        if (name == f.name) return &f;
    return nullptr;
}

const PixelFormat* pixelFormatByCaps(const std::string& media, const std::string& format) {
    for (const PixelFormat& f : pixelFormats())
        if (media == f.media && format == f.format) return &f;
    return nullptr;
}

uint64_t packedStride(const PixelFormat& f, uint64_t width) { return width * f.bitsPerPixel / 8; }

uint64_t gstStride(const PixelFormat& f, uint64_t width) { return (packedStride(f, width) + 3) & ~uint64_t{3}; }

}  // namespace tessoralsrc
