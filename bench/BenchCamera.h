// Shared by the stream and event benchmarks: a virtual camera opened through the library
// down to its control channel, its registers, and a plain libusb-1.0 reader of its stream
// pipe (the floor the library's stream is measured against).
#pragma once

#include <libusb.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tessoral/tessoral.h"
#include "vcam/vcam.h"

namespace bench {

constexpr uint64_t kWidth = 0x50000, kHeight = 0x50004;
constexpr uint64_t kAcquisitionStart = 0x40024, kAcquisitionStop = 0x40028;
constexpr uint64_t kSirm = 0x20000, kEirm = 0x30000;
constexpr uint8_t kEventIn = 0x82, kStreamIn = 0x83;
constexpr int kEventInterface = 1, kStreamInterface = 2;
constexpr uint32_t kTransferSize = 65536;

inline double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

inline double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
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
    bool size(uint32_t width, uint32_t height) { return write(kWidth, width) && write(kHeight, height); }
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

// Plain libusb-1.0 asynchronous reads of whole images: every transfer of an image (leader,
// planned payload pieces, trailer) queued at once into a receive buffer, then one copy
// into the caller's memory. Programs the plan and enables the stream itself.
class PlainStreamReader {
public:
    bool start(Camera& camera, uint64_t payload) {
        payload_ = payload;
        const uint32_t count = static_cast<uint32_t>(payload / kTransferSize);
        const uint32_t final1 = static_cast<uint32_t>(payload % kTransferSize);
        if (!camera.write(kSirm + 0x18, 1024) || !camera.write(kSirm + 0x1C, kTransferSize) ||
            !camera.write(kSirm + 0x20, count) || !camera.write(kSirm + 0x24, final1) ||
            !camera.write(kSirm + 0x28, 0) || !camera.write(kSirm + 0x2C, 1024))
            return false;
        handle_ = openRaw();
        if (handle_ == nullptr || libusb_claim_interface(handle_, kStreamInterface) != 0) return false;
        if (!camera.write(kSirm + 0x04, 1) || !camera.write(kAcquisitionStart, 1)) return false;
        receive_.assign(payload, 0);
        leader_.assign(1024, 0);
        trailer_.assign(1024, 0);
        pieces_.clear();
        pieces_.push_back({leader_.data(), 1024});
        for (uint32_t i = 0; i < count; ++i)
            pieces_.push_back({receive_.data() + size_t{i} * kTransferSize, static_cast<int>(kTransferSize)});
        if (final1 != 0)
            pieces_.push_back({receive_.data() + size_t{count} * kTransferSize, static_cast<int>(final1)});
        pieces_.push_back({trailer_.data(), 1024});
        for (size_t i = 0; i < pieces_.size(); ++i) {
            libusb_transfer* t = libusb_alloc_transfer(0);
            if (t == nullptr) return false;
            transfers_.push_back(t);
        }
        return true;
    }

    // Reads the next image into destination; its block id, or 0 on failure.
    uint64_t read(uint8_t* destination) {
        done_ = 0;
        for (size_t i = 0; i < pieces_.size(); ++i) {
            libusb_fill_bulk_transfer(transfers_[i], handle_, kStreamIn, pieces_[i].data, pieces_[i].size,
                                      &PlainStreamReader::onDone, this, 2000);
            if (libusb_submit_transfer(transfers_[i]) != 0) return 0;
        }
        while (done_ < static_cast<int>(pieces_.size())) libusb_handle_events(nullptr);
        for (libusb_transfer* t : transfers_)
            if (t->status != LIBUSB_TRANSFER_COMPLETED) return 0;
        if (std::memcmp(leader_.data(), "U3VL", 4) != 0 || std::memcmp(trailer_.data(), "U3VT", 4) != 0) return 0;
        std::memcpy(destination, receive_.data(), payload_);
        uint64_t block = 0;
        std::memcpy(&block, leader_.data() + 8, 8);
        return block;
    }

    void stop(Camera& camera) {
        camera.write(kAcquisitionStop, 1);
        camera.write(kSirm + 0x04, 0);
        for (libusb_transfer* t : transfers_) libusb_free_transfer(t);
        transfers_.clear();
        if (handle_ != nullptr) {
            libusb_release_interface(handle_, kStreamInterface);
            libusb_close(handle_);
            handle_ = nullptr;
        }
    }

private:
    struct Piece {
        uint8_t* data;
        int size;
    };
    static void onDone(libusb_transfer* t) { ++static_cast<PlainStreamReader*>(t->user_data)->done_; }

    uint64_t payload_ = 0;
    libusb_device_handle* handle_ = nullptr;
    std::vector<uint8_t> receive_, leader_, trailer_;
    std::vector<Piece> pieces_;
    std::vector<libusb_transfer*> transfers_;
    int done_ = 0;
};

// The library's stream on the camera, started with its defaults.
struct LibraryStream {
    void* stream = nullptr;
    bool start(Camera& camera) {
        return U3V_OpenStream(camera.device, camera.control, &stream, 1000) == U3V_OK &&
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
