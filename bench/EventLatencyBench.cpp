// Latency from U3V_TestEvent to the event callback, median and 99th percentile in
// microseconds, against the floor measured in the same run: the same test event requested
// with U3V_WriteMem and read with a plain libusb-1.0 bulk read on the calling thread.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <thread>

#include "BenchCamera.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int64_t> arrival{0};

void onEvent(uint16_t id, uint64_t, uint32_t, uint64_t) {
    if (id == 0x4FFF) arrival = Clock::now().time_since_epoch().count();
}

struct Stats {
    double median = 0, p99 = 0;
    bool ok = false;
};

Stats summarise(std::vector<double>& us, bool ok) {
    Stats s;
    if (us.empty()) return s;
    std::sort(us.begin(), us.end());
    s.median = us[us.size() / 2];
    s.p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    s.ok = ok;
    return s;
}

Stats runLibrary(int samples) {
    bench::Camera camera;
    std::vector<double> us;
    void* event = nullptr;
    bool ok = camera.open(0) &&
              U3V_OpenEvent(camera.device, camera.control, &event, &onEvent, 100) == U3V_OK &&
              camera.write(bench::kEirm, 1);
    for (int i = 0; ok && i < samples + 20; ++i) {
        arrival = 0;
        const Clock::time_point t0 = Clock::now();
        ok = U3V_TestEvent(event) == U3V_OK;
        while (ok && arrival.load() == 0) {
            if (Clock::now() - t0 > std::chrono::seconds(2)) ok = false;
        }
        const Clock::time_point t1{Clock::duration{arrival.load()}};
        if (ok && i >= 20) us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    if (event != nullptr) U3V_CloseEvent(event);
    return summarise(us, ok);
}

Stats runFloor(int samples) {
    bench::Camera camera;
    std::vector<double> us;
    libusb_device_handle* raw = nullptr;
    bool ok = camera.open(0) && camera.write(bench::kEirm, 1) && (raw = bench::openRaw()) != nullptr &&
              libusb_claim_interface(raw, bench::kEventInterface) == 0;
    uint8_t buffer[1024];
    for (int i = 0; ok && i < samples + 20; ++i) {
        const Clock::time_point t0 = Clock::now();
        int got = 0;
        ok = camera.write(bench::kEirm + 0x08, 1) &&
             libusb_bulk_transfer(raw, bench::kEventIn, buffer, sizeof buffer, &got, 2000) == 0 && got >= 24;
        const Clock::time_point t1 = Clock::now();
        if (ok && i >= 20) us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    if (raw != nullptr) {
        libusb_release_interface(raw, bench::kEventInterface);
        libusb_close(raw);
    }
    return summarise(us, ok);
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 2000;
    const Stats library = runLibrary(samples);
    const Stats floor = runFloor(samples);
    std::printf("event_latency_median_us: %.1f\n", library.median);
    std::printf("event_latency_p99_us: %.1f\n", library.p99);
    std::printf("floor_latency_median_us: %.1f\n", floor.median);
    std::printf("floor_latency_p99_us: %.1f\n", floor.p99);
    if (!library.ok || !floor.ok) std::fprintf(stderr, "%s run failed\n", !library.ok ? "library" : "floor");
    return library.ok && floor.ok ? 0 : 1;
}
