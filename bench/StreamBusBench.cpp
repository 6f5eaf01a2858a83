// The stream on a modelled bus, each case a few seconds (the first argument, 3 s by
// default; a second one runs one case alone: small, large or cameras):
//
// - small: 64x64 Mono8 regions at 20,000 images/s with 50 us completion latency, the
//   camera holding 64 images. Images delivered per second against the rate the camera
//   took them at (the floor), and lost, for the library (U3V_GetImage, 16 buffers) and for
//   the plain libusb reader with 16 reads in flight (PlainU3vReader).
// - large: sensor-sized images (5472x3648 Mono8, 20 MB, and 4096x3000 RGB8, 37 MB) at
//   400 MB/s under Linux's default 16 MiB of submitted buffer memory: lost.
// - cameras: four cameras in one process, each paced at 400 MB/s and read by its own
//   thread with zero-copy delivery, against one camera alone in the same run: lost and CPU
//   seconds per GB delivered. The same for plain libusb readers (one context and thread
//   per camera), the floor's own four-against-one. Each CPU figure also apart: the
//   virtual camera's writing of transfers (camera_, vcam::sourceCost) and the rest (host_:
//   the reader, its libusb and the emulated bus's bookkeeping).
//
// Lost images are the camera's drops (its buffer was full because the host read too
// slowly) plus block id gaps the reader saw. Every case counts from half a second after
// its readers started: what the first cameras took while the others were being opened is
// set-up.
#include <sys/prctl.h>

#include <cstdlib>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchCamera.h"
#include "PlainU3vReader.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
    uint64_t images = 0, lost = 0, captured = 0, bytes = 0;  // captured: kept + dropped
    double seconds = 0, cpu = 0;
    double cameraCpu = 0;  // of cpu, the virtual camera writing transfers (clock on only)
    bool ok = false;
    double perSecond() const { return seconds > 0 ? static_cast<double>(images) / seconds : 0; }
    double capturedPerSecond() const { return seconds > 0 ? static_cast<double>(captured) / seconds : 0; }
    double cpuPerGb() const { return bytes > 0 ? cpu / (static_cast<double>(bytes) / 1e9) : 0; }
    double cameraCpuPerGb() const { return bytes > 0 ? cameraCpu / (static_cast<double>(bytes) / 1e9) : 0; }
    double hostCpuPerGb() const { return cpuPerGb() - cameraCpuPerGb(); }
};

// Counts what one reader sees once counting is on: block id gaps, and whether the last
// image checked was intact. Before that it only follows the block ids.
struct Tally {
    uint64_t previous = 0, images = 0, gaps = 0;
    bool intact = true;
    void add(uint64_t block, const uint8_t* data, size_t size, bool counting) {
        if (counting) {
            if (previous != 0 && block > previous + 1) gaps += block - previous - 1;
            ++images;
            // Checking every image would cost more than the stream; every 64th shows a
            // misplaced transfer all the same.
            if ((images & 63) == 1) intact = intact && vcam::firstMismatch(block, data, size) == -1;
        }
        previous = block;
    }
};

// What the cameras say of themselves, summed.
struct CameraCounts {
    uint64_t taken = 0, dropped = 0;
};

// One reader thread per camera, `readSome(i, counting)` taking one or more images of camera
// i into tallies[i] (false: it failed). The readers run for a warm-up first: the cameras
// start one after another, and the images the first ones take before the last one runs
// fill their pools and rings, which is the set-up, not the stream. Then `duration` seconds
// are counted: images, losses and the process's CPU.
template <typename ReadSome>
Result measure(size_t count, size_t payload, double duration, const std::function<CameraCounts()>& cameraCounts,
               std::vector<Tally>& tallies, ReadSome readSome) {
    constexpr double kWarmUpSeconds = 0.5;
    std::atomic<bool> counting{false}, stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> readers;
    for (size_t i = 0; i < count; ++i) {
        readers.emplace_back([&, i] {
            while (!stop) {
                if (!readSome(i, counting)) {
                    ++failures;
                    break;
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUpSeconds));
    const CameraCounts before = cameraCounts();
    const double camera0 = vcam::sourceCost().cpuSeconds;
    const double cpu0 = bench::cpuSeconds();
    const Clock::time_point t0 = Clock::now();
    counting = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(duration));
    stop = true;
    for (std::thread& t : readers) t.join();
    Result r;
    r.seconds = bench::seconds(Clock::now() - t0);
    r.cpu = bench::cpuSeconds() - cpu0;
    r.cameraCpu = vcam::sourceCost().cpuSeconds - camera0;
    const CameraCounts after = cameraCounts();
    r.captured = after.taken - before.taken + after.dropped - before.dropped;
    r.ok = failures == 0;
    uint64_t gaps = 0;
    for (const Tally& t : tallies) {
        r.images += t.images;
        gaps += t.gaps;
        r.ok = r.ok && t.intact;
    }
    r.lost = gaps + after.dropped - before.dropped;
    r.bytes = r.images * payload;
    return r;
}

// Cameras opened through the library, each with its stream started.
class LibraryCameras {
public:
    bool open(const vcam::CameraConfig& config, int count, uint32_t width, uint32_t height, uint32_t pixelFormat,
              uint32_t bufferCount) {
        vcam::reset();
        for (int i = 0; i < count; ++i) {
            vcam::CameraConfig own = config;  // each camera its own identity
            own.identity.guid = "VC000000000" + std::to_string(i + 1);
            own.identity.serialNumber = "0000000" + std::to_string(i + 1);
            ids_.push_back(vcam::addCamera(own));
        }
        uint16_t found = 0;
        if (U3V_DiscoveryDevices(&found) != U3V_OK || found != count) return false;
        for (int i = 1; i <= count; ++i) {
            U3V_DEVICE_INFO info{};
            auto& c = cams_.emplace_back(std::make_unique<bench::Camera>());
            if (U3V_GetDeviceInfo(static_cast<uint16_t>(i), &info) != U3V_OK ||
                U3V_OpenDevice(info.DeviceGUID, &c->device, nullptr, 0) != U3V_OK ||
                U3V_OpenControl(c->device, &c->control) != U3V_OK || !c->size(width, height, pixelFormat))
                return false;
        }
        for (auto& c : cams_) {
            streams_.emplace_back();
            if (!streams_.back().start(*c, 0, bufferCount)) return false;
        }
        return true;
    }
    ~LibraryCameras() {
        for (size_t i = 0; i < streams_.size(); ++i) streams_[i].stop(*cams_[i]);
    }
    void* stream(size_t i) { return streams_[i].stream; }
    uint64_t taken() const {
        uint64_t n = 0;
        for (int id : ids_) n += vcam::streamStats(id).taken;
        return n;
    }
    uint64_t dropped() const {
        uint64_t n = 0;
        for (int id : ids_) n += vcam::streamStats(id).dropped;
        return n;
    }

private:
    std::vector<int> ids_;
    std::vector<std::unique_ptr<bench::Camera>> cams_;
    std::vector<bench::LibraryStream> streams_;
};

// Each camera read through the library, one image at a time.
Result readLibrary(LibraryCameras& cams, size_t count, size_t payload, double duration, bool lock) {
    std::vector<Tally> tallies(count);
    std::vector<std::vector<uint8_t>> copies(count, std::vector<uint8_t>(lock ? 0 : payload));
    const auto counts = [&] { return CameraCounts{cams.taken(), cams.dropped()}; };
    return measure(count, payload, duration, counts, tallies, [&](size_t i, const std::atomic<bool>& counting) {
        U3V_ImageInfo info{};
        uint16_t st = 0;
        if (lock) {
            void* data = nullptr;
            uint32_t size = 0;
            st = U3V_LockImage(cams.stream(i), &data, &size, 2000, &info);
            if (st == U3V_OK) {
                tallies[i].add(info.BlockId, static_cast<const uint8_t*>(data), payload, counting);
                st = U3V_UnlockImage(cams.stream(i), data);
            }
        } else {
            st = U3V_GetImage(cams.stream(i), copies[i].data(), 2000, &info);
            if (st == U3V_OK) tallies[i].add(info.BlockId, copies[i].data(), payload, counting);
        }
        if (st != U3V_OK) std::fprintf(stderr, "camera %zu: status %04X\n", i + 1, st);
        return st == U3V_OK;
    });
}

Result runLibrary(const vcam::CameraConfig& config, int count, uint32_t width, uint32_t height,
                  double duration, bool lock, uint32_t bufferCount = 0,
                  uint32_t pixelFormat = vcam::kPixelFormatMono8) {
    LibraryCameras cams;
    if (!cams.open(config, count, width, height, pixelFormat, bufferCount)) {
        std::fprintf(stderr, "cannot open %d cameras\n", count);
        return {};
    }
    const size_t payload = size_t{width} * height * vcam::bytesPerPixel(pixelFormat);
    return readLibrary(cams, static_cast<size_t>(count), payload, duration, lock);
}

// `count` cameras, each read by its own thread through its own plain libusb reader.
Result runPlain(const vcam::CameraConfig& config, int count, uint32_t width, uint32_t height, double duration) {
    vcam::reset();
    std::vector<int> ids;
    for (int i = 0; i < count; ++i) {
        vcam::CameraConfig own = config;
        own.identity.guid = "VC000000000" + std::to_string(i + 1);
        own.identity.serialNumber = "0000000" + std::to_string(i + 1);
        ids.push_back(vcam::addCamera(own));
    }
    const auto stats = [&](uint64_t vcam::StreamStats::*field) {
        uint64_t n = 0;
        for (int id : ids) n += vcam::streamStats(id).*field;
        return n;
    };
    std::vector<std::unique_ptr<bench::PlainU3vReader>> readers;
    bench::PlainU3vReader::Options options;
    options.width = width;
    options.height = height;
    for (int i = 0; i < count; ++i) {
        auto& reader = readers.emplace_back(std::make_unique<bench::PlainU3vReader>());
        std::string error;
        if (!reader->open(&error, i) || !reader->start(options, &error)) {
            std::fprintf(stderr, "plain %d: %s\n", i + 1, error.c_str());
            return {};
        }
    }
    std::vector<Tally> tallies(readers.size());
    const auto counts = [&] {
        return CameraCounts{stats(&vcam::StreamStats::taken), stats(&vcam::StreamStats::dropped)};
    };
    // Runs of many images, so that the reads stay queued across image boundaries.
    return measure(readers.size(), size_t{width} * height, duration, counts, tallies,
                   [&](size_t i, const std::atomic<bool>& counting) {
                       const auto onImage = [&](uint64_t block, const uint8_t* payload, size_t size) {
                           tallies[i].add(block, payload, size, counting);
                       };
                       if (readers[i]->run(100, onImage) == 100) return true;
                       std::fprintf(stderr, "plain %zu: %s\n", i + 1, readers[i]->error().c_str());
                       return false;
                   });
}

void print(const std::string& prefix, const Result& r) {
    std::printf("%s_images_s: %.0f\n", prefix.c_str(), r.perSecond());
    std::printf("%s_camera_images_s: %.0f\n", prefix.c_str(), r.capturedPerSecond());
    std::printf("%s_delivered_vs_camera: %.3f\n", prefix.c_str(),
                r.captured > 0 ? static_cast<double>(r.images) / static_cast<double>(r.captured) : 0);
    std::printf("%s_lost: %llu\n", prefix.c_str(), static_cast<unsigned long long>(r.lost));
    std::printf("%s_mb_s: %.1f\n", prefix.c_str(), r.seconds > 0 ? static_cast<double>(r.bytes) / 1e6 / r.seconds : 0);
    std::printf("%s_cpu_s_per_gb: %.3f\n", prefix.c_str(), r.cpuPerGb());
    if (vcam::sourceCost().transfers > 0) {
        std::printf("%s_camera_cpu_s_per_gb: %.3f\n", prefix.c_str(), r.cameraCpuPerGb());
        std::printf("%s_host_cpu_s_per_gb: %.3f\n", prefix.c_str(), r.hostCpuPerGb());
    }
    std::fflush(stdout);
}

bool small(double duration) {
    vcam::CameraConfig config;
    config.streamBytesPerSecond = 0;
    config.frameRate = 20000;
    config.transferLatencyUs = 50;
    // A real camera's frame memory holds thousands of such images; the default 4 are 200 us
    // here, less than a scheduling hiccup of a loaded 2-core host, which the plain reader
    // loses to as well. 64 images (256 KiB, 3.2 ms) still lose images to any reader that
    // is slower than the camera for longer than that.
    config.imageBuffers = 64;
    // 16 buffers, as a program taking 20,000 images a second would set: the default 4 hold
    // 200 us of images, and the plain reader keeps 16 reads in flight.
    const Result library = runLibrary(config, 1, 64, 64, duration, false, 16);
    const Result plain = runPlain(config, 1, 64, 64, duration);
    print("small_library", library);
    print("small_plain", plain);
    return library.ok && plain.ok;
}

bool large(double duration) {
    vcam::CameraConfig config;
    config.streamBytesPerSecond = 400000000;
    bool ok = true;
    struct Sensor {
        const char* name;
        uint32_t width, height, pixelFormat;
    };
    for (const Sensor& s : {Sensor{"large_5472x3648_mono8", 5472, 3648, vcam::kPixelFormatMono8},
                            Sensor{"large_4096x3000_rgb8", 4096, 3000, vcam::kPixelFormatRGB8}}) {
        vcam::reset();
        vcam::setUsbfsMemoryLimit(16u << 20);
        const Result r = runLibrary(config, 1, s.width, s.height, duration, false, 0, s.pixelFormat);
        vcam::setUsbfsMemoryLimit(0);
        print(s.name, r);
        ok = ok && r.ok;
    }
    return ok;
}

bool cameras(double duration) {
    vcam::CameraConfig config;
    config.streamBytesPerSecond = 400000000;
    // The camera's own share apart: what its sources spend writing transfers (two thread
    // clock reads a transfer, for every reader alike).
    vcam::setSourceCostClock(true);
    const Result one = runLibrary(config, 1, 1920, 1200, duration, true);
    const Result four = runLibrary(config, 4, 1920, 1200, duration, true);
    // The control: plain libusb readers on the same cameras, what the machine and the
    // virtual camera alone make of four streams.
    const Result plainOne = runPlain(config, 1, 1920, 1200, duration);
    const Result plainFour = runPlain(config, 4, 1920, 1200, duration);
    print("cameras_1", one);
    print("cameras_4", four);
    print("cameras_plain_1", plainOne);
    print("cameras_plain_4", plainFour);
    vcam::setSourceCostClock(false);
    if (one.cpuPerGb() > 0) std::printf("cameras_4_vs_1_cpu: %.2f\n", four.cpuPerGb() / one.cpuPerGb());
    if (plainOne.cpuPerGb() > 0) {
        std::printf("cameras_plain_4_vs_1_cpu: %.2f\n", plainFour.cpuPerGb() / plainOne.cpuPerGb());
    }
    if (one.hostCpuPerGb() > 0) {
        std::printf("cameras_4_vs_1_host_cpu: %.2f\n", four.hostCpuPerGb() / one.hostCpuPerGb());
    }
    if (plainOne.hostCpuPerGb() > 0) {
        std::printf("cameras_plain_4_vs_1_host_cpu: %.2f\n", plainFour.hostCpuPerGb() / plainOne.hostCpuPerGb());
    }
    return one.ok && four.ok && plainOne.ok && plainFour.ok;
}

}  // namespace

int main(int argc, char** argv) {
    // The modelled completion latency is a timed wait in emulation; the kernel's default
    // 50 us timer slack would add up to that much again to every one, which a real bus's
    // interrupts do not pay. Threads made from here on inherit the setting.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const double duration = argc > 1 ? std::atof(argv[1]) : 3.0;
    const std::string only = argc > 2 ? argv[2] : "";
    bool ok = true;
    if (only.empty() || only == "small") ok = small(duration) && ok;
    if (only.empty() || only == "large") ok = large(duration) && ok;
    if (only.empty() || only == "cameras") ok = cameras(duration) && ok;
    if (!ok) std::fprintf(stderr, "a run failed (status, or an image not intact)\n");
    return ok ? 0 : 1;
}
