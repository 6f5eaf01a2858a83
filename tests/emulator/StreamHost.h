// A USB3 Vision host on one virtual camera, written from the published layouts alone:
// GenCP register access, the SIRM plan, and whole images read transfer by transfer.
#pragma once

#include <algorithm>

#include "emulator/UsbWorld.h"

namespace usbtest {

constexpr uint8_t kControlOut = 0x01, kControlIn = 0x81, kEventIn = 0x82, kStreamIn = 0x83;
constexpr uint64_t kSirm = 0x20000, kEirm = 0x30000;
constexpr uint64_t kWidth = 0x50000, kHeight = 0x50004, kPayloadSize = 0x5000C;
constexpr uint64_t kAcquisitionStart = 0x40024, kAcquisitionStop = 0x40028;
constexpr uint64_t kTriggerMode = 0x40104, kTriggerSoftware = 0x40184, kStartAlias = 0x50014;

inline uint64_t le(const Bytes& b, size_t at, int width) {
    uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | b.at(at + static_cast<size_t>(i));
    return v;
}

struct Plan {
    uint32_t size = 1024, count = 0, final1 = 0, final2 = 0;
};

struct Read {
    int result;
    Bytes data;
};

// A USB3 Vision host on one camera, written from the published layouts alone.
class StreamHost : public UsbWorld {
protected:
    void plug(vcam::CameraConfig config = unpaced()) {
        id = vcam::addCamera(config);
        h = open(only());
        ASSERT_NE(h, nullptr);
        for (int itf = 0; itf < 3; ++itf) ASSERT_EQ(libusb_claim_interface(h, itf), LIBUSB_SUCCESS);
    }

    static vcam::CameraConfig unpaced() {
        vcam::CameraConfig c;
        c.streamBytesPerSecond = 0;
        return c;
    }

    // GenCP WriteMem of 4 or 8 bytes; the acknowledge's status.
    uint16_t write(uint64_t address, uint64_t value, int width = 4) {
        Bytes cmd{'U', '3', 'V', 'C'};
        putLe(cmd, 0x4000, 2);
        putLe(cmd, 0x0802, 2);
        putLe(cmd, static_cast<uint64_t>(8 + width), 2);
        putLe(cmd, ++requestId, 2);
        putLe(cmd, address, 8);
        putLe(cmd, value, width);
        int moved = 0;
        EXPECT_EQ(libusb_bulk_transfer(h, kControlOut, cmd.data(), static_cast<int>(cmd.size()), &moved, 500), 0);
        Read ack = read(kControlIn, 64, 500);
        EXPECT_EQ(ack.result, 0);
        return ack.data.size() >= 12 ? static_cast<uint16_t>(le(ack.data, 4, 2)) : 0xFFFF;
    }

    uint64_t readReg(uint64_t address, int width = 4) {
        Bytes cmd = readMemCommand(address, static_cast<uint16_t>(width), ++requestId);
        int moved = 0;
        EXPECT_EQ(libusb_bulk_transfer(h, kControlOut, cmd.data(), static_cast<int>(cmd.size()), &moved, 500), 0);
        Read ack = read(kControlIn, 64, 500);
        EXPECT_EQ(ack.data.size(), 12u + static_cast<size_t>(width));
        return ack.data.size() == 12u + static_cast<size_t>(width) ? le(ack.data, 12, width) : ~0ull;
    }

    Read read(uint8_t ep, int size, unsigned timeout = 500) {
        Bytes buf(static_cast<size_t>(size));
        int got = -1;
        const int r = libusb_bulk_transfer(h, ep, buf.data(), size, &got, timeout);
        buf.resize(got < 0 ? 0 : static_cast<size_t>(got));
        return {r, buf};
    }

    void program(uint32_t width, uint32_t height, const Plan& plan) {
        ASSERT_EQ(write(kWidth, width), 0);
        ASSERT_EQ(write(kHeight, height), 0);
        ASSERT_EQ(write(kSirm + 0x18, 1024), 0);
        ASSERT_EQ(write(kSirm + 0x1C, plan.size), 0);
        ASSERT_EQ(write(kSirm + 0x20, plan.count), 0);
        ASSERT_EQ(write(kSirm + 0x24, plan.final1), 0);
        ASSERT_EQ(write(kSirm + 0x28, plan.final2), 0);
        ASSERT_EQ(write(kSirm + 0x2C, 1024), 0);
    }

    // Programs the plan, enables the stream and starts acquisition.
    void start(uint32_t width, uint32_t height, const Plan& plan) {
        program(width, height, plan);
        ASSERT_EQ(write(kSirm + 0x04, 1), 0);
        ASSERT_EQ(write(kAcquisitionStart, 1), 0);
    }

    // Starts 100 x 30 images on kFaultPlan with `kind` due at the second payload transfer,
    // and reads the two transfers before it.
    static constexpr Plan kFaultPlan{1024, 2, 952, 0};
    void startUntilFault(vcam::StreamFaultKind kind) {
        vcam::StreamFault fault{kind};
        fault.transfer = 1;
        vcam::addStreamFault(id, fault);
        start(100, 30, kFaultPlan);
        ASSERT_EQ(read(kStreamIn, 1024).data.size(), 52u);
        ASSERT_EQ(read(kStreamIn, 1024).result, 0);
    }

    // One whole image as the plan cuts it: leader, payload pieces, trailer.
    struct Image {
        Bytes leader, payload, trailer;
        std::vector<size_t> pieces;
    };
    Image readImage(const Plan& plan, uint64_t payload) {
        Image image;
        Read leader = read(kStreamIn, 1024);
        EXPECT_EQ(leader.result, 0);
        image.leader = leader.data;
        uint64_t left = payload;
        auto piece = [&](uint32_t size) {
            if (size == 0 || left == 0) return;
            Read r = read(kStreamIn, static_cast<int>(size));
            EXPECT_EQ(r.result, 0);
            image.pieces.push_back(r.data.size());
            image.payload.insert(image.payload.end(), r.data.begin(), r.data.end());
            left -= std::min<uint64_t>(left, size);
        };
        for (uint32_t i = 0; i < plan.count; ++i) piece(plan.size);
        piece(plan.final1);
        piece(plan.final2);
        Read trailer = read(kStreamIn, 1024);
        EXPECT_EQ(trailer.result, 0);
        image.trailer = trailer.data;
        return image;
    }

    int id = 0;
    libusb_device_handle* h = nullptr;
    uint16_t requestId = 0;
};

}  // namespace usbtest
