// Shared by the stream and event benchmarks: a virtual camera opened through the library
// down to its control channel, its registers, and a second plain libusb handle on it. The
// plain stream reader the library is measured against is PlainU3vReader.h.
#pragma once

#include <libusb.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tessoral/tessoral.h"
#include "vcam/vcam.h"

namespace bench {

constexpr uint64_t kWidth = 0x50000, kHeight = 0x50004, kPixelFormat = 0x50008;
constexpr uint64_t kAcquisitionStart = 0x40024, kAcquisitionStop = 0x40028;
constexpr uint64_t kSirm = 0x20000, kEirm = 0x30000;
constexpr uint8_t kEventIn = 0x82, kStreamIn = 0x83;
constexpr int kEventInterface = 1, kStreamInterface = 2;

inline double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

inline double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The first three fields of /proc/loadavg, printed beside a figure taken on a shared machine.
inline std::string loadAverage() {
    char text[128] = {};
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        if (std::fgets(text, sizeof text, f) == nullptr) text[0] = 0;
        std::fclose(f);
    }
    std::string s(text);
    size_t end = 0;
    for (int field = 0; field < 3 && end != std::string::npos; ++field) end = s.find(' ', end + (field ? 1 : 0));
    return s.substr(0, end);
}

// The median of figures taken in rounds (0 for none).
inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    if (v.empty()) return 0.0;
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Runs every side once a round, each round starting one side further on: a process's
// later runs can cost less than its first ones, and a change of load on a shared machine
// then hits every side alike.
inline void runInTurningOrder(int rounds, const std::vector<std::function<void()>>& sides) {
    for (int n = 0; n < rounds; ++n)
        for (size_t k = 0; k < sides.size(); ++k) sides[(k + static_cast<size_t>(n)) % sides.size()]();
}

// a's figure against b's, round by round, where both have one (a failed round has none: 0).
inline std::vector<double> roundRatios(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<double> r;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (a[i] > 0 && b[i] > 0) r.push_back(a[i] / b[i]);
    return r;
}

// The round whose figure (key) is the median, or a default result for no round.
template <class Result, class Key>
Result medianRound(std::vector<Result> rounds, Key key) {
    std::sort(rounds.begin(), rounds.end(), [&](const Result& a, const Result& b) { return key(a) < key(b); });
    return rounds.empty() ? Result{} : rounds[rounds.size() / 2];
}

// One camera with the given stream pacing (0: unpaced), opened by the library.
struct Camera {
    int id = 0;
    void* device = nullptr;
    void* control = nullptr;

    bool open(uint64_t bytesPerSecond) {
        vcam::reset();
        vcam::CameraConfig config;
        config.streamBytesPerSecond = bytesPerSecond;
        id = vcam::addCamera(config);
        uint16_t count = 0;
        U3V_DEVICE_INFO info{};
        // Log mask 0: messages cost only their test.
        return U3V_DiscoveryDevices(&count) == U3V_OK && count == 1 &&
               U3V_GetDeviceInfo(1, &info) == U3V_OK &&
               U3V_OpenDevice(info.DeviceGUID, &device, nullptr, 0) == U3V_OK &&
               U3V_OpenControl(device, &control) == U3V_OK;
    }
    bool write(uint64_t address, uint32_t value) {
        return U3V_WriteMem(control, address, 4, &value) == U3V_OK;
    }
    bool size(uint32_t width, uint32_t height, uint32_t pixelFormat = vcam::kPixelFormatMono8) {
        return write(kPixelFormat, pixelFormat) && write(kWidth, width) && write(kHeight, height);
    }
    ~Camera() {
        if (control != nullptr) U3V_CloseControl(control);
        if (device != nullptr) U3V_CloseDevice(device);
    }
};

// A second libusb handle on the camera, as an independent client would have.
inline libusb_device_handle* openRaw() {
    libusb_device** list = nullptr;
    libusb_device_handle* handle = nullptr;
    const ssize_t n = libusb_get_device_list(nullptr, &list);
    for (ssize_t i = 0; i < n && handle == nullptr; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) == 0 && d.bDeviceClass == 0xEF) {
            if (libusb_open(list[i], &handle) != 0) handle = nullptr;
        }
    }
    if (list != nullptr) libusb_free_device_list(list, 1);
    return handle;
}

// The library's stream on the camera, started with its defaults (or the transfer size and
// buffer count given).
struct LibraryStream {
    void* stream = nullptr;
    bool start(Camera& camera, uint32_t transferSize = 0, uint32_t bufferCount = 0) {
        return U3V_OpenStream(camera.device, camera.control, &stream, 1000) == U3V_OK &&
               (transferSize == 0 || U3V_SetTransferSize(stream, transferSize) == U3V_OK) &&
               (bufferCount == 0 || U3V_SetBufferCount(stream, bufferCount) == U3V_OK) &&
               U3V_AcquisitionStart(stream, 0) == U3V_OK && camera.write(kAcquisitionStart, 1);
    }
    void stop(Camera& camera) {
        uint64_t a = 0, b = 0;
        camera.write(kAcquisitionStop, 1);
        if (stream != nullptr) {
            U3V_AcquisitionStop(stream, &a, &b);
            U3V_CloseStream(stream);
        }
        stream = nullptr;
    }
};

}  // namespace bench
