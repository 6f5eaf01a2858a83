#include "Imagebw.h"

#include <cstring>
#include <memory>

namespace {

void fillGreyPalette(BitmapInfo& info) {
    for (int i = 0; i < 256; ++i) {
        info.palette[i][0] = info.palette[i][1] = info.palette[i][2] = static_cast<uint8_t>(i);
        info.palette[i][3] = 0;
    }
}

}  // namespace

ImageBW::ImageBW(int w, int h)
    : ownsPixels(1),
      bitmapInfo(nullptr),
      width(w > 0 && h > 0 ? w : 0),
      height(w > 0 && h > 0 ? h : 0),
      pixels(new uint8_t[static_cast<size_t>(width) * static_cast<size_t>(height)]) {}

ImageBW::~ImageBW() {
    delete bitmapInfo;
    if (ownsPixels) delete[] pixels;
}

void ImageBW::copyFrom(const void* source) {
    if (source != nullptr) std::memcpy(pixels, source, static_cast<size_t>(width) * static_cast<size_t>(height));
}

BitmapInfo* ImageBW::getBitmapInfo() {
    if (bitmapInfo == nullptr) {
        auto info = std::make_unique<BitmapInfo>();
        info->header.width = width;
        info->header.height = height;
        info->header.sizeImage = static_cast<uint32_t>(width) * static_cast<uint32_t>(height);
        info->header.xPelsPerMeter = 72;
        info->header.yPelsPerMeter = 72;
        fillGreyPalette(*info);
        bitmapInfo = info.release();
    }
    return bitmapInfo;
}

// The description names the visible width; rows are read at that width rounded up to a
// multiple of 4, which is how the pixel buffer of the drawn image is laid out.
BitmapInfo* ImageBW::makeDrawingInfo(int visibleWidth) const {
    auto* info = new BitmapInfo();
    info->header.width = visibleWidth;
    info->header.height = -height;
    fillGreyPalette(*info);
    return info;
}

// Bitmap rows must start on 4-byte boundaries; ours have no gaps, so a width that is not a
// multiple of 4 is drawn from a copy whose rows are padded (with black, never shown).
ImageBW* ImageBW::paddedCopy() {
    auto* copy = new ImageBW((width + 3) / 4 * 4, height);
    std::memset(copy->pixels, 0, static_cast<size_t>(copy->width) * static_cast<size_t>(height));
    for (int line = 0; line < height; ++line)
        std::memcpy(copy->pixels + copy->pixelOffset(0, line), pixels + pixelOffset(0, line),
                    static_cast<size_t>(width));
    return copy;
}

void ImageBW::draw(DrawingSurface& surface, int x, int y) {
    if (width % 4 != 0) {
        std::unique_ptr<ImageBW> copy(paddedCopy());
        copy->blit(surface, x, y, width);
        return;
    }
    blit(surface, x, y, width);
}

void ImageBW::blit(DrawingSurface& surface, int x, int y, int visibleWidth) {
    std::unique_ptr<BitmapInfo> info(makeDrawingInfo(visibleWidth));
    surface.setDIBits(x, y, visibleWidth, height, 0, 0, 0, height, pixels, info.get(), DIB_RGB_COLORS);
}

void ImageBW::drawStretched(DrawingSurface& surface, int x, int y, int w, int h) {
    if (width % 4 != 0) {
        std::unique_ptr<ImageBW> copy(paddedCopy());
        copy->blitStretched(surface, x, y, w, h, width);
        return;
    }
    blitStretched(surface, x, y, w, h, width);
}

void ImageBW::blitStretched(DrawingSurface& surface, int x, int y, int w, int h, int visibleWidth) {
    std::unique_ptr<BitmapInfo> info(makeDrawingInfo(visibleWidth));
    surface.setStretchMode(COLORONCOLOR);
    surface.stretchDIBits(x, y, w, h, 0, 0, visibleWidth, height, pixels, info.get(), DIB_RGB_COLORS, SRCCOPY);
}
