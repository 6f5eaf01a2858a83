// The tool's abstract image and the small in-memory drawing surface it draws on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Description of an 8-bit device-independent bitmap: a 40-byte header and a palette of
// 256 blue/green/red/reserved entries. A negative height means the rows run top-down.
struct BitmapInfoHeader {
    uint32_t size = 40;
    int32_t width = 0;
    int32_t height = 0;
    uint16_t planes = 1;
    uint16_t bitCount = 8;
    uint32_t compression = 0;
    uint32_t sizeImage = 0;
    int32_t xPelsPerMeter = 0;
    int32_t yPelsPerMeter = 0;
    uint32_t clrUsed = 0;
    uint32_t clrImportant = 0;
};
struct BitmapInfo {
    BitmapInfoHeader header;
    uint8_t palette[256][4];
};
static_assert(sizeof(BitmapInfoHeader) == 40);
static_assert(sizeof(BitmapInfo) == 1064);

constexpr int COLORONCOLOR = 3;
constexpr uint32_t DIB_RGB_COLORS = 0;
constexpr uint32_t SRCCOPY = 0x00CC0020;

// A grey canvas that stands where a window's device context would be. Bitmap rows are
// read as a display driver reads them: each row starts on a 4-byte boundary.
class DrawingSurface {
public:
    DrawingSurface(int width, int height, uint8_t background = 0);

    int width() const { return w; }
    int height() const { return h; }
    uint8_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * w + x]; }
    const std::vector<uint8_t>& data() const { return pixels; }

    // Draws rows [0, lines) of the bitmap at natural size with its top left at (x, y).
    int setDIBits(int x, int y, int width, int height, int srcX, int srcY, int startScan, int lines,
                  const void* bits, const BitmapInfo* info, uint32_t usage);
    int setStretchMode(int mode);
    // Nearest-neighbour scaling of the source rectangle onto the destination rectangle.
    int stretchDIBits(int x, int y, int width, int height, int srcX, int srcY, int srcWidth, int srcHeight,
                      const void* bits, const BitmapInfo* info, uint32_t usage, uint32_t rop);

    bool savePgm(const std::string& path) const;

private:
    uint8_t sourcePixel(const uint8_t* bits, const BitmapInfo& info, int sx, int sy) const;
    void put(int x, int y, uint8_t value);

    int w, h;
    int stretchMode = 1;
    std::vector<uint8_t> pixels;
};

class Image {
public:
    virtual ~Image();

    virtual int getWidth() = 0;
    virtual int pixelOffset(int x, int y) = 0;
    virtual int getLineLength() = 0;
    virtual int getHeight() = 0;
    virtual int getBitsPerPixel() = 0;
    virtual int getBytesPerPixel() = 0;
    virtual uint8_t* getPixels() = 0;
    virtual void copyFrom(const void* source) = 0;
    virtual BitmapInfo* getBitmapInfo() = 0;
    virtual void drawAtOrigin(DrawingSurface& surface) = 0;
    virtual void draw(DrawingSurface& surface, int x, int y) = 0;
    virtual void drawStretched(DrawingSurface& surface, int x, int y, int width, int height) = 0;

    uint32_t getPixelFormat() const { return pixelFormat; }
    void setPixelFormat(uint32_t format) { pixelFormat = format; }

protected:
    int systemHandle = -1;  // an OS handle tied to the image, closed with it when set
    int32_t reserved0 = 0;
    uint32_t pixelFormat = 0;
    int32_t reserved1 = 0;
    int32_t reserved2 = -1;
    int32_t reserved3 = 0;
    int32_t reserved4 = 0;
    int32_t reserved5 = 0;
};
