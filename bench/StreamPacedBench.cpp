// StreamPacedBench [SECONDS [all|getimage|zerocopy|aravis|aravis_async [ROUNDS]]]
//
// A camera paced at 400 MB/s streaming for a while (10 s by default) into the library's
// stream with its default 4 buffers and a reader that only copies: images lost anywhere
// (the camera's drops plus block id gaps the reader sees) and CPU seconds per GB delivered
// (the whole process, virtual camera included). The same for zero-copy delivery
// (U3V_LockImage / U3V_UnlockImage, zerocopy_), and for plain libusb-1.0 reads
// (PlainU3vReader) with one copy (plain_) and without (the floor, plain_nocopy_), and an
// independent USB3 Vision library as the peer (AravisReader, aravis_: its default USB
// mode; aravis_async_: its asynchronous one, with 8 buffers), buffers handed back without
// a copy, all measured in the same run on the same camera configuration and pacing.
//
// Every reader is measured the same way: the process's CPU time (getrusage), so the
// virtual camera's own work (its copy of each transfer into the reader's buffer, its
// timer thread) and every thread of the reader (the library's stream thread, the peer's
// own threads) count for each reader alike, over the same duration after its first image.
#include <cstdlib>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "BenchCamera.h"
#include "PlainU3vReader.h"
#ifdef TESSORAL_HAVE_ARAVIS
#include "AravisReader.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kW = 1920, kH = 1200;
constexpr uint64_t kBytesPerSecond = 400000000;
// The library's default transfer size, and one as large as the peer's transfers.
constexpr uint32_t kDefaultTransferSize = 65536, kLargeTransferSize = 1 << 20;
// The peer's asynchronous mode with 4 buffers starves: its stream thread spins on its empty
// queue of free buffers (perf: g_async_queue_try_pop) and half the images are lost. With 8
// it streams like its default mode.
constexpr int kAravisAsyncBuffers = 8;

struct Result {
    uint64_t lost = 0, images = 0, cameraDropped = 0, gaps = 0;
    double cpuPerGb = 0, cameraCpuPerGb = 0, mbPerSecond = 0, transfersPerImage = 0;
    bool ok = false;
};

// read(destination, block) delivers one image (into destination, or wherever it lies)
// and returns where it is, null on failure; the last one is checked against the pattern.
template <class Read>
Result measure(bench::Camera& camera, double duration, Read&& read) {
    Result r;
    const size_t payload = size_t{kW} * kH;
    std::vector<uint8_t> destination(payload);
    uint64_t previous = 0;
    const uint8_t* last = read(destination.data(), previous);
    if (last == nullptr) return r;  // the first image starts the count
    const uint64_t droppedBefore = vcam::streamStats(camera.id).dropped;
    const vcam::SourceCost cost0 = vcam::sourceCost();
    const double camera0 = cost0.cpuSeconds;
    const double cpu0 = bench::cpuSeconds();
    const Clock::time_point t0 = Clock::now();
    bool ok = true;
    while (ok && bench::seconds(Clock::now() - t0) < duration) {
        uint64_t block = 0;
        const uint8_t* image = read(destination.data(), block);
        ok = image != nullptr;
        if (ok) {
            last = image;
            if (block > previous + 1) r.gaps += block - previous - 1;
            previous = block;
            ++r.images;
        }
    }
    const double elapsed = bench::seconds(Clock::now() - t0);
    const double cpu = bench::cpuSeconds() - cpu0;
    const double cameraCpu = vcam::sourceCost().cpuSeconds - camera0;
    r.cameraDropped = vcam::streamStats(camera.id).dropped - droppedBefore;
    r.lost = r.gaps + r.cameraDropped;
    const double gb = static_cast<double>(r.images) * static_cast<double>(payload) / 1e9;
    r.cpuPerGb = gb > 0 ? cpu / gb : 0;
    r.cameraCpuPerGb = gb > 0 ? cameraCpu / gb : 0;
    r.transfersPerImage = r.images ? static_cast<double>(vcam::sourceCost().transfers - cost0.transfers) / r.images : 0;
    r.mbPerSecond = gb * 1000 / elapsed;
    r.ok = ok && vcam::firstMismatch(previous, last, payload) == -1;
    return r;
}

Result runLibrary(double duration, uint32_t transferSize) {
    bench::Camera camera;
    bench::LibraryStream lib;
    if (!camera.open(kBytesPerSecond) || !camera.size(kW, kH) || !lib.start(camera, transferSize)) return {};
    U3V_ImageInfo info{};
    Result r = measure(camera, duration, [&](uint8_t* destination, uint64_t& block) {
        const uint16_t st = U3V_GetImage(lib.stream, destination, 2000, &info);
        block = info.BlockId;
        if (st != U3V_OK) std::fprintf(stderr, "U3V_GetImage: %04X\n", st);
        return st == U3V_OK ? destination : nullptr;
    });
    lib.stop(camera);
    return r;
}

// Each image stays locked until the next one is in hand, as a viewer holds the shown one.
Result runLibraryLocked(double duration, uint32_t transferSize) {
    bench::Camera camera;
    bench::LibraryStream lib;
    if (!camera.open(kBytesPerSecond) || !camera.size(kW, kH) || !lib.start(camera, transferSize)) return {};
    U3V_ImageInfo info{};
    void* held = nullptr;
    Result r = measure(camera, duration, [&](uint8_t*, uint64_t& block) -> const uint8_t* {
        void* data = nullptr;
        uint32_t size = 0;
        const uint16_t st = U3V_LockImage(lib.stream, &data, &size, 2000, &info);
        if (held != nullptr) (void)U3V_UnlockImage(lib.stream, held);
        held = st == U3V_OK ? data : nullptr;
        block = info.BlockId;
        if (st != U3V_OK) std::fprintf(stderr, "U3V_LockImage: %04X\n", st);
        return static_cast<const uint8_t*>(held);
    });
    if (held != nullptr) (void)U3V_UnlockImage(lib.stream, held);
    lib.stop(camera);
    return r;
}

Result runPlain(double duration, bool copy, uint32_t transferSize) {
    vcam::reset();
    vcam::CameraConfig config;
    config.streamBytesPerSecond = kBytesPerSecond;
    bench::Camera camera;  // only its id: the plain reader opens the camera itself
    camera.id = vcam::addCamera(config);
    bench::PlainU3vReader reader;
    bench::PlainU3vReader::Options options;
    options.width = kW;
    options.height = kH;
    options.transferSize = transferSize;
    std::string error;
    if (!reader.open(&error) || !reader.start(options, &error)) {
        std::fprintf(stderr, "plain: %s\n", error.c_str());
        return {};
    }
    Result r = measure(camera, duration, [&](uint8_t* destination, uint64_t& block) {
        const uint8_t* image = nullptr;
        const long got = reader.run(1, [&](uint64_t blockId, const uint8_t* payload, size_t size) {
            if (copy) std::memcpy(destination, payload, size);
            image = copy ? destination : payload;
            block = blockId;
        });
        return got == 1 ? image : nullptr;
    });
    reader.close();
    return r;
}

#ifdef TESSORAL_HAVE_ARAVIS
// Each image stays with the reader until the next one is in hand (as with U3V_LockImage);
// an image the peer reports incomplete is handed back and skipped, lost through the block
// id gap it leaves; only a stream that stops delivering ends the run as a failure.
Result runAravis(double duration, ArvUvUsbMode mode, int buffers) {
    vcam::reset();
    vcam::CameraConfig config;
    config.streamBytesPerSecond = kBytesPerSecond;
    bench::Camera camera;  // only its id: the peer opens the camera itself
    camera.id = vcam::addCamera(config);
    Result r;
    {
        bench::AravisReader reader;
        std::string error;
        if (!reader.open(config.identity.guid, kW, kH, buffers, mode, &error)) {
            std::fprintf(stderr, "aravis: %s\n", error.c_str());
            return {};
        }
        r = measure(camera, duration, [&](uint8_t*, uint64_t& block) -> const uint8_t* {
            for (;;) {
                const bench::AravisReader::Image image = reader.next(2000);
                if (image.data == nullptr) {
                    std::fprintf(stderr, "aravis: no image in time\n");
                    return nullptr;
                }
                if (image.complete && image.size >= size_t{kW} * kH) {
                    block = image.blockId;
                    return image.data;
                }
            }
        });
    }
    arv_shutdown();
    return r;
}
#endif

void print(const char* prefix, const Result& r) {
    std::printf("%slost: %llu\n", prefix, static_cast<unsigned long long>(r.lost));
    std::printf("%scamera_dropped: %llu\n", prefix, static_cast<unsigned long long>(r.cameraDropped));
    std::printf("%sblock_id_gaps: %llu\n", prefix, static_cast<unsigned long long>(r.gaps));
    std::printf("%scpu_s_per_gb: %.3f\n", prefix, r.cpuPerGb);
    std::printf("%scamera_cpu_s_per_gb: %.3f\n", prefix, r.cameraCpuPerGb);
    std::printf("%shost_cpu_s_per_gb: %.3f\n", prefix, r.cpuPerGb - r.cameraCpuPerGb);
    std::printf("%stransfers_per_image: %.1f\n", prefix, r.transfersPerImage);
    std::printf("%smb_s: %.1f\n", prefix, r.mbPerSecond);
    std::printf("%simages: %llu\n", prefix, static_cast<unsigned long long>(r.images));
    std::fflush(stdout);
}

// Every round of one reader, and the round whose CPU per GB is the median.
struct Rounds {
    const char* prefix;
    std::function<Result()> run;
    std::vector<Result> results;
    Result median() const {
        return bench::medianRound(results, [](const Result& r) { return r.cpuPerGb; });
    }
};

// The median over the rounds of a's figure against b's in the same round.
double ratio(const Rounds& a, const Rounds& b, bool hostOnly = false) {
    const auto figure = [hostOnly](const Result& x) {
        if (!x.ok) return 0.0;  // a failed round has no figure
        return hostOnly ? x.cpuPerGb - x.cameraCpuPerGb : x.cpuPerGb;
    };
    const auto figures = [&figure](const Rounds& side) {
        std::vector<double> f;
        for (const Result& x : side.results) f.push_back(figure(x));
        return f;
    };
    return bench::median(bench::roundRatios(figures(a), figures(b)));
}

}  // namespace

int main(int argc, char** argv) {
    const double duration = argc > 1 ? std::atof(argv[1]) : 10.0;
    // A second argument runs one case alone (for a profiler): getimage or zerocopy; "all"
    // (the default) runs every reader, in as many rounds as the third argument says (1).
    const std::string only = argc > 2 ? argv[2] : "all";
    const int roundCount = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
    // The camera's writing of transfers is counted apart (it stands in for the DMA of a
    // real host controller, which costs the host no CPU): two thread clock reads a
    // transfer, for every reader alike.
    vcam::setSourceCostClock(true);
#ifdef TESSORAL_HAVE_ARAVIS
    if (only == "aravis" || only == "aravis_async") {
        const bool async = only == "aravis_async";
        const Result r = async ? runAravis(duration, ARV_UV_USB_MODE_ASYNC, kAravisAsyncBuffers)
                               : runAravis(duration, ARV_UV_USB_MODE_DEFAULT, 4);
        print(async ? "aravis_async_" : "aravis_", r);
        return r.ok ? 0 : 1;
    }
#endif
    if (only == "getimage" || only == "zerocopy") {
        const Result r = only == "getimage" ? runLibrary(duration, 0) : runLibraryLocked(duration, 0);
        print(only == "getimage" ? "" : "zerocopy_", r);
        return r.ok ? 0 : 1;
    }
    std::vector<Rounds> readers = {
        {"", [&] { return runLibrary(duration, 0); }, {}},
        {"zerocopy_", [&] { return runLibraryLocked(duration, 0); }, {}},
        {"plain_", [&] { return runPlain(duration, true, kDefaultTransferSize); }, {}},
        {"plain_nocopy_", [&] { return runPlain(duration, false, kDefaultTransferSize); }, {}},
        // The same with the transfers as large as the peer makes them (see transfers_per_image).
        {"large_transfers_", [&] { return runLibrary(duration, kLargeTransferSize); }, {}},
        {"large_transfers_zerocopy_", [&] { return runLibraryLocked(duration, kLargeTransferSize); }, {}},
        {"large_transfers_plain_nocopy_", [&] { return runPlain(duration, false, kLargeTransferSize); }, {}},
#ifdef TESSORAL_HAVE_ARAVIS
        {"aravis_", [&] { return runAravis(duration, ARV_UV_USB_MODE_DEFAULT, 4); }, {}},
        {"aravis_async_", [&] { return runAravis(duration, ARV_UV_USB_MODE_ASYNC, kAravisAsyncBuffers); }, {}},
#endif
    };
    std::printf("load_average_before: %s\n", bench::loadAverage().c_str());
    // The ratios are medians of the rounds' own ratios.
    std::vector<std::function<void()>> sides;
    for (Rounds& r : readers) sides.push_back([&r] { r.results.push_back(r.run()); });
    bench::runInTurningOrder(roundCount, sides);
    for (const Rounds& r : readers) {
        print(r.prefix, r.median());
        if (roundCount > 1) {
            std::printf("%scpu_s_per_gb_rounds:", r.prefix);
            for (const Result& x : r.results) std::printf(" %.3f", x.cpuPerGb);
            std::printf("\n");
        }
    }
    const Rounds &library = readers[0], &locked = readers[1], &floor = readers[3];
    const Rounds &libraryLarge = readers[4], &lockedLarge = readers[5], &floorLarge = readers[6];
    std::printf("getimage_vs_floor: %.2f\n", ratio(library, floor));
    std::printf("zerocopy_vs_floor: %.2f\n", ratio(locked, floor));
    std::printf("large_transfers_getimage_vs_floor: %.2f\n", ratio(libraryLarge, floorLarge));
    std::printf("large_transfers_zerocopy_vs_floor: %.2f\n", ratio(lockedLarge, floorLarge));
#ifdef TESSORAL_HAVE_ARAVIS
    // The goals compare against the peer as it runs out of the box (its default mode).
    const Rounds &peer = readers[7], &peerAsync = readers[8];
    std::printf("zerocopy_vs_aravis: %.2f\n", ratio(locked, peer));
    std::printf("getimage_vs_aravis: %.2f\n", ratio(library, peer));
    std::printf("large_transfers_zerocopy_vs_aravis: %.2f\n", ratio(lockedLarge, peer));
    std::printf("large_transfers_getimage_vs_aravis: %.2f\n", ratio(libraryLarge, peer));
    std::printf("host_zerocopy_vs_aravis: %.2f\n", ratio(locked, peer, true));
    std::printf("host_large_transfers_zerocopy_vs_aravis: %.2f\n", ratio(lockedLarge, peer, true));
    std::printf("zerocopy_vs_aravis_async: %.2f\n", ratio(locked, peerAsync));
    std::printf("getimage_vs_aravis_async: %.2f\n", ratio(library, peerAsync));
#else
    std::printf("aravis: absent (not installed when this was built)\n");
#endif
    std::printf("load_average_after: %s\n", bench::loadAverage().c_str());
    bool ok = true;
    for (const Rounds& r : readers)
        for (const Result& x : r.results) {
            if (!x.ok) std::fprintf(stderr, "%s run failed\n", r.prefix[0] ? r.prefix : "getimage_");
            ok = ok && x.ok;
        }
    return ok ? 0 : 1;
}
