#include "Image.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

Image::~Image() {
    if (systemHandle >= 0) ::close(systemHandle);
}

DrawingSurface::DrawingSurface(int width, int height, uint8_t background)
    : w(std::max(width, 0)), h(std::max(height, 0)), pixels(static_cast<size_t>(w) * h, background) {}

void DrawingSurface::put(int x, int y, uint8_t value) {
    if (x >= 0 && y >= 0 && x < w && y < h) pixels[static_cast<size_t>(y) * w + x] = value;
}

uint8_t DrawingSurface::sourcePixel(const uint8_t* bits, const BitmapInfo& info, int sx, int sy) const {
    const int64_t rows = info.header.height < 0 ? -int64_t{info.header.height} : info.header.height;
    const int64_t stride = (int64_t{info.header.width} + 3) / 4 * 4;
    const int64_t row = info.header.height < 0 ? sy : rows - 1 - sy;
    const uint8_t index = bits[row * stride + sx];
    return info.palette[index][1];  // grey palettes have blue = green = red
}

int DrawingSurface::setDIBits(int x, int y, int width, int height, int srcX, int srcY, int startScan, int lines,
                              const void* bits, const BitmapInfo* info, uint32_t) {
    if (bits == nullptr || info == nullptr || info->header.bitCount != 8 || width <= 0 || height <= 0) return 0;
    const int rows = info->header.height < 0 ? -info->header.height : info->header.height;
    const int last = std::min({srcY + height, startScan + lines, rows});
    const int right = std::min(srcX + width, info->header.width);
    for (int sy = std::max(srcY, startScan); sy < last; ++sy)
        for (int sx = std::max(srcX, 0); sx < right; ++sx)
            put(x + sx - srcX, y + sy - srcY, sourcePixel(static_cast<const uint8_t*>(bits), *info, sx, sy));
    return std::max(last - std::max(srcY, startScan), 0);
}

int DrawingSurface::setStretchMode(int mode) {
    const int previous = stretchMode;
    stretchMode = mode;
    return previous;
}

int DrawingSurface::stretchDIBits(int x, int y, int width, int height, int srcX, int srcY, int srcWidth,
                                  int srcHeight, const void* bits, const BitmapInfo* info, uint32_t, uint32_t) {
    if (bits == nullptr || info == nullptr || info->header.bitCount != 8) return 0;
    if (width <= 0 || height <= 0 || srcWidth <= 0 || srcHeight <= 0) return 0;
    const int rows = info->header.height < 0 ? -info->header.height : info->header.height;
    if (srcX < 0 || srcY < 0 || srcX + srcWidth > info->header.width || srcY + srcHeight > rows) return 0;
    for (int dy = 0; dy < height; ++dy) {
        const int sy = srcY + static_cast<int>(int64_t{dy} * srcHeight / height);
        for (int dx = 0; dx < width; ++dx) {
            const int sx = srcX + static_cast<int>(int64_t{dx} * srcWidth / width);
            put(x + dx, y + dy, sourcePixel(static_cast<const uint8_t*>(bits), *info, sx, sy));
        }
    }
    return height;
}

bool DrawingSurface::savePgm(const std::string& path) const {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    bool ok = std::fprintf(f, "P5\n%d %d\n255\n", w, h) > 0;
    ok = ok && std::fwrite(pixels.data(), 1, pixels.size(), f) == pixels.size();
    return std::fclose(f) == 0 && ok;
}
