// u3v-grab, run as a program on the virtual camera: the saved images are the camera's test
// pattern, byte for byte.
#include <gtest/gtest.h>

#ifdef TESSORAL_HAVE_PNG
#include <png.h>
#endif

#include <filesystem>
#include <algorithm>
#include <cstdio>

#include "ToolRunner.h"

using namespace tooltest;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kWidth = 640, kHeight = 480;  // the camera's size after power-on

// The block ids of the files DIR holds with the extension, in order.
std::vector<uint64_t> savedBlockIds(const fs::path& dir, const std::string& extension) {
    std::vector<uint64_t> ids;
    const std::string suffix = "." + extension;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string file = entry.path().filename().string();
        const bool named = file.size() >= 6 + 8 + suffix.size() && file.rfind("image-", 0) == 0 &&
                           file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0;
        const std::string digits = named ? file.substr(6, file.size() - 6 - suffix.size()) : "";
        if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos)
            ids.push_back(std::stoull(digits));
        else
            ADD_FAILURE() << "unexpected file " << file;
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
    EXPECT_EQ(r.out.rfind("6 images in ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find(" frames/s, "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" MB/s; missing transfers 0, drops "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(", images with a bad status 0; 6 saved in " + dir.string() + "\n"), std::string::npos) << r.out;

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
    unsigned long long images = 0;
    double seconds = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str(), "%llu images in %lf s: ", &images, &seconds), 2) << r.out;
    EXPECT_NE(r.out.find("missing transfers 0, "), std::string::npos) << r.out;
    EXPECT_GT(images, 0u);
    EXPECT_GE(seconds, 0.5);
    EXPECT_LT(seconds, 5.0);
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
        {{"--buffers", "0"}, "--buffers takes a number from 1 to 1024"},  // no image could ever arrive
        {{"--format", "tiff"}, "--format is pgm or png"},
        {{"--timeout"}, "--timeout needs a value"},
    };
    for (const auto& [args, message] : usage) {
        const Outcome r = run("u3v-grab", args, {camera(1)});
        EXPECT_EQ(r.status, 2) << message;
        EXPECT_EQ(r.err.rfind("u3v-grab: " + message, 0), 0u) << r.err;
    }
}

// A camera pulled out mid-run: the run stops at once (not at the end of its time), says
// the camera is gone and still sums up what was taken.
TEST(GrabToolTest, UnplugStopsAtOnceWithTheSummary) {
    Launch how;
    how.ini = iniOf({camera(1)});
    how.env = unplugAfterImages(5);
    const Outcome r = launch("u3v-grab", {"--no-save", "--seconds", "30"}, how);
    EXPECT_EQ(r.status, 1);
    unsigned long long images = 99;
    double seconds = 99;
    ASSERT_EQ(std::sscanf(r.out.c_str(), "%llu images in %lf s: ", &images, &seconds), 2) << r.out;
    EXPECT_LE(images, 5u);
    EXPECT_LT(seconds, 10.0) << "ran on after the camera had gone";
    EXPECT_NE(r.out.find(" (camera gone)\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "u3v-grab: camera gone after " + std::to_string(images) + " images\n");
}

}  // namespace
