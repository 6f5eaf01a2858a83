// u3v-grab, run as a program on the virtual camera: the saved images are the camera's test
// pattern, byte for byte.
#include <gtest/gtest.h>

#ifdef TESSORAL_HAVE_PNG
#include <png.h>
#endif

#include <filesystem>
#include <regex>

#include "ToolRunner.h"

using namespace tooltest;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kWidth = 640, kHeight = 480;  // the camera's size after power-on

// The block ids of the files DIR holds with the extension, in order.
std::vector<uint64_t> savedBlockIds(const fs::path& dir, const std::string& extension) {
    std::vector<uint64_t> ids;
    const std::regex name("image-([0-9]{8,})\\." + extension);
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::smatch m;
        const std::string file = entry.path().filename().string();
        if (std::regex_match(file, m, name)) ids.push_back(std::stoull(m[1]));
        else ADD_FAILURE() << "unexpected file " << file;
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::string fileName(uint64_t blockId, const char* extension) {
    char name[64];
    std::snprintf(name, sizeof name, "image-%08llu.%s", static_cast<unsigned long long>(blockId), extension);
    return name;
}

TEST(GrabToolTest, SavedImagesAreTheCameraPattern) {
    Scratch scratch;
    const fs::path dir = scratch / "images";
    const Outcome r = run("u3v-grab", {"--count", "6", "--buffers", "16", "--output", dir.string()}, {camera(1)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");  // no progress line when standard error is no terminal
    EXPECT_TRUE(std::regex_match(r.out, std::regex("6 images in [0-9.]+ s: [0-9.]+ frames/s, [0-9.]+ MB/s; "
                                                   "missing transfers 0, drops [0-9]+, images with a bad status 0; "
                                                   "6 saved in .*\n")))
        << r.out;

    const std::vector<uint64_t> ids = savedBlockIds(dir, "pgm");
    ASSERT_EQ(ids.size(), 6u);
    EXPECT_EQ(ids.front(), 1u);
    const std::string header = "P5\n640 480\n255\n";
    for (uint64_t id : ids) {
        const std::string file = readFile(dir / fileName(id, "pgm"));
        ASSERT_EQ(file.size(), header.size() + kWidth * kHeight) << id;
        EXPECT_EQ(file.substr(0, header.size()), header);
        EXPECT_EQ(vcam::firstMismatch(id, reinterpret_cast<const uint8_t*>(file.data()) + header.size(),
                                      kWidth * kHeight),
                  -1)
            << "image " << id;
    }
}

#ifdef TESSORAL_HAVE_PNG
TEST(GrabToolTest, PngImagesDecodeToThePattern) {
    Scratch scratch;
    const Outcome r = run("u3v-grab", {"--count", "2", "--format", "png", "-o", (scratch / "p").string()}, {camera(1)});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<uint64_t> ids = savedBlockIds(scratch / "p", "png");
    ASSERT_EQ(ids.size(), 2u);
    for (uint64_t id : ids) {
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_file(&image, (scratch / "p" / fileName(id, "png")).c_str()));
        EXPECT_EQ(image.width, kWidth);
        EXPECT_EQ(image.height, kHeight);
        image.format = PNG_FORMAT_GRAY;
        std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
        ASSERT_TRUE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr));
        EXPECT_EQ(vcam::firstMismatch(id, pixels.data(), pixels.size()), -1) << "image " << id;
    }
}
#endif

TEST(GrabToolTest, ThroughputRunSavesNothing) {
    Scratch scratch;
    const Outcome r = run("u3v-grab", {"--no-save", "--seconds", "0.5", "--transfer-size", "16384", "-o",
                                       (scratch / "none").string()},
                          {camera(1)});
    ASSERT_EQ(r.status, 0) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m, std::regex("([0-9]+) images in ([0-9.]+) s: .*missing transfers 0, .*\n")))
        << r.out;
    EXPECT_GT(std::stoull(m[1]), 0u);
    EXPECT_GE(std::stod(m[2]), 0.5);
    EXPECT_LT(std::stod(m[2]), 5.0);
    EXPECT_FALSE(fs::exists(scratch / "none"));
}

TEST(GrabToolTest, FailuresEndCleanlyWithOneLine) {
    const Outcome noStream = runWithIni("u3v-grab", {"--no-save"}, "[camera]\nhas_stream = false\n");
    EXPECT_EQ(noStream.status, 1);
    EXPECT_EQ(noStream.err.rfind("u3v-grab: cannot open the camera's stream: 0xC014", 0), 0u) << noStream.err;
    EXPECT_EQ(lines(noStream.err).size(), 1u);

    // One image a second, and no more than 300 ms of patience: the run ends, it does not hang.
    const Outcome slow = runWithIni("u3v-grab", {"--no-save", "--count", "3", "--timeout", "300"},
                                    "[camera]\nframe_rate = 1\n");
    EXPECT_EQ(slow.status, 1);
    EXPECT_EQ(slow.err.rfind("u3v-grab: no image came within 300 ms (", 0), 0u) << slow.err;

    const std::pair<std::vector<std::string>, std::string> usage[] = {
        {{"--count", "0"}, "--count takes a number from 1"},
        {{"--count", "2", "--seconds", "1"}, "give --count or --seconds, not both"},
        {{"--seconds", "-1"}, "--seconds takes a positive number"},
        {{"--buffers", "5000"}, "--buffers takes a number from 1 to 1024"},
        {{"--format", "tiff"}, "--format is pgm or png"},
        {{"--timeout"}, "--timeout needs a value"},
    };
    for (const auto& [args, message] : usage) {
        const Outcome r = run("u3v-grab", args, {camera(1)});
        EXPECT_EQ(r.status, 2) << message;
        EXPECT_EQ(r.err.rfind("u3v-grab: " + message, 0), 0u) << r.err;
    }
}

}  // namespace
