// Monochrome image of one byte per pixel, rows from the top without gaps.
#pragma once

#include "Image.h"

class ImageBW : public Image {
public:
    ImageBW(int width, int height);
    ~ImageBW() override;
    ImageBW(const ImageBW&) = delete;
    ImageBW& operator=(const ImageBW&) = delete;

    int getWidth() override { return width; }
    int pixelOffset(int x, int y) override { return x + y * width; }
    int getLineLength() override { return width; }
    int getHeight() override { return height; }
    int getBitsPerPixel() override { return 8; }
    int getBytesPerPixel() override { return 1; }
    uint8_t* getPixels() override { return pixels; }
    void copyFrom(const void* source) override;
    BitmapInfo* getBitmapInfo() override;
    void drawAtOrigin(DrawingSurface& surface) override { draw(surface, 0, 0); }
    void draw(DrawingSurface& surface, int x, int y) override;
    void drawStretched(DrawingSurface& surface, int x, int y, int width, int height) override;

private:
    BitmapInfo* makeDrawingInfo(int visibleWidth) const;
    ImageBW* paddedCopy();
    void blit(DrawingSurface& surface, int x, int y, int visibleWidth);
    void blitStretched(DrawingSurface& surface, int x, int y, int w, int h, int visibleWidth);

    uint8_t ownsPixels;
    BitmapInfo* bitmapInfo;
    int width;
    int height;
    uint8_t* pixels;
};
