// The bus the drop-in models: completions that come a latency after their data, a limit
// of submitted transfer memory, and frame rates as high as small regions reach.
#include <sys/time.h>

#include <algorithm>
#include <functional>

#include "config/ConfigFile.h"
#include "emulator/StreamHost.h"

namespace {

using namespace usbtest;
using Clock = std::chrono::steady_clock;

struct Done {
    int order = -1;
    libusb_transfer_status status = LIBUSB_TRANSFER_ERROR;
    int actual = -1;
    Clock::time_point at;
};

// Asynchronous reads of one test with their completions; freed at the end.
struct Reads {
    std::vector<libusb_transfer*> all;
    std::vector<Bytes> buffers;
    std::vector<Done> done;
    int finished = 0;

    explicit Reads(size_t n) : buffers(n), done(n) {
        for (size_t i = 0; i < n; ++i) all.push_back(libusb_alloc_transfer(0));
    }
    ~Reads() {
        for (libusb_transfer* t : all) libusb_free_transfer(t);
    }
    int submit(size_t i, libusb_device_handle* h, uint8_t ep, int size) {
        buffers[i].assign(static_cast<size_t>(size), 0);
        libusb_fill_bulk_transfer(all[i], h, ep, buffers[i].data(), size, callback, this, 0);
        return libusb_submit_transfer(all[i]);
    }
    static void LIBUSB_CALL callback(libusb_transfer* t) {
        auto* self = static_cast<Reads*>(t->user_data);
        for (size_t i = 0; i < self->all.size(); ++i) {
            if (self->all[i] != t) continue;
            self->done[i] = {self->finished++, t->status, t->actual_length, Clock::now()};
        }
    }
};

void handleUntil(libusb_context* ctx, const std::function<bool()>& ready, int maxRounds = 500) {
    timeval tv{0, 20000};
    for (int i = 0; i < maxRounds && !ready(); ++i) libusb_handle_events_timeout(ctx, &tv);
}

// One round of event handling that returns at once.
void poll(libusb_context* ctx) {
    timeval zero{0, 0};
    libusb_handle_events_timeout(ctx, &zero);
}

using Latency = StreamHost;

TEST_F(Latency, AsynchronousReadsCompleteNoEarlierThanTheLatencyYetAllAreServedAtOnce) {
    plug();
    constexpr uint32_t kLatencyUs = 30000;
    vcam::setTransferLatency(id, kLatencyUs);
    for (uint8_t i = 0; i < 4; ++i) vcam::pushIn(id, kEventIn, Bytes(16, static_cast<uint8_t>(0xA0 + i)));

    Reads reads(4);
    const Clock::time_point submitted = Clock::now();
    for (size_t i = 0; i < 4; ++i) ASSERT_EQ(reads.submit(i, h, kEventIn, 64), 0);
    // The device moved every transfer already: a host with reads queued loses no bus time.
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(reads.buffers[i][0], 0xA0 + i) << i;
    poll(ctx);
    EXPECT_EQ(reads.finished, 0) << "no completion before the latency has passed";
    struct timeval next{};
    ASSERT_EQ(libusb_get_next_timeout(ctx, &next), 1) << "a held-back completion is something to wake for";
    EXPECT_LE(next.tv_sec * 1000000 + next.tv_usec, kLatencyUs);

    handleUntil(ctx, [&] { return reads.finished == 4; });
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(reads.done[i].order, static_cast<int>(i));
        EXPECT_EQ(reads.done[i].status, LIBUSB_TRANSFER_COMPLETED);
        EXPECT_EQ(reads.done[i].actual, 16);
        EXPECT_GE(reads.done[i].at - submitted, std::chrono::microseconds(kLatencyUs));
    }
}

TEST_F(Latency, SynchronousCallsReturnNoEarlierAndAServedReadIsNoLongerCancellable) {
    vcam::CameraConfig config = unpaced();
    config.transferLatencyUs = 20000;
    plug(config);
    // Each register write is a command out and an acknowledge in: two latencies.
    Clock::time_point begin = Clock::now();
    EXPECT_EQ(write(kWidth, 64), 0);
    EXPECT_GE(Clock::now() - begin, std::chrono::microseconds(40000));

    vcam::pushIn(id, kEventIn, Bytes(8, 0x55));
    Reads reads(1);
    ASSERT_EQ(reads.submit(0, h, kEventIn, 64), 0);
    EXPECT_EQ(libusb_cancel_transfer(reads.all[0]), LIBUSB_ERROR_NOT_FOUND) << "its data has crossed the bus";
    handleUntil(ctx, [&] { return reads.finished == 1; });
    EXPECT_EQ(reads.done[0].status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(reads.done[0].actual, 8);

    // A read still waiting for data cancels as usual, and a latency of 0 completes at once.
    Reads waiting(1);
    ASSERT_EQ(waiting.submit(0, h, kEventIn, 64), 0);
    EXPECT_EQ(libusb_cancel_transfer(waiting.all[0]), 0);
    handleUntil(ctx, [&] { return waiting.finished == 1; });
    EXPECT_EQ(waiting.done[0].status, LIBUSB_TRANSFER_CANCELLED);
    vcam::setTransferLatency(id, 0);
    vcam::pushIn(id, kEventIn, Bytes(8, 0x66));
    Reads now(1);
    ASSERT_EQ(now.submit(0, h, kEventIn, 64), 0);
    poll(ctx);
    EXPECT_EQ(now.finished, 1);
}

TEST_F(Latency, FreeingATransferWhoseCompletionIsHeldBackLeavesNothingBehind) {
    plug();
    vcam::setTransferLatency(id, 50000);
    vcam::pushIn(id, kEventIn, Bytes(8, 1));
    vcam::pushIn(id, kEventIn, Bytes(8, 2));
    Reads reads(2);
    ASSERT_EQ(reads.submit(0, h, kEventIn, 64), 0);
    ASSERT_EQ(reads.submit(1, h, kEventIn, 64), 0);
    libusb_free_transfer(reads.all[0]);  // not allowed by libusb, but it must not crash later
    reads.all[0] = libusb_alloc_transfer(0);
    handleUntil(ctx, [&] { return reads.finished == 1; });
    EXPECT_EQ(reads.done[1].status, LIBUSB_TRANSFER_COMPLETED);
    EXPECT_EQ(reads.done[0].order, -1);
    EXPECT_EQ(vcam::usbfsMemoryInUse(), 0u);
}

using MemoryLimit = StreamHost;

TEST_F(MemoryLimit, SubmissionsBeyondTheLimitAreRefusedUntilMemoryIsReaped) {
    plug();
    vcam::setUsbfsMemoryLimit(64 * 1024);
    EXPECT_EQ(vcam::usbfsMemoryLimit(), 64u * 1024);
    Reads reads(6);
    for (size_t i = 0; i < 4; ++i) ASSERT_EQ(reads.submit(i, h, kEventIn, 16 * 1024), 0) << i;
    EXPECT_EQ(vcam::usbfsMemoryInUse(), 64u * 1024);
    EXPECT_EQ(reads.submit(4, h, kEventIn, 1), LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(vcam::usbfsMemoryInUse(), 64u * 1024) << "a refusal takes nothing";

    // A completion frees its memory only once event handling hands it over.
    vcam::pushIn(id, kEventIn, Bytes(8, 7));
    EXPECT_EQ(reads.submit(4, h, kEventIn, 1), LIBUSB_ERROR_NO_MEM);
    handleUntil(ctx, [&] { return reads.finished == 1; });
    EXPECT_EQ(vcam::usbfsMemoryInUse(), 48u * 1024);
    EXPECT_EQ(reads.submit(4, h, kEventIn, 16 * 1024), 0) << "the refused transfer goes through now";
    EXPECT_EQ(reads.submit(5, h, kEventIn, 1), LIBUSB_ERROR_NO_MEM);

    // Cancelled and freed transfers give theirs back too.
    EXPECT_EQ(libusb_cancel_transfer(reads.all[1]), 0);
    handleUntil(ctx, [&] { return reads.finished == 2; });
    EXPECT_EQ(vcam::usbfsMemoryInUse(), 48u * 1024);
    libusb_free_transfer(reads.all[2]);
    reads.all[2] = libusb_alloc_transfer(0);
    EXPECT_EQ(vcam::usbfsMemoryInUse(), 32u * 1024);
    EXPECT_EQ(reads.submit(5, h, kEventIn, 32 * 1024), 0);

    const std::vector<vcam::UsbCall> calls = vcam::calls();
    const size_t refusals = std::count_if(calls.begin(), calls.end(), [](const vcam::UsbCall& c) {
        return c.function == "libusb_submit_transfer" && c.result == LIBUSB_ERROR_NO_MEM;
    });
    EXPECT_EQ(refusals, 3u) << "each refusal is in the call record";
}

TEST_F(MemoryLimit, SynchronousTransfersHoldMemoryForTheirCallOnly) {
    plug();
    vcam::setUsbfsMemoryLimit(4096);
    EXPECT_EQ(write(kWidth, 64), 0) << "a small command fits";
    EXPECT_EQ(vcam::usbfsMemoryInUse(), 0u);
    Bytes big(8192);
    int moved = -1;
    EXPECT_EQ(libusb_bulk_transfer(h, kStreamIn, big.data(), 8192, &moved, 100), LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(moved, -1) << "a refused call moves nothing";

    // Under an asynchronous read that holds most of it, a synchronous one is refused.
    Reads reads(1);
    ASSERT_EQ(reads.submit(0, h, kEventIn, 4000), 0);
    EXPECT_EQ(libusb_bulk_transfer(h, kStreamIn, big.data(), 200, &moved, 100), LIBUSB_ERROR_NO_MEM);
    EXPECT_EQ(libusb_cancel_transfer(reads.all[0]), 0);
    handleUntil(ctx, [&] { return reads.finished == 1; });
    EXPECT_EQ(vcam::usbfsMemoryInUse(), 0u);

    vcam::reset();
    EXPECT_EQ(vcam::usbfsMemoryLimit(), 0u) << "a fresh world has no limit";
}

TEST_F(MemoryLimit, ConfigurationFileSetsLatencyAndLimit) {
    vcam::WorldConfig world;
    std::string error;
    ASSERT_TRUE(vcam::ConfigFile::parse("usbfs_memory_mb = 16\n[camera]\ntransfer_latency_us = 50\n", "t", world,
                                        &error))
        << error;
    EXPECT_EQ(world.usbfsMemoryBytes, 16u << 20);
    EXPECT_EQ(std::get<vcam::CameraConfig>(world.devices.at(0)).transferLatencyUs, 50u);
    for (const char* bad : {"usbfs_memory_mb = -1\n", "usbfs_memory_mb = 99999999999999999\n",
                            "[camera]\ntransfer_latency_us = 5000000000\n", "[camera]\nusbfs_memory_mb = 1\n"}) {
        EXPECT_FALSE(vcam::ConfigFile::parse(bad, "t", world, &error)) << bad;
    }
}

using HighRate = StreamHost;

// Reads images of `plan` with `queued` reads in flight until `images` trailers came;
// returns the leaders' timestamps by block id order.
std::vector<std::pair<uint64_t, uint64_t>> readImages(libusb_context* ctx, libusb_device_handle* h, size_t transfers,
                                                      size_t images, int queued) {
    Reads reads(static_cast<size_t>(queued));
    std::vector<std::pair<uint64_t, uint64_t>> leaders;  // block id, timestamp
    size_t trailers = 0, issued = 0, handled = 0;
    for (int i = 0; i < queued; ++i) reads.submit(static_cast<size_t>(i), h, kStreamIn, 4096), ++issued;
    const Clock::time_point give_up = Clock::now() + std::chrono::seconds(20);
    while (trailers < images && Clock::now() < give_up) {
        timeval tv{0, 10000};
        libusb_handle_events_timeout(ctx, &tv);
        // Completions come in submission order: look at each once, resubmit it.
        while (handled < issued) {
            const size_t slot = handled % static_cast<size_t>(queued);
            if (reads.done[slot].order < 0) break;
            const Bytes& b = reads.buffers[slot];
            if (reads.done[slot].status != LIBUSB_TRANSFER_COMPLETED) return leaders;
            if (reads.done[slot].actual == 52 && le(b, 0, 4) == 0x4C563355u) leaders.push_back({le(b, 8, 8), le(b, 20, 8)});
            if (reads.done[slot].actual == 32 && le(b, 0, 4) == 0x54563355u) ++trailers;
            reads.done[slot].order = -1;
            ++handled;
            if (issued < images * transfers) reads.submit(slot, h, kStreamIn, 4096), ++issued;
        }
    }
    return leaders;
}

TEST_F(HighRate, SmallImagesAtTwentyThousandAFrameRateArePacedExactly) {
    vcam::CameraConfig config = unpaced();
    config.frameRate = 20000;
    config.imageBuffers = 64;
    config.transferLatencyUs = 50;
    plug(config);
    start(64, 64, {4096, 1, 0, 0});
    const auto leaders = readImages(ctx, h, 3, 2000, 48);
    ASSERT_EQ(leaders.size(), 2000u);
    for (size_t i = 1; i < leaders.size(); ++i) {
        ASSERT_EQ(leaders[i].first, leaders[i - 1].first + 1) << "block ids without gaps";
        const uint64_t gap = leaders[i].second - leaders[i - 1].second;
        ASSERT_TRUE(gap > 0 && gap % 50000 == 0) << "capture times 50 us apart, or whole periods when dropped: " << gap;
    }
}

TEST_F(HighRate, PeriodsThatAreNoWholeNanosecondDoNotDrift) {
    // 30,000 a second is 33,333.3 ns: image k must be taken at floor(k * 1e9 / 30000).
    vcam::CameraConfig config = unpaced();
    config.frameRate = 30000;
    config.imageBuffers = 64;
    plug(config);
    start(16, 16, {4096, 1, 0, 0});
    const auto leaders = readImages(ctx, h, 3, 600, 48);
    ASSERT_EQ(leaders.size(), 600u);
    const uint64_t first = leaders[0].second;  // tick 0: the start of acquisition
    for (const auto& [block, timestamp] : leaders) {
        const uint64_t since = timestamp - first;
        const uint64_t tick = (since * 30000 + 500000000) / 1000000000;
        ASSERT_EQ(since, tick * 1000000000 / 30000) << "block " << block;
    }
    const uint64_t last = leaders.back().second - first;
    EXPECT_GT(last, 599u * 33333) << "the schedule spans the images read";
}

}  // namespace
