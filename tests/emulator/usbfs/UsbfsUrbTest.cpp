// URBs through the emulated kernel: when their data moves, how they end when cancelled or
// timed out, the usbfs memory limit, the capabilities libusb splits transfers by, and a
// device leaving with URBs in flight.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "emulator/usbfs/UsbfsWorld.h"

namespace {

using namespace usbtest;
using UsbfsUrbs = UsbfsWorld;
using UsbfsMemory = UsbfsWorld;
using UsbfsCapabilities = UsbfsWorld;
using UsbfsUnplug = UsbfsWorld;

constexpr uint8_t kEventIn = 0x82, kStreamIn = 0x83;

TEST_F(UsbfsUrbs, OutDataIsTakenAtSubmitAndInDataLandsAtReap) {
    const int id = vcam::addCamera();
    libusb_device_handle* h = open(only());
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    ASSERT_EQ(libusb_claim_interface(h, 1), 0);

    // The command is spoilt right after submission: the camera still got the original.
    Bytes command = readMemCommand(0x0, 4, 0x1234);
    libusb_transfer* out = libusb_alloc_transfer(0);
    bool outDone = false;
    libusb_fill_bulk_transfer(out, h, 0x01, command.data(), static_cast<int>(command.size()),
                              [](libusb_transfer* t) { *static_cast<bool*>(t->user_data) = true; }, &outDone, 500);
    ASSERT_EQ(libusb_submit_transfer(out), 0);
    std::fill(command.begin(), command.end(), 0xEE);
    EXPECT_TRUE(pump([&] { return outDone; }));
    EXPECT_EQ(out->status, LIBUSB_TRANSFER_COMPLETED);
    libusb_free_transfer(out);
    Bytes ack(64);
    int got = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, 0x81, ack.data(), 64, &got, 500), 0);
    ASSERT_EQ(got, 16);
    EXPECT_EQ(ack[10] | ack[11] << 8, 0x1234) << "the acknowledge answers the command as submitted";

    // A read's buffer holds the device's bytes only once libusb has reaped the URB.
    AsyncRead in(h, kEventIn, 1024);
    ASSERT_EQ(in.submit(), 0);
    vcam::pushIn(id, kEventIn, Bytes(16, 0x42));
    EXPECT_EQ(in.buffer[0], 0xAA) << "not yet reaped";
    ASSERT_TRUE(pump([&] { return in.finished; }));
    EXPECT_EQ(in.status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(Bytes(in.buffer.begin(), in.buffer.begin() + in.actual), Bytes(16, 0x42));
    EXPECT_EQ(in.buffer[16], 0xAA) << "nothing written past what arrived";
}

TEST_F(UsbfsUrbs, CancelledAndTimedOutReadsLeaveTheDataForTheNextRead) {
    const int id = vcam::addCamera();
    libusb_device_handle* h = open(only());
    ASSERT_EQ(libusb_claim_interface(h, 1), 0);

    AsyncRead cancelled(h, kEventIn, 1024);
    ASSERT_EQ(cancelled.submit(), 0);
    EXPECT_EQ(libusb_cancel_transfer(cancelled.transfer), 0);
    ASSERT_TRUE(pump([&] { return cancelled.finished; }));
    EXPECT_EQ(cancelled.status, LIBUSB_TRANSFER_CANCELLED);
    EXPECT_EQ(libusb_cancel_transfer(cancelled.transfer), LIBUSB_ERROR_NOT_FOUND) << "already ended";

    AsyncRead timedOut(h, kEventIn, 1024, 30);
    ASSERT_EQ(timedOut.submit(), 0);
    ASSERT_TRUE(pump([&] { return timedOut.finished; }));
    EXPECT_EQ(timedOut.status, LIBUSB_TRANSFER_TIMED_OUT);

    vcam::pushIn(id, kEventIn, Bytes(12, 0x77));
    Bytes buf(1024);
    int got = 0;
    EXPECT_EQ(libusb_bulk_transfer(h, kEventIn, buf.data(), 1024, &got, 500), 0);
    EXPECT_EQ(got, 12) << "no discarded URB took the transfer";

    // Completed URBs that nobody reaped, and URBs in flight, go with the file.
    AsyncRead pending(h, kEventIn, 1024);
    ASSERT_EQ(pending.submit(), 0);
    EXPECT_GT(stats().memoryInUse, 0u);
    libusb_cancel_transfer(pending.transfer);
    ASSERT_TRUE(pump([&] { return pending.finished; }));
    close(h);
    EXPECT_TRUE(eventually([&] { return stats().memoryInUse == 0; })) << stats().memoryInUse;
}

TEST_F(UsbfsUrbs, AProgramEndingMidTransferLeavesNothingBehind) {
    vcam::addCamera();
    libusb_device_handle* h = open(only());
    const uint64_t closed = stats().filesClosed;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Another program on the same kernel: it claims the stream, submits reads and is
        // killed with them in flight.
        libusb_context* c = nullptr;
        libusb_device_handle* ch = nullptr;
        if (libusb_init(&c) != 0) _exit(1);
        libusb_device** list = nullptr;
        if (libusb_get_device_list(c, &list) != 1 || libusb_open(list[0], &ch) != 0) _exit(2);
        if (libusb_claim_interface(ch, 2) != 0) _exit(3);
        static uint8_t buffers[4][65536];
        for (auto& b : buffers) {
            libusb_transfer* t = libusb_alloc_transfer(0);
            libusb_fill_bulk_transfer(t, ch, kStreamIn, b, sizeof b, [](libusb_transfer*) {}, nullptr, 0);
            if (libusb_submit_transfer(t) != 0) _exit(4);
        }
        const char one = 1;
        if (write(ready[1], &one, 1) != 1) _exit(5);
        for (;;) pause();
    }
    ::close(ready[1]);
    char got = 0;
    ASSERT_EQ(read(ready[0], &got, 1), 1) << "the other program did not get going";
    ::close(ready[0]);
    EXPECT_GE(stats().memoryInUse, 4u * 65536);
    EXPECT_EQ(libusb_claim_interface(h, 2), LIBUSB_ERROR_BUSY) << "the other program holds it";

    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(eventually([&] { return stats().filesClosed > closed && stats().memoryInUse == 0; }))
        << stats().memoryInUse << " bytes still booked";
    EXPECT_EQ(libusb_claim_interface(h, 2), 0) << "its claim went with it";
}

TEST_F(UsbfsMemory, SubmissionsBeyondTheLimitFailWithNoMemory) {
    vcam::addCamera();
    libusb_device_handle* h = open(only());
    ASSERT_EQ(libusb_claim_interface(h, 2), 0);
    std::vector<std::unique_ptr<AsyncRead>> reads;
    int accepted = 0, refused = 0;
    for (int i = 0; i < 17; ++i) {
        reads.push_back(std::make_unique<AsyncRead>(h, kStreamIn, 1 << 20));
        const int r = reads.back()->submit();
        if (r == 0) {
            ++accepted;
        } else {
            EXPECT_EQ(r, LIBUSB_ERROR_NO_MEM);
            ++refused;
            reads.pop_back();
        }
    }
    EXPECT_EQ(accepted, 15) << "16 MiB hold 15 URBs of 1 MiB with the kernel's bookkeeping";
    EXPECT_EQ(refused, 2);
    EXPECT_EQ(stats().memoryPeak <= (16u << 20), true);

    // Memory comes back as URBs end.
    libusb_cancel_transfer(reads.front()->transfer);
    ASSERT_TRUE(pump([&] { return reads.front()->finished; }));
    AsyncRead again(h, kStreamIn, 1 << 20);
    EXPECT_EQ(again.submit(), 0);
    for (auto& r : reads) libusb_cancel_transfer(r->transfer);
    libusb_cancel_transfer(again.transfer);
    pump([&] {
        return again.finished && std::all_of(reads.begin(), reads.end(), [](auto& r) { return r->finished; });
    });

    // A synchronous read too large for the limit fails the same way.
    vcam::KernelConfig small;
    small.memoryMb = 1;
    vcam::setKernel(small);
    Bytes big(2 << 20);
    int got = -1;
    EXPECT_EQ(libusb_bulk_transfer(h, kStreamIn, big.data(), static_cast<int>(big.size()), &got, 100),
              LIBUSB_ERROR_NO_MEM);

    vcam::KernelConfig unlimited;
    unlimited.memoryMb = 0;
    vcam::setKernel(unlimited);
    std::vector<std::unique_ptr<AsyncRead>> many;
    for (int i = 0; i < 20; ++i) {
        many.push_back(std::make_unique<AsyncRead>(h, kStreamIn, 1 << 20));
        EXPECT_EQ(many.back()->submit(), 0);
    }
    for (auto& r : many) libusb_cancel_transfer(r->transfer);
    pump([&] { return std::all_of(many.begin(), many.end(), [](auto& r) { return r->finished; }); });
}

// Two device transfers, 20000 and 100 bytes, read with 64 KiB reads.
std::vector<int> readLengths(libusb_device_handle* h, int id) {
    vcam::pushIn(id, kEventIn, Bytes(20000, 0x11));
    vcam::pushIn(id, kEventIn, Bytes(100, 0x22));
    std::vector<int> lengths;
    Bytes buf(65536);
    for (int i = 0; i < 3; ++i) {
        int got = 0;
        const int r = libusb_bulk_transfer(h, kEventIn, buf.data(), 65536, &got, 100);
        if (r == LIBUSB_ERROR_TIMEOUT && got == 0) break;
        EXPECT_EQ(r, 0);
        lengths.push_back(got);
    }
    return lengths;
}

TEST_F(UsbfsCapabilities, LibusbSplitsTransfersByWhatTheKernelReports) {
    const int id = vcam::addCamera();
    libusb_device* dev = only();
    auto withCaps = [&](uint32_t caps) {
        vcam::KernelConfig k;
        k.capabilities = caps;
        vcam::setKernel(k);
        libusb_device_handle* h = open(dev);  // libusb reads the capabilities at open
        EXPECT_EQ(libusb_claim_interface(h, 1), 0);
        const std::vector<int> lengths = readLengths(h, id);
        close(h);
        EXPECT_TRUE(eventually([&] { return stats().memoryInUse == 0; }));
        return lengths;
    };
    EXPECT_EQ(withCaps(vcam::KernelConfig{}.capabilities), (std::vector<int>{20000, 100}));
    EXPECT_EQ(withCaps(vcam::kCapBulkContinuation | vcam::kCapZeroPacket), (std::vector<int>{20000, 100}))
        << "16 KiB URBs that stop at the short packet";
    EXPECT_EQ(withCaps(0), (std::vector<int>{20100}))
        << "without continuation the next transfer runs into the URBs still queued";
}

TEST_F(UsbfsUnplug, UrbsInFlightEndAndTheDeviceReturnsAtANewAddress) {
    const int id = vcam::addCamera();
    libusb_device* dev = only();
    const uint8_t address = libusb_get_device_address(dev);
    struct Seen {
        int arrived = 0, left = 0;
    } seen;
    libusb_hotplug_callback_handle hotplug = 0;
    ASSERT_EQ(libusb_hotplug_register_callback(
                  ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, LIBUSB_HOTPLUG_NO_FLAGS,
                  LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                  [](libusb_context*, libusb_device*, libusb_hotplug_event event, void* user) {
                      auto* s = static_cast<Seen*>(user);
                      (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? s->arrived : s->left)++;
                      return 0;
                  },
                  &seen, &hotplug),
              0);
    libusb_device_handle* h = open(dev);
    ASSERT_EQ(libusb_claim_interface(h, 2), 0);
    std::vector<std::unique_ptr<AsyncRead>> reads;
    for (int i = 0; i < 8; ++i) {
        reads.push_back(std::make_unique<AsyncRead>(h, kStreamIn, 1 << 20));
        ASSERT_EQ(reads.back()->submit(), 0);
    }
    vcam::unplug(id);
    EXPECT_TRUE(pump([&] {
        return seen.left == 1 && std::all_of(reads.begin(), reads.end(), [](auto& r) { return r->finished; });
    }));
    for (auto& r : reads) EXPECT_EQ(r->status, LIBUSB_TRANSFER_NO_DEVICE);
    uint8_t buf[64];
    int got = 0;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &got, 100), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(reads.front()->submit(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(devices().empty());

    vcam::replug(id);
    EXPECT_TRUE(pump([&] { return seen.arrived == 1; }));
    libusb_device* again = only();
    ASSERT_NE(again, nullptr);
    EXPECT_NE(libusb_get_device_address(again), address);
    libusb_device_handle* h2 = open(again);
    ASSERT_NE(h2, nullptr);
    EXPECT_EQ(libusb_claim_interface(h2, 0), 0) << "the old file's claims went with the device";
    EXPECT_EQ(ascii(h2, 2), "VCam-1");
    libusb_hotplug_deregister_callback(ctx, hotplug);
}

}  // namespace
