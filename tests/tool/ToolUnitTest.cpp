// The tool's own classes: text, file, log, firmware catalogue and transfer, library binding and images.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "Acquisition/LibraryBinding.h"
#include "FirmwareCatalogue.h"
#include "FirmwareTransfer.h"
#include "Fileio.h"
#include "Logging.h"
#include "Printable.h"
#include "Stringcls.h"
#include "brannock.h"
#include "image/Imagebw.h"

namespace fs = std::filesystem;

namespace {

TEST(String, FindSearchesEveryStartIncludingTheLast) {
    const String name = "U3V_Bootloader";
    EXPECT_EQ(name.find("_"), 3);
    EXPECT_EQ(String("log.txt").find("_"), -1);
    EXPECT_EQ(name.find(""), 0);
    EXPECT_EQ(name.find("loader"), 8);  // ends exactly at the text's end
    EXPECT_EQ(String("ab").find("abc"), -1);
    EXPECT_EQ(String("").find(""), 0);
    EXPECT_EQ(name.find(String("Boot")), 4);
}

TEST(String, SubstringClampsItsBounds) {
    const String name = "U3V_Bootloader";
    EXPECT_STREQ(name.substring(0, -1).c_str(), "U3V_Bootloader");
    EXPECT_STREQ(name.substring(0, 3).c_str(), "U3V");
    EXPECT_STREQ(name.substring(0, 0).c_str(), "");
    EXPECT_STREQ(name.substring(5, 2).c_str(), "");
    EXPECT_STREQ(name.substring(-4, 3).c_str(), "U3V");
    EXPECT_STREQ(name.substring(4, 99).c_str(), "Bootloader");
    EXPECT_STREQ(name.substring(14, 20).c_str(), "");
    EXPECT_EQ(name.substring(4, 8).length(), 4);
}

TEST(String, EndsWithIsExactAndCaseSensitive) {
    EXPECT_FALSE(String(".").ends_with(".bin"));
    EXPECT_FALSE(String("..").ends_with(".bin"));
    EXPECT_FALSE(String("VCam-1_a.BIN").ends_with(".bin"));
    EXPECT_TRUE(String("VCam-1_a.bin").ends_with(".bin"));
    EXPECT_TRUE(String(".bin").ends_with(".bin"));
    EXPECT_TRUE(String("x").ends_with(""));
    EXPECT_TRUE(String("VCam-1").equals("VCam-1"));
    EXPECT_FALSE(String("VCam-1").equals("VCam-1 "));
    EXPECT_FALSE(String("vcam-1").equals("VCam-1"));
}

TEST(String, ConstructorsAndAssignmentsOwnTheirText) {
    EXPECT_STREQ(String(true).c_str(), "true");
    EXPECT_EQ(String(false).length(), 5);
    EXPECT_STREQ(String(0).c_str(), "0");
    EXPECT_STREQ(String(-12).c_str(), "-12");
    EXPECT_STREQ(String(INT32_MIN).c_str(), "-2147483648");
    EXPECT_STREQ(String().c_str(), "");

    String a = "first";
    String b(a);
    a = "changed";
    EXPECT_STREQ(b.c_str(), "first");
    b = a;
    a = "again";
    EXPECT_STREQ(b.c_str(), "changed");

    String& alias = b;
    b = alias;
    EXPECT_STREQ(b.c_str(), "changed");
    b = b.c_str() + 2;  // a text inside its own buffer
    EXPECT_STREQ(b.c_str(), "anged");
}

TEST(String, GrowKeepsTheTextAndOnlyEnlarges) {
    String s = "abc";
    EXPECT_FALSE(s.grow(3));
    EXPECT_FALSE(s.grow(1));
    EXPECT_STREQ(s.c_str(), "abc");
    ASSERT_TRUE(s.grow(6));
    EXPECT_EQ(s.length(), 6);
    EXPECT_EQ(std::memcmp(s.c_str(), "abc", 4), 0);
}

class FileIOTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("brannock-fileio-" + std::to_string(getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    String path(const char* name) const { return String((dir / name).c_str()); }
    void write(const char* name, const std::string& bytes) const {
        std::ofstream(dir / name, std::ios::binary) << bytes;
    }
    fs::path dir;
};

TEST_F(FileIOTest, OpenFailuresThrowZero) {
    EXPECT_THROW(
        {
            try {
                FileIO f(path("missing.bin"), FIO_READ);
            } catch (int code) {
                EXPECT_EQ(code, 0);
                throw;
            }
        },
        int);
    write("there.bin", "x");
    EXPECT_THROW(FileIO(path("there.bin"), 2), int);  // there is no mode 2
    EXPECT_NO_THROW(FileIO(path("there.bin"), FIO_READ));
}

TEST_F(FileIOTest, SizeRewindsAndReadReportsShortReads) {
    write("image.bin", "0123456789");
    FileIO f(path("image.bin"), FIO_READ);
    char buffer[16] = {};
    ASSERT_EQ(f.read(buffer, 4), 1);
    EXPECT_EQ(f.size(), 10);
    ASSERT_EQ(f.read(buffer, 3), 1);
    EXPECT_EQ(std::string(buffer, 3), "012");  // size went back to the first byte
    EXPECT_EQ(f.read(buffer, 8), 0);           // only 7 left
    EXPECT_EQ(f.read(buffer, 0), 1);
}

TEST_F(FileIOTest, SizeBeyondASigned32BitCountIsRefused) {
    const fs::path big = dir / "huge.bin";
    { std::ofstream(big, std::ios::binary) << ""; }
    std::error_code error;
    fs::resize_file(big, (uintmax_t{1} << 31) + 5, error);  // sparse: costs no disk
    if (error) GTEST_SKIP() << "no sparse file here: " << error.message();
    FileIO f(String(big.c_str()), FIO_READ);
    EXPECT_EQ(f.size(), -1);
}

TEST(Logging, WriteHasNoEffectAtAnyLevel) {
    const fs::path before = fs::current_path();
    const fs::path dir = fs::temp_directory_path() / ("brannock-log-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::current_path(dir);
    testing::internal::CaptureStdout();
    for (int level : {-1, 0, 1, 3, 5, 99}) EXPECT_EQ(toolLog.write(level, "brannock", "f", "value %d", 7), 0);
    Logging another(stdout, "log.txt", 5, 0, 0);
    EXPECT_EQ(another.write(1, "brannock", "f", "%s", "text"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(fs::exists(dir / "log.txt"));
    fs::current_path(before);
    fs::remove_all(dir);
}

TEST(Checksum, DoublesAndAddsEachByte) {
    const uint8_t abc[] = {'a', 'b', 'c', 0};
    EXPECT_EQ(firmware_checksum(abc, 4), 0x556u);
    EXPECT_EQ(firmware_checksum(abc, 0), 0u);
    // Bytes are added as 0..255: a signed sum would give 0xFFFFFDFF here.
    const uint8_t high[] = {0x80, 0xFF, 0x01};
    EXPECT_EQ(firmware_checksum(high, 3), 0x3FFu);
    // Wraps modulo 2^32: after 32 more zero bytes only the shifted-out bits remain.
    std::vector<uint8_t> wrap(36, 0);
    wrap[0] = 0xFF;
    EXPECT_EQ(firmware_checksum(wrap.data(), wrap.size()), 0u);
}

TEST(FirmwareCatalogue, OffersModelPrefixedBinFilesOnly) {
    const String model = "VCam-1";
    EXPECT_TRUE(firmware_suits("VCam-1_2.1.0.bin", model));
    EXPECT_TRUE(firmware_suits("VCam-1_.bin", model));
    EXPECT_FALSE(firmware_suits("VCam-1_2.1.0.BIN", model));
    EXPECT_FALSE(firmware_suits("VCam-1.bin", model));      // no underscore: the whole name is compared
    EXPECT_FALSE(firmware_suits("VCam-12_x.bin", model));
    EXPECT_FALSE(firmware_suits("_VCam-1.bin", model));
    EXPECT_FALSE(firmware_suits("vcam-1_x.bin", model));
    EXPECT_FALSE(firmware_suits("My_Cam_x.bin", "My_Cam"));  // a model with an underscore never matches
    const String loader = BOOTLOADER_MODEL;
    EXPECT_TRUE(firmware_suits("Other_x.bin", loader));
    EXPECT_TRUE(firmware_suits(".bin", loader));
    EXPECT_FALSE(firmware_suits(".", loader));
    EXPECT_FALSE(firmware_suits("..", loader));
    EXPECT_FALSE(firmware_suits("x.bin.txt", loader));
}

TEST(FirmwareCatalogue, HoldsThirtyTwoAndCountsTheRest) {
    FirmwareCatalogue catalogue;
    EXPECT_EQ(firmware_catalogue_add(catalogue, "readme.txt", "VCam-1"), 0);
    for (int i = 1; i <= 35; ++i) {
        const std::string name = "VCam-1_" + std::to_string(i) + ".bin";
        EXPECT_EQ(firmware_catalogue_add(catalogue, name.c_str(), "VCam-1"), i <= 32 ? i : 0);
    }
    EXPECT_EQ(catalogue.entries.size(), 32u);
    EXPECT_EQ(catalogue.skipped, 3);
    EXPECT_STREQ(catalogue.entries[31].c_str(), "VCam-1_32.bin");
}

// Names and camera texts reach the console without anything a terminal would act on.
TEST(Printable, ReplacesControlCharacters) {
    using tool::printable;
    EXPECT_STREQ(printable("VCam-1_\033[2J\n\r\t\x7f.bin").c_str(), "VCam-1_?[2J????.bin");
    EXPECT_STREQ(printable("C1 \xc2\x9b" "31m and \xc2\x85 end").c_str(), "C1 ?31m and ? end");
    EXPECT_STREQ(printable("gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xc2\xa0").c_str(), "gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xc2\xa0");
    EXPECT_STREQ(printable("trailing \xc2").c_str(), "trailing \xc2");
    EXPECT_STREQ(printable(nullptr).c_str(), "");
    // Text with a length of its own: a NUL inside cannot cut what follows from view.
    EXPECT_EQ(printable(std::string("name\0\033]0;title\a", 15)), "name??]0;title?");
    EXPECT_EQ(printable(std::string("\xc2\x9b\xc2\x9b")), "??");
}

TEST(FirmwareTransfer, PaddedLengthRoundsUpWithinTheWindow) {
    EXPECT_EQ(firmware_padded_length(0), 0);
    EXPECT_EQ(firmware_padded_length(1), 4);
    EXPECT_EQ(firmware_padded_length(1004), 1004);
    EXPECT_EQ(firmware_padded_length(1005), 1008);
    EXPECT_EQ(firmware_padded_length(FW_MAX_IMAGE), FW_MAX_IMAGE);
    EXPECT_EQ(firmware_padded_length(FW_MAX_IMAGE + 1), -1);
    EXPECT_EQ(firmware_padded_length(int64_t{1} << 40), -1);
    EXPECT_EQ(firmware_padded_length(-1), -1);
}

// The largest image: pieces cover the window without a gap up to the last byte of the
// 32-bit register space, and the progress values run 0, 1, ... without a repeat, ending at 99.
TEST(FirmwareTransfer, LargestImageCoversTheWindowInOrder) {
    EXPECT_EQ(FW_MAX_IMAGE, 2164260864);  // 0x7F000000 up to 0xFFFFFFFF
    FirmwareTransfer transfer(FW_MAX_IMAGE);
    FirmwareTransfer::Piece piece{};
    int64_t expectedOffset = 0;
    int32_t nextProgress = 0;
    while (transfer.next(piece)) {
        ASSERT_EQ(piece.offset, expectedOffset);
        ASSERT_EQ(piece.address, FW_DATA_BASE + static_cast<uint32_t>(piece.offset));
        ASSERT_TRUE(piece.length == 256 || piece.offset + piece.length == FW_MAX_IMAGE);
        if (piece.progress >= 0) {
            ASSERT_EQ(piece.progress, nextProgress++);
        }
        expectedOffset += piece.length;
    }
    EXPECT_EQ(expectedOffset, FW_MAX_IMAGE);
    EXPECT_EQ(piece.address, 0xFFFFFF00u);
    EXPECT_EQ(int64_t{piece.address} + piece.length, int64_t{1} << 32);
    EXPECT_EQ(nextProgress, 100);
    EXPECT_FALSE(transfer.next(piece));

    FirmwareTransfer empty(0);
    EXPECT_FALSE(empty.next(piece));
}

TEST(LibraryBinding, StopsAtTheFirstMissingFunction) {
    LibraryBinding partial;
    EXPECT_EQ(partial.bind(BINDING_LIBRARY_9), 20);
    EXPECT_NE(partial.U3V_DiscoveryDevices, nullptr);
    EXPECT_NE(partial.U3V_ReadMem, nullptr);
    EXPECT_EQ(partial.U3V_ReadMem(nullptr, 0, 0, nullptr), 9);  // the row's own function
    EXPECT_EQ(partial.U3V_WriteMem, nullptr);
    EXPECT_EQ(partial.U3V_SetTransferSize, nullptr);

    LibraryBinding all;
    EXPECT_EQ(all.bind(BINDING_LIBRARY_22), 0);  // the unbound functions may be absent
    EXPECT_EQ(all.U3V_SetTransferSize(nullptr, 0), 22);
    EXPECT_EQ(all.U3V_DiscoveryDevices(nullptr), 1);

    LibraryBinding none;
    EXPECT_EQ(none.bind("libTessoralNotThere.so.1"), 1);
    EXPECT_EQ(none.U3V_DiscoveryDevices, nullptr);
}

TEST(LibraryBinding, FailureTextsNameTheMissingFunction) {
    EXPECT_EQ(failure_text(20), "The camera library libTessoral.so.1 lacks U3V_WriteMem.");
    EXPECT_EQ(failure_text(32), "The camera library libTessoral.so.1 lacks U3V_SetTransferSize.");
    EXPECT_EQ(failure_text(1), "The camera library libTessoral.so.1 cannot be loaded.");
    EXPECT_EQ(failure_text(33), "Camera access failed (33).");
}

// An image whose pixel (x, y) is 10 * y + x + 1, never 0 (the surface's background).
ImageBW* numbered(int width, int height) {
    auto* image = new ImageBW(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) image->getPixels()[image->pixelOffset(x, y)] = static_cast<uint8_t>(10 * y + x + 1);
    return image;
}

TEST(ImageBW, GeometryAndBitmapDescription) {
    ImageBW image(10, 4);
    EXPECT_EQ(image.pixelOffset(3, 2), 23);
    EXPECT_EQ(image.getLineLength(), 10);
    EXPECT_EQ(image.getBitsPerPixel(), 8);
    BitmapInfo* info = image.getBitmapInfo();
    EXPECT_EQ(image.getBitmapInfo(), info);
    EXPECT_EQ(info->header.height, 4);  // bottom-up
    EXPECT_EQ(info->header.sizeImage, 40u);
    EXPECT_EQ(info->palette[200][0], 200);
    EXPECT_EQ(info->palette[200][3], 0);
}

// Drawn at natural size, every pixel lands in place whatever the width: a width that is
// not a multiple of 4 would shear the picture if its rows were not padded.
TEST(ImageBW, DrawPlacesEveryPixelForAnyWidth) {
    for (int width : {8, 6, 5, 7}) {
        SCOPED_TRACE(width);
        std::unique_ptr<ImageBW> image(numbered(width, 3));
        DrawingSurface surface(12, 6);
        image->draw(surface, 2, 1);
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 12; ++x) {
                const bool inside = x >= 2 && x < 2 + width && y >= 1 && y < 4;
                EXPECT_EQ(surface.at(x, y), inside ? 10 * (y - 1) + (x - 2) + 1 : 0) << x << "," << y;
            }
    }
    std::unique_ptr<ImageBW> image(numbered(3, 2));
    DrawingSurface surface(4, 4);
    image->drawAtOrigin(surface);
    EXPECT_EQ(surface.at(2, 1), 13);
    EXPECT_EQ(surface.at(3, 1), 0);
}

TEST(ImageBW, StretchedDrawingFillsExactlyItsRectangle) {
    std::unique_ptr<ImageBW> image(numbered(6, 3));
    DrawingSurface surface(20, 12);
    image->drawStretched(surface, 3, 2, 13, 7);
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 20; ++x) {
            const bool inside = x >= 3 && x < 16 && y >= 2 && y < 9;
            EXPECT_EQ(surface.at(x, y) != 0, inside) << x << "," << y;
        }
    // Nearest neighbour: the corners show the source's corners.
    EXPECT_EQ(surface.at(3, 2), 1);
    EXPECT_EQ(surface.at(15, 2), 6);
    EXPECT_EQ(surface.at(3, 8), 21);
    EXPECT_EQ(surface.at(15, 8), 26);
    // Doubling maps each source pixel onto a 2 x 2 block.
    DrawingSurface doubled(12, 6);
    image->drawStretched(doubled, 0, 0, 12, 6);
    EXPECT_EQ(doubled.at(8, 4), 25);
    EXPECT_EQ(doubled.at(9, 5), 25);
    EXPECT_EQ(doubled.at(10, 4), 26);
}

TEST(ImageBW, SurfaceSavesAsPgm) {
    std::unique_ptr<ImageBW> image(numbered(3, 2));
    DrawingSurface surface(3, 2);
    image->draw(surface, 0, 0);
    const fs::path file = fs::temp_directory_path() / ("brannock-" + std::to_string(getpid()) + ".pgm");
    ASSERT_TRUE(surface.savePgm(file.string()));
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fs::remove(file);
    EXPECT_EQ(bytes, std::string("P5\n3 2\n255\n\x01\x02\x03\x0b\x0c\x0d", 17));
}

}  // namespace
