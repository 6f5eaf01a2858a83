// Claims and the synchronous pipes: commands to the firmware, acknowledges back, halts,
// short and oversized reads, time-outs, and what unplugging does to all of it.
#include <atomic>
#include <thread>

#include "emulator/UsbWorld.h"

namespace {

using namespace usbtest;
using Pipes = UsbWorld;

int write(libusb_device_handle* h, uint8_t ep, Bytes data, int* sent = nullptr) {
    int moved = -1;
    const int r = libusb_bulk_transfer(h, ep, data.data(), static_cast<int>(data.size()), &moved, 500);
    if (sent) *sent = moved;
    return r;
}

struct Read {
    int result;
    Bytes data;
};
Read read(libusb_device_handle* h, uint8_t ep, int size, unsigned timeout = 500) {
    Bytes buf(static_cast<size_t>(size));
    int got = -1;
    const int r = libusb_bulk_transfer(h, ep, buf.data(), size, &got, timeout);
    buf.resize(got < 0 ? 0 : static_cast<size_t>(got));
    return {r, buf};
}

TEST_F(Pipes, ClaimsBelongToOneHandleUntilReleasedOrClosed) {
    const int id = vcam::addCamera();
    libusb_device* dev = only();
    libusb_device_handle* a = open(dev);
    libusb_device_handle* b = open(dev);

    EXPECT_EQ(libusb_claim_interface(a, 0), LIBUSB_SUCCESS);
    EXPECT_EQ(libusb_claim_interface(a, 0), LIBUSB_SUCCESS) << "claiming twice is harmless";
    EXPECT_EQ(libusb_claim_interface(b, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_release_interface(b, 0), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_claim_interface(b, 2), LIBUSB_SUCCESS);
    EXPECT_EQ(libusb_claim_interface(a, 2), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(a, 3), LIBUSB_ERROR_NOT_FOUND);

    EXPECT_EQ(libusb_release_interface(b, 2), LIBUSB_SUCCESS);
    EXPECT_EQ(libusb_claim_interface(a, 2), LIBUSB_SUCCESS);
    close(a);  // releases 0 and 2
    EXPECT_EQ(libusb_claim_interface(b, 0), LIBUSB_SUCCESS);
    EXPECT_EQ(libusb_claim_interface(b, 2), LIBUSB_SUCCESS);

    const std::vector<vcam::UsbCall> calls = vcam::calls();
    int claims = 0;
    for (const vcam::UsbCall& c : calls) {
        if (c.function == "libusb_claim_interface") {
            ++claims;
            EXPECT_GE(c.interface, 0);
            EXPECT_EQ(c.device, id);
        }
    }
    EXPECT_EQ(claims, 9);
}

TEST_F(Pipes, ControlHeldElsewhereIsBusyForEveryHandle) {
    vcam::CameraConfig config;
    config.controlHeldElsewhere = true;
    vcam::addCamera(config);
    libusb_device* dev = only();
    for (libusb_device_handle* h : {open(dev), open(dev)}) {
        EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_BUSY);
    }
    EXPECT_EQ(libusb_claim_interface(handles[0], 1), LIBUSB_SUCCESS);
}

TEST_F(Pipes, CommandsReachTheFirmwareAndItsAcknowledgesComeBack) {
    const int id = vcam::addCamera();
    libusb_device_handle* h = open(only());
    ASSERT_EQ(libusb_claim_interface(h, 0), LIBUSB_SUCCESS);
    vcam::clearCalls();

    const Bytes command = readMemCommand(0x0000, 4, 0x1234);  // ABRM: GenCP version
    int sent = 0;
    ASSERT_EQ(write(h, 0x01, command, &sent), LIBUSB_SUCCESS);
    EXPECT_EQ(sent, static_cast<int>(command.size()));
    const Read ack = read(h, 0x81, 1024);
    ASSERT_EQ(ack.result, LIBUSB_SUCCESS);
    ASSERT_EQ(ack.data.size(), 16u);
    EXPECT_EQ(Bytes(ack.data.begin(), ack.data.begin() + 4), (Bytes{'U', '3', 'V', 'C'}));
    EXPECT_EQ(ack.data[4] | (ack.data[5] << 8), 0) << "status";
    EXPECT_EQ(ack.data[6] | (ack.data[7] << 8), 0x0801) << "READMEM_ACK";
    EXPECT_EQ(ack.data[10] | (ack.data[11] << 8), 0x1234) << "request id";
    uint8_t version[4];
    ASSERT_TRUE(vcam::peek(id, 0x0000, version, 4));
    EXPECT_EQ(Bytes(ack.data.begin() + 12, ack.data.end()), Bytes(version, version + 4));

    const std::vector<vcam::UsbCall> calls = vcam::calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].function, "libusb_bulk_transfer");
    EXPECT_EQ(calls[0].device, id);
    EXPECT_EQ(calls[0].endpoint, 0x01);
    EXPECT_EQ(calls[0].timeoutMs, 500u);
    EXPECT_EQ(calls[0].data, command);
    EXPECT_EQ(calls[1].endpoint, 0x81);
    EXPECT_EQ(calls[1].length, 1024);
    EXPECT_EQ(calls[1].data, ack.data);
    EXPECT_EQ(calls[1].transferred, 16);
}

TEST_F(Pipes, HaltedPipesFailUntilCleared) {
    const int id = vcam::addCamera();
    libusb_device_handle* h = open(only());
    vcam::ControlFault fault;
    fault.kind = vcam::ControlFaultKind::StallOut;
    vcam::addControlFault(id, fault);

    EXPECT_EQ(write(h, 0x01, readMemCommand(0, 4, 1)), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(write(h, 0x01, readMemCommand(0, 4, 2)), LIBUSB_ERROR_PIPE) << "stays halted";
    EXPECT_EQ(libusb_clear_halt(h, 0x01), LIBUSB_SUCCESS);
    EXPECT_EQ(write(h, 0x01, readMemCommand(0, 4, 3)), LIBUSB_SUCCESS);
    Read ack = read(h, 0x81, 1024);
    ASSERT_EQ(ack.result, LIBUSB_SUCCESS);
    EXPECT_EQ(ack.data[10], 3) << "the halted commands never arrived";

    fault.kind = vcam::ControlFaultKind::StallIn;
    vcam::addControlFault(id, fault);
    EXPECT_EQ(write(h, 0x01, readMemCommand(0, 4, 4)), LIBUSB_SUCCESS);
    EXPECT_EQ(read(h, 0x81, 1024).result, LIBUSB_ERROR_PIPE);
    EXPECT_EQ(read(h, 0x81, 1024).result, LIBUSB_ERROR_PIPE);
    EXPECT_EQ(write(h, 0x01, readMemCommand(0, 4, 5)), LIBUSB_SUCCESS) << "OUT is unaffected";
    EXPECT_EQ(libusb_clear_halt(h, 0x81), LIBUSB_SUCCESS);
    ack = read(h, 0x81, 1024);
    ASSERT_EQ(ack.result, LIBUSB_SUCCESS);
    EXPECT_EQ(ack.data[10], 5);
    EXPECT_EQ(libusb_clear_halt(h, 0x85), LIBUSB_ERROR_NOT_FOUND);
}

TEST_F(Pipes, EachReadTakesOneTransfer) {
    const int id = vcam::addCamera();
    libusb_device_handle* h = open(only());
    Bytes big(100);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
    vcam::pushIn(id, 0x82, Bytes(10, 0xE1));
    vcam::pushIn(id, 0x82, big);
    vcam::pushIn(id, 0x82, Bytes(30, 0xE3));

    Read r = read(h, 0x82, 64);
    EXPECT_EQ(r.result, LIBUSB_SUCCESS);
    EXPECT_EQ(r.data, Bytes(10, 0xE1)) << "short read";
    r = read(h, 0x82, 64);
    EXPECT_EQ(r.result, LIBUSB_ERROR_OVERFLOW);
    EXPECT_EQ(r.data, Bytes(big.begin(), big.begin() + 64)) << "the rest is lost";
    r = read(h, 0x82, 64);
    EXPECT_EQ(r.result, LIBUSB_SUCCESS);
    EXPECT_EQ(r.data, Bytes(30, 0xE3));

    const auto start = std::chrono::steady_clock::now();
    r = read(h, 0x82, 64, 100);
    EXPECT_EQ(r.result, LIBUSB_ERROR_TIMEOUT);
    EXPECT_GE(msSince(start), 95.0);
    EXPECT_LT(msSince(start), 3000.0);

    EXPECT_EQ(read(h, 0x84, 64).result, LIBUSB_ERROR_NOT_FOUND);
    vcam::pushIn(id, 0x83, Bytes(8, 1));
    EXPECT_EQ(read(h, 0x82, 64, 50).result, LIBUSB_ERROR_TIMEOUT) << "pipes are separate";
    EXPECT_EQ(read(h, 0x83, 64).data, Bytes(8, 1));
}

TEST_F(Pipes, ReadsWithoutTimeOutWaitForData) {
    const int id = vcam::addCamera();
    libusb_device_handle* h = open(only());
    std::thread producer([id] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        vcam::pushIn(id, 0x83, Bytes(512, 7));
    });
    const Read r = read(h, 0x83, 1024, 0);
    producer.join();
    EXPECT_EQ(r.result, LIBUSB_SUCCESS);
    EXPECT_EQ(r.data.size(), 512u);
}

TEST_F(Pipes, UnplugWakesABlockedReadAndReplugIsANewDevice) {
    const int id = vcam::addCamera();
    libusb_device* dev = only();
    const uint8_t address = libusb_get_device_address(dev);
    libusb_device_handle* h = open(dev);
    ASSERT_EQ(libusb_claim_interface(h, 2), LIBUSB_SUCCESS);

    std::atomic<bool> started{false};
    Read blocked{};
    double waited = 0;
    std::thread reader([&] {
        started = true;
        const auto start = std::chrono::steady_clock::now();
        blocked = read(h, 0x83, 1024, 0);
        waited = msSince(start);
    });
    while (!started) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    vcam::unplug(id);
    reader.join();
    EXPECT_EQ(blocked.result, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_LT(waited, 2000.0);
    EXPECT_FALSE(vcam::plugged(id));

    EXPECT_EQ(write(h, 0x01, readMemCommand(0, 4, 1)), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_release_interface(h, 2), LIBUSB_ERROR_NO_DEVICE);
    libusb_device_handle* again = nullptr;
    EXPECT_EQ(libusb_open(dev, &again), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(devices().empty());
    libusb_device_descriptor dd{};
    EXPECT_EQ(libusb_get_device_descriptor(dev, &dd), LIBUSB_SUCCESS) << "still referenced";

    vcam::replug(id);
    EXPECT_TRUE(vcam::plugged(id));
    libusb_device* back = only();
    EXPECT_NE(back, dev);
    EXPECT_NE(libusb_get_device_address(back), address);
    EXPECT_EQ(read(h, 0x83, 16, 10).result, LIBUSB_ERROR_NO_DEVICE) << "old handles stay dead";
    libusb_device_handle* fresh = open(back);
    EXPECT_EQ(libusb_claim_interface(fresh, 2), LIBUSB_SUCCESS) << "old claims are gone";
}

}  // namespace
