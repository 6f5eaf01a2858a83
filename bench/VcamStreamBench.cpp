// Unpaced throughput of the virtual camera's stream pipe, read by a plain libusb-1.0 host
// with several asynchronous reads queued (bench/PlainU3vReader.h), for three Mono8 sizes;
// against the floor of this machine measured in the same run: memcpy of the same image.
// Each payload is checked against the test pattern once, outside the timed loop.
//
//   vcam_<W>x<H>_mb_s: X          images read with 64 KiB payload transfers
//   vcam_<W>x<H>_1mib_mb_s: X     the same with 1 MiB transfers
//   memcpy_<W>x<H>_mb_s: X        one copy of the image, cache-cold source
//
// Small regions on a modelled bus: 64x64 Mono8 paced at 20,000 images a second with a
// completion latency of 50 us, read with 16 images' reads in flight and with one read at
// a time; against the camera's own rate (the ratio's floor is 1.0 for the pipelined host).
//
//   vcam_64x64_20000fps_pipelined_images_s: X    images delivered per second
//   vcam_64x64_20000fps_pipelined_ratio: X       of the camera's rate
//   vcam_64x64_20000fps_pipelined_dropped: N     images the camera could not keep
//   vcam_64x64_20000fps_one_in_flight_images_s: X  the same host with one read queued
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "PlainU3vReader.h"
#include "vcam/vcam.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Enough images for about a quarter of a second at a few GB/s, at least 20.
uint64_t imagesFor(uint64_t bytes) { return std::max<uint64_t>(20, (1ull << 30) / bytes); }

double readerMbPerSecond(uint32_t width, uint32_t height, uint32_t transferSize, bool* patternOk) {
    vcam::reset();
    vcam::CameraConfig config;
    config.streamBytesPerSecond = 0;  // unpaced
    vcam::addCamera(config);
    bench::PlainU3vReader reader;
    bench::PlainU3vReader::Options options;
    options.width = width;
    options.height = height;
    options.transferSize = transferSize;
    std::string error;
    if (!reader.open(&error) || !reader.start(options, &error)) {
        std::fprintf(stderr, "%ux%u: %s\n", width, height, error.c_str());
        return 0;
    }
    const uint64_t size = reader.payloadSize();
    bool ok = true;
    if (reader.run(2, [&](uint64_t blockId, const uint8_t* payload, size_t n) {
            ok = ok && vcam::firstMismatch(blockId, payload, n) == -1;
        }) != 2) {
        std::fprintf(stderr, "%ux%u: %s\n", width, height, reader.error().c_str());
        return 0;
    }
    if (patternOk) *patternOk = ok;
    const uint64_t images = imagesFor(size);
    uint64_t checksum = 0;
    const Clock::time_point begin = Clock::now();
    const long got = reader.run(images, [&](uint64_t blockId, const uint8_t* payload, size_t) {
        checksum += blockId + payload[size - 1];
    });
    const double elapsed = seconds(begin);
    if (got != static_cast<long>(images)) {
        std::fprintf(stderr, "%ux%u: %s\n", width, height, reader.error().c_str());
        return 0;
    }
    std::fprintf(stderr, "# %ux%u: %llu images in %.3f s (checksum %llu)\n", width, height,
                 static_cast<unsigned long long>(images), elapsed, static_cast<unsigned long long>(checksum));
    reader.close();
    return static_cast<double>(images * size) / elapsed / 1e6;
}

double memcpyMbPerSecond(uint64_t size) {
    // Several sources, so that an image-sized copy does not come from cache each time as
    // the camera's pattern does not either.
    std::vector<std::vector<uint8_t>> sources(4, std::vector<uint8_t>(size + 251, 1));
    std::vector<uint8_t> destination(size);
    const uint64_t images = imagesFor(size);
    const Clock::time_point begin = Clock::now();
    for (uint64_t i = 0; i < images; ++i) {
        std::memcpy(destination.data(), sources[i % sources.size()].data() + i % 251, size);
        asm volatile("" : : "r"(destination.data()) : "memory");
    }
    return static_cast<double>(images * size) / seconds(begin) / 1e6;
}

struct SmallRegion {
    double imagesPerSecond = 0;
    uint64_t dropped = 0;
};

SmallRegion smallRegion(int queued) {
    constexpr uint32_t kRate = 20000;
    vcam::reset();
    vcam::CameraConfig config;
    config.streamBytesPerSecond = 0;
    config.frameRate = kRate;
    config.transferLatencyUs = 50;
    const int id = vcam::addCamera(config);
    bench::PlainU3vReader reader;
    bench::PlainU3vReader::Options options;
    options.width = 64;
    options.height = 64;
    options.transferSize = 4096;
    options.queued = queued;
    options.imageBuffers = 17;
    std::string error;
    if (!reader.open(&error) || !reader.start(options, &error)) {
        std::fprintf(stderr, "64x64: %s\n", error.c_str());
        return {};
    }
    reader.run(100, [](uint64_t, const uint8_t*, size_t) {});  // under way
    const uint64_t droppedBefore = vcam::streamStats(id).dropped;
    const uint64_t images = kRate;  // one second's worth
    const Clock::time_point begin = Clock::now();
    const long got = reader.run(images, [](uint64_t, const uint8_t*, size_t) {});
    const double elapsed = seconds(begin);
    SmallRegion out;
    out.dropped = vcam::streamStats(id).dropped - droppedBefore;
    if (got == static_cast<long>(images)) out.imagesPerSecond = static_cast<double>(images) / elapsed;
    else std::fprintf(stderr, "64x64: %s\n", reader.error().c_str());
    reader.close();
    return out;
}

}  // namespace

int main() {
    vcam::setCallRecord(false);
    const std::pair<uint32_t, uint32_t> sizes[] = {{640, 480}, {1920, 1200}, {4096, 3000}};
    int failures = 0;
    for (const auto& [w, h] : sizes) {
        bool ok = false;
        const double vcam64k = readerMbPerSecond(w, h, 65536, &ok);
        const double vcam1m = readerMbPerSecond(w, h, 1u << 20, nullptr);
        const double floor = memcpyMbPerSecond(uint64_t{w} * h);
        if (!ok || vcam64k == 0 || vcam1m == 0) ++failures;
        std::printf("vcam_%ux%u_mb_s: %.0f\n", w, h, vcam64k);
        std::printf("vcam_%ux%u_1mib_mb_s: %.0f\n", w, h, vcam1m);
        std::printf("memcpy_%ux%u_mb_s: %.0f\n", w, h, floor);
        std::printf("pattern_ok_%ux%u: %d\n", w, h, ok ? 1 : 0);
        std::fflush(stdout);
    }
    const SmallRegion pipelined = smallRegion(48);
    const SmallRegion single = smallRegion(1);
    if (pipelined.imagesPerSecond == 0 || single.imagesPerSecond == 0) ++failures;
    std::printf("vcam_64x64_20000fps_pipelined_images_s: %.0f\n", pipelined.imagesPerSecond);
    std::printf("vcam_64x64_20000fps_pipelined_ratio: %.3f\n", pipelined.imagesPerSecond / 20000);
    std::printf("vcam_64x64_20000fps_pipelined_dropped: %llu\n", static_cast<unsigned long long>(pipelined.dropped));
    std::printf("vcam_64x64_20000fps_one_in_flight_images_s: %.0f\n", single.imagesPerSecond);
    return failures == 0 ? 0 : 1;
}
