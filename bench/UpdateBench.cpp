// The firmware update of a 4 MiB image on the virtual camera with no flash or reboot delay:
// brannock's transfer and its two waits, as the program runs them. The floor is the time
// spent inside the USB calls of that same update, measured in the same run: this program
// defines the libusb functions the library calls, so every call passes through a clock on
// its way to the real ones. What remains is spent outside the USB calls: in the tool, the
// library's binding, discovery, open and packet handling, and the pauses between polls.
#include <dlfcn.h>
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "brannock.h"
#include "vcam/vcam.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kPayload = (4u << 20) - 160;  // an image of 4 MiB with its header
constexpr int kRounds = 5;

std::atomic<int64_t> usbNs{0};
std::atomic<int64_t> usbCalls{0};
thread_local int usbDepth = 0;

// Times the outermost USB call only: the virtual camera may call its own entry points.
struct InUsbCall {
    Clock::time_point start;
    InUsbCall() {
        if (usbDepth++ == 0) start = Clock::now();
    }
    ~InUsbCall() {
        if (--usbDepth == 0) {
            usbNs += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
            ++usbCalls;
        }
    }
};

template <typename Fn>
Fn next(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

#define TIMED(ret, name, params, args)                                     \
    extern "C" ret name params {                                           \
        static const auto real = next<ret(*) params>(#name);               \
        InUsbCall timed;                                                   \
        return real args;                                                  \
    }

TIMED(int, libusb_bulk_transfer,
      (libusb_device_handle * h, unsigned char endpoint, unsigned char* data, int length, int* moved,
       unsigned int timeout),
      (h, endpoint, data, length, moved, timeout))
TIMED(int, libusb_control_transfer,
      (libusb_device_handle * h, uint8_t type, uint8_t request, uint16_t value, uint16_t index, unsigned char* data,
       uint16_t length, unsigned int timeout),
      (h, type, request, value, index, data, length, timeout))
TIMED(ssize_t, libusb_get_device_list, (libusb_context * ctx, libusb_device*** list), (ctx, list))
TIMED(void, libusb_free_device_list, (libusb_device * *list, int unref), (list, unref))
TIMED(int, libusb_get_device_descriptor, (libusb_device * dev, struct libusb_device_descriptor* desc), (dev, desc))
TIMED(int, libusb_get_config_descriptor, (libusb_device * dev, uint8_t index, struct libusb_config_descriptor** config),
      (dev, index, config))
TIMED(void, libusb_free_config_descriptor, (struct libusb_config_descriptor * config), (config))
TIMED(int, libusb_open, (libusb_device * dev, libusb_device_handle** h), (dev, h))
TIMED(void, libusb_close, (libusb_device_handle * h), (h))
TIMED(int, libusb_get_string_descriptor_ascii, (libusb_device_handle * h, uint8_t index, unsigned char* data, int length),
      (h, index, data, length))
TIMED(int, libusb_claim_interface, (libusb_device_handle * h, int interface), (h, interface))
TIMED(int, libusb_release_interface, (libusb_device_handle * h, int interface), (h, interface))
TIMED(int, libusb_clear_halt, (libusb_device_handle * h, unsigned char endpoint), (h, endpoint))
TIMED(int, libusb_set_auto_detach_kernel_driver, (libusb_device_handle * h, int enable), (h, enable))

int main() {
    const fs::path dir = fs::temp_directory_path() / ("update-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    vcam::setStateDir("");  // nothing of the benchmark persists
    std::vector<uint8_t> payload(kPayload);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 31 + 7);
    const std::vector<uint8_t> image = vcam::makeFirmwareImage("VCam-1", "2.0.0", payload);
    const fs::path file = dir / "VCam-1_2.0.0.bin";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                static_cast<std::streamsize>(image.size()));
    consoleOut = std::fopen("/dev/null", "w");

    struct Round {
        double update, transfer, transferUsb, usb;
        int64_t calls;
    };
    std::vector<Round> rounds;
    for (int round = 0; round < kRounds; ++round) {
        vcam::reset();
        vcam::CameraConfig config;
        config.flashTimeMs = 0;
        config.rebootTimeMs = 0;
        vcam::addCamera(config);
        vcam::clearCalls();
        usbNs = 0;
        usbCalls = 0;
        const WaitBounds bounds;  // the program's own
        const auto start = Clock::now();
        CameraIdentity camera;
        std::vector<std::string> others;
        bool ok = firmware_upload(String(file.c_str()), &camera) == UploadOutcome::Started;
        const double transfer = std::chrono::duration<double>(Clock::now() - start).count();
        const double transferUsb = static_cast<double>(usbNs.load()) * 1e-9;
        ok = ok && wait_for_departure(camera.guid, bounds, &others) && wait_for_device(camera.guid, others, bounds);
        const double update = std::chrono::duration<double>(Clock::now() - start).count();
        if (!ok) {
            std::fprintf(stderr, "the update failed\n");
            return 1;
        }
        rounds.push_back({update, transfer, transferUsb, static_cast<double>(usbNs.load()) * 1e-9, usbCalls.load()});
    }
    std::sort(rounds.begin(), rounds.end(), [](const Round& a, const Round& b) { return a.update < b.update; });
    const Round& median = rounds[kRounds / 2];
    std::printf("image_bytes: %zu\n", image.size());
    std::printf("update_s: %.3f\n", median.update);
    std::printf("transfer_s: %.3f\n", median.transfer);
    std::printf("transfer_inside_usb_calls_s: %.3f\n", median.transferUsb);
    std::printf("transfer_outside_usb_share: %.3f\n", (median.transfer - median.transferUsb) / median.transfer);
    std::printf("waits_s: %.3f\n", median.update - median.transfer);
    std::printf("usb_calls: %lld\n", static_cast<long long>(median.calls));
    std::printf("inside_usb_calls_s: %.3f\n", median.usb);
    std::printf("outside_usb_share: %.3f\n", (median.update - median.usb) / median.update);
    fs::remove_all(dir);
    return 0;
}
