// Unpaced images through U3V_GetImage against the floor measured in the same run: the
// same images read by plain libusb-1.0 asynchronous transfers on the same virtual camera
// (PlainU3vReader, several reads in flight), plus one copy into the caller's memory. Prints `name: value` lines; `ratio <W>x<H>` is
// library / floor in images per second.
#include <algorithm>
#include <cstdlib>

#include <string>

#include "BenchCamera.h"
#include "PlainU3vReader.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
    double imagesPerSecond = 0;
    bool ok = false;
};

Result runLibrary(uint32_t w, uint32_t h, double duration) {
    bench::Camera camera;
    bench::LibraryStream lib;
    Result result;
    const size_t payload = size_t{w} * h;
    if (!camera.open(0) || !camera.size(w, h) || !lib.start(camera)) return result;
    std::vector<uint8_t> destination(payload);
    U3V_ImageInfo info{};
    bool ok = true;
    for (int i = 0; i < 5 && ok; ++i) ok = U3V_GetImage(lib.stream, destination.data(), 2000, &info) == U3V_OK;
    uint64_t images = 0;
    const Clock::time_point t0 = Clock::now();
    uint16_t status = U3V_OK;
    while (ok && bench::seconds(Clock::now() - t0) < duration) {
        status = U3V_GetImage(lib.stream, destination.data(), 2000, &info);
        ok = status == U3V_OK;
        ++images;
    }
    if (!ok) std::fprintf(stderr, "U3V_GetImage: %04X after %llu images\n", status,
                          static_cast<unsigned long long>(images));
    const double elapsed = bench::seconds(Clock::now() - t0);
    ok = ok && vcam::firstMismatch(info.BlockId, destination.data(), payload) == -1;
    lib.stop(camera);
    result.imagesPerSecond = static_cast<double>(images) / elapsed;
    result.ok = ok;
    return result;
}

Result runFloor(uint32_t w, uint32_t h, double duration) {
    vcam::reset();
    vcam::CameraConfig config;
    config.streamBytesPerSecond = 0;
    vcam::addCamera(config);
    bench::PlainU3vReader reader;
    bench::PlainU3vReader::Options options;
    options.width = w;
    options.height = h;
    std::string error;
    Result result;
    if (!reader.open(&error) || !reader.start(options, &error)) {
        std::fprintf(stderr, "%ux%u: %s\n", w, h, error.c_str());
        return result;
    }
    // The one copy into the caller's memory.
    std::vector<uint8_t> destination(size_t{w} * h);
    uint64_t block = 0;
    const auto copy = [&](uint64_t blockId, const uint8_t* payload, size_t size) {
        std::memcpy(destination.data(), payload, std::min(size, destination.size()));
        block = blockId;
    };
    bool ok = reader.run(5, copy) == 5;
    uint64_t images = 0;
    const Clock::time_point t0 = Clock::now();
    while (ok && bench::seconds(Clock::now() - t0) < duration) {
        const long got = reader.run(8, copy);
        ok = got == 8;
        images += got > 0 ? static_cast<uint64_t>(got) : 0;
    }
    const double elapsed = bench::seconds(Clock::now() - t0);
    if (!ok) std::fprintf(stderr, "%ux%u: %s\n", w, h, reader.error().c_str());
    ok = ok && vcam::firstMismatch(block, destination.data(), destination.size()) == -1;
    reader.close();
    result.imagesPerSecond = static_cast<double>(images) / elapsed;
    result.ok = ok;
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    // Seconds per measurement; each side is measured `rounds` times, alternating, and the
    // best of each kept, so that a burst of load elsewhere on the machine hits both alike.
    const double duration = argc > 1 ? std::atof(argv[1]) : 2.0;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    struct Size {
        uint32_t w, h;
    };
    int failures = 0;
    for (Size s : {Size{640, 480}, Size{1920, 1200}, Size{4096, 3000}}) {
        double library = 0, floor = 0;
        for (int r = 0; r < rounds; ++r) {
            const Result l = runLibrary(s.w, s.h, duration);
            const Result f = runFloor(s.w, s.h, duration);
            if (!l.ok || !f.ok) {
                std::fprintf(stderr, "%ux%u: %s run failed\n", s.w, s.h, !l.ok ? "library" : "floor");
                ++failures;
            }
            library = std::max(library, l.imagesPerSecond);
            floor = std::max(floor, f.imagesPerSecond);
        }
        const double mb = static_cast<double>(s.w) * s.h / 1e6;
        std::printf("library_images_s %ux%u: %.1f\n", s.w, s.h, library);
        std::printf("library_mb_s %ux%u: %.1f\n", s.w, s.h, library * mb);
        std::printf("floor_images_s %ux%u: %.1f\n", s.w, s.h, floor);
        std::printf("floor_mb_s %ux%u: %.1f\n", s.w, s.h, floor * mb);
        std::printf("ratio %ux%u: %.3f\n", s.w, s.h, floor > 0 ? library / floor : 0.0);
        std::fflush(stdout);
    }
    return failures == 0 ? 0 : 1;
}
