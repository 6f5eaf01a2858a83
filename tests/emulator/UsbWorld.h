// A fresh emulated world and a libusb context for each test, with small helpers that
// only use the public libusb-1.0 API.
#pragma once

#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "vcam/vcam.h"

namespace usbtest {

using Bytes = std::vector<uint8_t>;

inline void putLe(Bytes& out, uint64_t v, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A GenCP ReadMem command as a USB3 Vision host sends it.
inline Bytes readMemCommand(uint64_t address, uint16_t count, uint16_t requestId) {
    Bytes out{'U', '3', 'V', 'C'};
    putLe(out, 0x4000, 2);  // flags: acknowledge requested
    putLe(out, 0x0800, 2);  // READMEM_CMD
    putLe(out, 12, 2);
    putLe(out, requestId, 2);
    putLe(out, address, 8);
    putLe(out, 0, 2);
    putLe(out, count, 2);
    return out;
}

inline double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

class UsbWorld : public ::testing::Test {
protected:
    void SetUp() override {
        vcam::reset();
        vcam::setCallRecord(true);  // these tests read what crossed the bus
        ASSERT_EQ(libusb_init(&ctx), LIBUSB_SUCCESS);
    }
    void TearDown() override {
        for (libusb_device_handle* h : handles) libusb_close(h);
        for (libusb_device* d : refs) libusb_unref_device(d);
        libusb_exit(ctx);
        vcam::reset();
    }

    // The devices on the bus now, in list order; the test keeps a reference to each.
    std::vector<libusb_device*> devices() {
        libusb_device** list = nullptr;
        const ssize_t n = libusb_get_device_list(ctx, &list);
        EXPECT_GE(n, 0);
        std::vector<libusb_device*> out;
        for (ssize_t i = 0; i < n; ++i) {
            out.push_back(list[i]);
            refs.push_back(libusb_ref_device(list[i]));
        }
        libusb_free_device_list(list, 1);
        return out;
    }

    libusb_device* only() {
        std::vector<libusb_device*> all = devices();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? nullptr : all[0];
    }

    libusb_device_handle* open(libusb_device* dev) {
        libusb_device_handle* h = nullptr;
        EXPECT_EQ(libusb_open(dev, &h), LIBUSB_SUCCESS);
        if (h) handles.push_back(h);
        return h;
    }

    void close(libusb_device_handle* h) {
        for (auto it = handles.begin(); it != handles.end(); ++it) {
            if (*it == h) {
                handles.erase(it);
                break;
            }
        }
        libusb_close(h);
    }

    // GET_DESCRIPTOR on the default pipe; empty when the device stalls.
    static Bytes descriptor(libusb_device_handle* h, uint8_t type, uint8_t index,
                            uint16_t length = 4096) {
        Bytes buf(length);
        const int r = libusb_get_descriptor(h, type, index, buf.data(), length);
        if (r < 0) return {};
        buf.resize(static_cast<size_t>(r));
        return buf;
    }

    static std::string ascii(libusb_device_handle* h, uint8_t index, int size = 256) {
        std::vector<unsigned char> buf(static_cast<size_t>(size), 0xAA);
        const int r = libusb_get_string_descriptor_ascii(h, index, buf.data(), size);
        if (r < 0) return "<error " + std::to_string(r) + ">";
        return std::string(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(r));
    }

    libusb_context* ctx = nullptr;
    std::vector<libusb_device_handle*> handles;
    std::vector<libusb_device*> refs;
};

}  // namespace usbtest
