// The world of UsbWorld reached through the system libusb-1.0 and the emulated kernel:
// each test starts with the default kernel and may change its capabilities and limits.
#pragma once

#include <thread>

#include "emulator/UsbWorld.h"
#include "usbfs/UsbfsKernel.h"

namespace usbtest {

class UsbfsWorld : public UsbWorld {
protected:
    void SetUp() override {
        vcam::setKernel(vcam::KernelConfig{});
        UsbWorld::SetUp();
    }
    void TearDown() override {
        UsbWorld::TearDown();
        vcam::setKernel(vcam::KernelConfig{});
    }

    static vcam::usbfs::KernelStats stats() { return vcam::usbfs::Kernel::running()->stats(); }

    // A close reaches the kernel on umockdev's worker thread, a little later.
    template <typename Predicate>
    static bool eventually(Predicate done, int ms = 3000) {
        for (int i = 0; i < ms / 5; ++i) {
            if (done()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done();
    }

    // Runs libusb's event handling until `done` or about two seconds passed.
    template <typename Predicate>
    bool pump(Predicate done) {
        for (int i = 0; i < 100 && !done(); ++i) {
            timeval tv{0, 20000};
            libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
        }
        return done();
    }
};

// An asynchronous bulk read that records how it ended.
struct AsyncRead {
    explicit AsyncRead(libusb_device_handle* h, uint8_t ep, int size, unsigned timeout = 0)
        : buffer(static_cast<size_t>(size), 0xAA), transfer(libusb_alloc_transfer(0)) {
        libusb_fill_bulk_transfer(transfer, h, ep, buffer.data(), size, &AsyncRead::done, this, timeout);
    }
    ~AsyncRead() { libusb_free_transfer(transfer); }
    AsyncRead(const AsyncRead&) = delete;
    AsyncRead& operator=(const AsyncRead&) = delete;

    int submit() { return libusb_submit_transfer(transfer); }
    static void LIBUSB_CALL done(libusb_transfer* t) {
        auto* self = static_cast<AsyncRead*>(t->user_data);
        self->finished = true;
        self->status = t->status;
        self->actual = t->actual_length;
    }

    Bytes buffer;
    libusb_transfer* transfer;
    bool finished = false;
    libusb_transfer_status status = LIBUSB_TRANSFER_ERROR;
    int actual = -1;
};

}  // namespace usbtest
