// The camera's stream and event sides seen from a plain libusb-1.0 host: register maps,
// leader/payload/trailer transfers byte by byte, the programmed plan, overflow, pacing and
// drops, trigger mode, injected faults, and the call record being opt-in.
#include <thread>

#include "emulator/StreamHost.h"

namespace {

using namespace usbtest;

using Stream = StreamHost;

TEST_F(Stream, ImagesFollowTheStandardLayoutByteForByte) {
    plug();
    const Plan plan{1024, 2, 952, 0};  // 100 x 30 = 3000 bytes: two full transfers and a remainder
    start(100, 30, plan);
    uint64_t lastTimestamp = 0;
    for (uint64_t block = 1; block <= 3; ++block) {
        Image image = readImage(plan, 3000);
        ASSERT_EQ(image.leader.size(), 52u);
        EXPECT_EQ(le(image.leader, 0, 4), 0x4C563355u);  // "U3VL"
        EXPECT_EQ(le(image.leader, 4, 2), 0u);
        EXPECT_EQ(le(image.leader, 6, 2), 52u);
        EXPECT_EQ(le(image.leader, 8, 8), block);
        EXPECT_EQ(le(image.leader, 16, 2), 0u);
        EXPECT_EQ(le(image.leader, 18, 2), 1u);  // image
        const uint64_t timestamp = le(image.leader, 20, 8);
        EXPECT_GT(timestamp, lastTimestamp);
        lastTimestamp = timestamp;
        EXPECT_EQ(le(image.leader, 28, 4), 0x01080001u);  // Mono8
        EXPECT_EQ(le(image.leader, 32, 4), 100u);
        EXPECT_EQ(le(image.leader, 36, 4), 30u);
        EXPECT_EQ(le(image.leader, 40, 4), 0u);
        EXPECT_EQ(le(image.leader, 44, 4), 0u);
        EXPECT_EQ(le(image.leader, 48, 4), 0u);  // padding x and reserved

        EXPECT_EQ(image.pieces, (std::vector<size_t>{1024, 1024, 952}));
        ASSERT_EQ(image.payload.size(), 3000u);
        EXPECT_EQ(vcam::firstMismatch(block, image.payload.data(), 3000), -1);
        EXPECT_EQ(image.payload, vcam::expectedImage(block, 3000));

        ASSERT_EQ(image.trailer.size(), 32u);
        EXPECT_EQ(le(image.trailer, 0, 4), 0x54563355u);  // "U3VT"
        EXPECT_EQ(le(image.trailer, 4, 2), 0u);
        EXPECT_EQ(le(image.trailer, 6, 2), 32u);
        EXPECT_EQ(le(image.trailer, 8, 8), block);
        EXPECT_EQ(le(image.trailer, 16, 2), 0u);
        EXPECT_EQ(le(image.trailer, 18, 2), 0u);
        EXPECT_EQ(le(image.trailer, 20, 8), 3000u);
        EXPECT_EQ(le(image.trailer, 28, 4), 30u);
    }
    EXPECT_EQ(vcam::streamStats(id).completed, 3u);
}

// What the camera spent writing transfers is counted per transfer and byte while the clock
// is on, and not at all while it is off; switching it on starts from zero.
TEST_F(Stream, SourceCostCountsWhatTheCameraWroteOnlyWhileTheClockIsOn) {
    plug();
    const Plan plan{1024, 2, 952, 0};
    start(100, 30, plan);
    (void)readImage(plan, 3000);  // clock off: not counted
    vcam::setSourceCostClock(true);
    EXPECT_EQ(vcam::sourceCost().transfers, 0u);
    for (int i = 0; i < 3; ++i) (void)readImage(plan, 3000);
    const vcam::SourceCost on = vcam::sourceCost();
    EXPECT_EQ(on.transfers, 3u * 5) << "leader, three payload pieces and trailer of each image";
    EXPECT_EQ(on.bytes, 3u * (52 + 3000 + 32));
    EXPECT_GT(on.cpuSeconds, 0.0);
    EXPECT_LT(on.cpuSeconds, 1.0);
    vcam::setSourceCostClock(false);
    (void)readImage(plan, 3000);
    EXPECT_EQ(vcam::sourceCost().transfers, on.transfers);
    EXPECT_EQ(vcam::sourceCost().bytes, on.bytes);
    vcam::setSourceCostClock(true);
    EXPECT_EQ(vcam::sourceCost().bytes, 0u);
    vcam::setSourceCostClock(false);
}

TEST_F(Stream, PatternDiffersBetweenImagesAndAlongThePayload) {
    // What a host's byte-exact check relies on: a misplaced or stale transfer shows.
    const std::vector<uint8_t> a = vcam::expectedImage(1, 1 << 18), b = vcam::expectedImage(2, 1 << 18);
    EXPECT_EQ(a[0], 1);
    EXPECT_EQ(b[0], 2);
    for (size_t shift : {size_t{256}, size_t{1024}, size_t{65536}}) {
        EXPECT_NE(std::vector<uint8_t>(a.begin() + 8, a.begin() + 4096),
                  std::vector<uint8_t>(a.begin() + 8 + shift, a.begin() + 4096 + shift));
    }
    size_t same = 0;
    for (size_t i = 8; i < a.size(); ++i) same += a[i] == b[i];
    EXPECT_LT(same, a.size() / 64) << "consecutive images share few bytes at the same place";
}

TEST_F(Stream, RegisterMapsDescribeTheStreamAndGuardThePlan) {
    vcam::CameraConfig config = unpaced();
    config.payloadAlignmentLog2 = 6;
    plug(config);
    EXPECT_EQ(readReg(kSirm + 0x00) >> 24, 6u) << "SI_Info alignment 2^6";
    EXPECT_EQ(readReg(kSirm + 0x10), 52u);
    EXPECT_EQ(readReg(kSirm + 0x14), 32u);
    ASSERT_EQ(write(kWidth, 320), 0);
    ASSERT_EQ(write(kHeight, 200), 0);
    EXPECT_EQ(readReg(kSirm + 0x08, 8), 64000u);
    EXPECT_EQ(readReg(kPayloadSize), 64000u);

    // A plan that cannot carry the payload is refused; the register keeps its value.
    program(320, 200, {1024, 62, 0, 0});
    EXPECT_EQ(write(kSirm + 0x04, 1), 0xA004);
    EXPECT_EQ(readReg(kSirm + 0x04), 0u);
    ASSERT_EQ(write(kSirm + 0x20, 63), 0);  // 63 * 1024 >= 64000
    // The other bits of SI_Control are kept as written (read-modify-write by hosts).
    EXPECT_EQ(write(kSirm + 0x04, 6), 0);
    EXPECT_EQ(readReg(kSirm + 0x04), 6u);
    EXPECT_EQ(write(kSirm + 0x04, 7), 0);
    EXPECT_EQ(readReg(kSirm + 0x04), 7u);

    // The image size is locked while the stream is enabled.
    EXPECT_EQ(write(kWidth, 640), 0x8006);
    EXPECT_EQ(readReg(kWidth), 320u);
    EXPECT_EQ(write(kSirm + 0x04, 6), 0);
    EXPECT_EQ(write(kWidth, 640), 0);
    EXPECT_EQ(readReg(kSirm + 0x08, 8), 128000u);
}

// RGB8 carries three bytes a pixel: the payload, the leader's format and the limits follow
// PixelFormat, which is locked like the image size while the stream is enabled.
TEST_F(Stream, Rgb8ImagesAreThreeBytesAPixel) {
    constexpr uint64_t kPixelFormat = 0x50008;
    constexpr uint32_t kRgb8 = 0x02180014;
    plug();
    EXPECT_EQ(write(kPixelFormat, 0x01100007), 0x8002) << "Mono16 is not offered";
    ASSERT_EQ(write(kPixelFormat, kRgb8), 0);
    EXPECT_EQ(write(kWidth, 8193), 0x8002);
    const Plan plan{1024, 8, 808, 0};  // 100 x 30 x 3 = 9000 bytes
    start(100, 30, plan);
    EXPECT_EQ(readReg(kSirm + 0x08, 8), 9000u);
    EXPECT_EQ(readReg(kPayloadSize), 9000u);
    EXPECT_EQ(write(kPixelFormat, 0x01080001), 0x8006);
    const Image image = readImage(plan, 9000);
    EXPECT_EQ(le(image.leader, 28, 4), kRgb8);
    EXPECT_EQ(le(image.leader, 32, 4), 100u);
    EXPECT_EQ(le(image.trailer, 20, 8), 9000u);
    EXPECT_EQ(image.payload, vcam::expectedImage(1, 9000));
    ASSERT_EQ(write(kAcquisitionStop, 1), 0);
    ASSERT_EQ(write(kSirm + 0x04, 0), 0);
    ASSERT_EQ(write(kPixelFormat, 0x01080001), 0);
    EXPECT_EQ(readReg(kPayloadSize), 3000u);
}

TEST_F(Stream, PayloadIsCutExactlyAsProgrammed) {
    plug();
    struct Case {
        uint32_t width, height;
        Plan plan;
        std::vector<size_t> pieces;
    };
    const Case cases[] = {
        {64, 48, {1024, 3, 0, 0}, {1024, 1024, 1024}},     // exact multiple: no final transfer
        {20, 10, {1024, 0, 200, 0}, {200}},                 // smaller than one transfer
        {100, 30, {1024, 2, 512, 440}, {1024, 1024, 512, 440}},  // both final transfers
        {100, 30, {1024, 4, 0, 0}, {1024, 1024, 952}},      // more room than payload: cut at the end
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
        start(c.width, c.height, c.plan);
        const uint64_t payload = uint64_t{c.width} * c.height;
        Image image = readImage(c.plan, payload);
        EXPECT_EQ(le(image.leader, 8, 8), 1u) << "block ids restart with the stream";
        EXPECT_EQ(image.pieces, c.pieces);
        EXPECT_EQ(image.payload, vcam::expectedImage(1, payload));
        EXPECT_EQ(le(image.trailer, 0, 4), 0x54563355u) << "the trailer follows the last piece";
        ASSERT_EQ(write(kAcquisitionStop, 1), 0);
        ASSERT_EQ(write(kSirm + 0x04, 0), 0);
    }
}

TEST_F(Stream, ReadShorterThanTheTransferOverflowsAndLosesTheRest) {
    plug();
    const Plan plan{1024, 2, 952, 0};
    start(100, 30, plan);
    Read leader = read(kStreamIn, 20);
    EXPECT_EQ(leader.result, LIBUSB_ERROR_OVERFLOW);
    ASSERT_EQ(leader.data.size(), 20u);
    EXPECT_EQ(le(leader.data, 0, 4), 0x4C563355u);

    // Asynchronous: the transfer's status says it, and the read holds what fitted.
    Bytes buf(512);
    struct Done {
        bool done = false;
        libusb_transfer_status status{};
        int actual = -1;
    } done;
    libusb_transfer* t = libusb_alloc_transfer(0);
    libusb_fill_bulk_transfer(t, h, kStreamIn, buf.data(), 512, [](libusb_transfer* x) {
        auto* d = static_cast<Done*>(x->user_data);
        d->done = true;
        d->status = x->status;
        d->actual = x->actual_length;
    }, &done, 500);
    ASSERT_EQ(libusb_submit_transfer(t), 0);
    timeval tv{0, 100000};
    for (int i = 0; i < 20 && !done.done; ++i) libusb_handle_events_timeout(ctx, &tv);
    libusb_free_transfer(t);
    EXPECT_EQ(done.status, LIBUSB_TRANSFER_OVERFLOW);
    EXPECT_EQ(done.actual, 512);
    const Bytes expected = vcam::expectedImage(1, 3000);
    EXPECT_EQ(buf, Bytes(expected.begin(), expected.begin() + 512));

    Read second = read(kStreamIn, 4096);  // a longer read is a short read of the next piece
    EXPECT_EQ(second.result, 0);
    EXPECT_EQ(second.data, Bytes(expected.begin() + 1024, expected.begin() + 2048));
}

TEST_F(Stream, DisablingDiscardsAndAcquisitionStopFinishesWhatWasTaken) {
    plug();
    const Plan plan{1024, 2, 952, 0};
    start(100, 30, plan);
    ASSERT_EQ(read(kStreamIn, 1024).data.size(), 52u);
    ASSERT_EQ(write(kSirm + 0x04, 0), 0);
    EXPECT_EQ(read(kStreamIn, 1024, 50).result, LIBUSB_ERROR_TIMEOUT);
    ASSERT_EQ(write(kSirm + 0x04, 1), 0);
    Image image = readImage(plan, 3000);
    EXPECT_EQ(le(image.leader, 0, 4), 0x4C563355u) << "a new image starts with its leader";
    EXPECT_EQ(le(image.leader, 8, 8), 1u);

    ASSERT_EQ(write(kAcquisitionStop, 1), 0);
    EXPECT_EQ(read(kStreamIn, 1024, 50).result, LIBUSB_ERROR_TIMEOUT);
    ASSERT_EQ(write(kStartAlias, 1), 0) << "0x50014 starts acquisition too";
    EXPECT_EQ(le(readImage(plan, 3000).leader, 8, 8), 2u);
    EXPECT_FALSE(vcam::streamStats(id).dropped);
}

TEST_F(Stream, PacedImagesAreTakenOnScheduleAndDroppedWhenTheBufferIsFull) {
    vcam::CameraConfig config = unpaced();
    config.frameRate = 200;  // one image every 5 ms
    config.imageBuffers = 3;
    plug(config);
    const Plan plan{1024, 2, 952, 0};
    start(100, 30, plan);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    vcam::StreamStats stats = vcam::streamStats(id);
    EXPECT_TRUE(stats.streaming);
    EXPECT_EQ(stats.taken, 3u);
    EXPECT_EQ(stats.buffered, 3u);
    EXPECT_GE(stats.dropped, 5u);

    uint64_t firstTimestamp = 0;
    for (uint64_t block = 1; block <= 5; ++block) {  // three held, then two on schedule
        Image image = readImage(plan, 3000);
        ASSERT_EQ(le(image.leader, 8, 8), block) << "drops leave no block id gaps";
        EXPECT_EQ(image.payload, vcam::expectedImage(block, 3000));
        const uint64_t timestamp = le(image.leader, 20, 8);
        if (block == 1) firstTimestamp = timestamp;
        EXPECT_EQ((timestamp - firstTimestamp) % 5000000, 0u) << "capture times follow the frame period";
    }
    stats = vcam::streamStats(id);
    EXPECT_EQ(stats.completed, 5u);
    EXPECT_EQ(stats.lastBlockId, stats.taken);
}

TEST_F(Stream, QueuedAsynchronousReadsWaitForThePacedImageInOrder) {
    vcam::CameraConfig config = unpaced();
    config.frameRate = 50;  // 20 ms apart
    plug(config);
    const Plan plan{1024, 2, 952, 0};
    start(100, 30, plan);
    struct Slot {
        Bytes buffer;
        libusb_transfer* transfer = nullptr;
        int order = -1;
        libusb_transfer_status status{};
        int actual = -1;
    };
    static int finished;  // the callbacks run on this thread, inside event handling
    finished = 0;
    std::vector<Slot> slots(10);  // two whole images: leader, three pieces, trailer each
    for (size_t i = 0; i < slots.size(); ++i) {
        Slot& slot = slots[i];
        const int size = 1024;  // every piece of this plan fits
        slot.buffer.assign(static_cast<size_t>(size), 0);
        slot.transfer = libusb_alloc_transfer(0);
        libusb_fill_bulk_transfer(slot.transfer, h, kStreamIn, slot.buffer.data(), size, [](libusb_transfer* t) {
            auto* s = static_cast<Slot*>(t->user_data);
            s->order = finished++;
            s->status = t->status;
            s->actual = t->actual_length;
        }, &slot, 1000);
        ASSERT_EQ(libusb_submit_transfer(slot.transfer), 0);
    }
    // The second image is taken 20 ms after the first; its reads wait for it.
    timeval tv{0, 50000};
    for (int i = 0; i < 40 && finished < 10; ++i) libusb_handle_events_timeout(ctx, &tv);
    for (size_t i = 0; i < slots.size(); ++i) {
        EXPECT_EQ(slots[i].order, static_cast<int>(i));
        EXPECT_EQ(slots[i].status, LIBUSB_TRANSFER_COMPLETED);
        libusb_free_transfer(slots[i].transfer);
    }
    EXPECT_EQ(le(slots[0].buffer, 8, 8), 1u);
    EXPECT_EQ(le(slots[5].buffer, 8, 8), 2u);
    EXPECT_EQ(le(slots[5].buffer, 20, 8) - le(slots[0].buffer, 20, 8), 20000000u);
    EXPECT_EQ(slots[9].actual, 32);
}

TEST_F(Stream, UnpacedCameraNeverDrops) {
    plug();
    const Plan plan{1024, 2, 952, 0};
    start(100, 30, plan);
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        readImage(plan, 3000);
    }
    const vcam::StreamStats stats = vcam::streamStats(id);
    EXPECT_EQ(stats.dropped, 0u);
    EXPECT_EQ(stats.completed, 3u);
    EXPECT_LE(stats.buffered, 1u);
}

TEST_F(Stream, TriggerModeTakesOneImagePerSoftwareTrigger) {
    vcam::CameraConfig config = unpaced();
    config.imageBuffers = 2;
    plug(config);
    const Plan plan{1024, 2, 952, 0};
    ASSERT_EQ(write(kTriggerMode, 1), 0);
    EXPECT_EQ(write(kTriggerSoftware, 1), 0) << "a trigger before acquisition is ignored";
    start(100, 30, plan);
    EXPECT_EQ(read(kStreamIn, 1024, 50).result, LIBUSB_ERROR_TIMEOUT);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(write(kTriggerSoftware, 1), 0);
    vcam::StreamStats stats = vcam::streamStats(id);
    EXPECT_EQ(stats.taken, 2u);
    EXPECT_EQ(stats.dropped, 1u);
    EXPECT_EQ(le(readImage(plan, 3000).leader, 8, 8), 1u);
    EXPECT_EQ(le(readImage(plan, 3000).leader, 8, 8), 2u);
    EXPECT_EQ(read(kStreamIn, 1024, 50).result, LIBUSB_ERROR_TIMEOUT);

    // A read already waiting is served by the trigger.
    Read waiting{};
    std::thread reader([&] { waiting = read(kStreamIn, 1024, 2000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_EQ(write(kTriggerSoftware, 1), 0);
    reader.join();
    ASSERT_EQ(waiting.result, 0);
    EXPECT_EQ(le(waiting.data, 8, 8), 3u);
    for (int i = 0; i < 4; ++i) ASSERT_EQ(read(kStreamIn, 1024).result, 0);  // rest of image 3

    ASSERT_EQ(write(0x40144, 1), 0);  // TriggerSource Line0: software triggers do nothing
    ASSERT_EQ(write(kTriggerSoftware, 1), 0);
    EXPECT_EQ(read(kStreamIn, 1024, 50).result, LIBUSB_ERROR_TIMEOUT);
    ASSERT_EQ(write(0x40144, 0), 0);

    ASSERT_EQ(write(kTriggerMode, 0), 0);
    EXPECT_EQ(le(readImage(plan, 3000).leader, 8, 8), 4u) << "free-running again";
}

TEST_F(Stream, EachInjectedFaultSpoilsItsImageOnly) {
    plug();
    const Plan plan{1024, 2, 952, 0};
    using K = vcam::StreamFaultKind;
    vcam::StreamFault shortPiece{K::ShortPayload};
    shortPiece.transfer = 1;
    shortPiece.shortBy = 100;
    vcam::StreamFault magic{K::WrongLeaderMagic};
    magic.skip = 1;
    vcam::StreamFault type{K::WrongPayloadType};
    type.skip = 2;
    type.payloadType = 3;
    vcam::StreamFault blockId{K::TrailerBlockId};
    blockId.skip = 3;
    vcam::StreamFault status{K::TrailerStatus};
    status.skip = 4;
    status.status = 0xA101;
    vcam::StreamFault noTrailer{K::MissingTrailer};
    noTrailer.skip = 5;
    for (const auto& f : {shortPiece, magic, type, blockId, status, noTrailer}) vcam::addStreamFault(id, f);
    start(100, 30, plan);
    const Bytes expected1 = vcam::expectedImage(1, 3000);

    Image one = readImage(plan, 3000);
    EXPECT_EQ(one.pieces, (std::vector<size_t>{1024, 924, 952})) << "second piece 100 bytes short";
    EXPECT_EQ(Bytes(one.payload.begin() + 1024, one.payload.begin() + 1948),
              Bytes(expected1.begin() + 1024, expected1.begin() + 1948));
    EXPECT_EQ(Bytes(one.payload.begin() + 1948, one.payload.end()), Bytes(expected1.begin() + 2048, expected1.end()))
        << "the next piece is the payload's own, not shifted";
    EXPECT_EQ(le(one.trailer, 16, 2), 0u);

    EXPECT_EQ(le(readImage(plan, 3000).leader, 0, 4), 0x58563355u);  // "U3VX"
    EXPECT_EQ(le(readImage(plan, 3000).leader, 18, 2), 3u);
    Image four = readImage(plan, 3000);
    EXPECT_EQ(le(four.trailer, 8, 8), 5u);
    EXPECT_EQ(le(four.leader, 8, 8), 4u);
    EXPECT_EQ(le(readImage(plan, 3000).trailer, 16, 2), 0xA101u);

    // No trailer: after the last piece comes the next image's leader.
    for (int piece = 0; piece < 4; ++piece) ASSERT_EQ(read(kStreamIn, 1024).result, 0);
    Read next = read(kStreamIn, 1024);
    EXPECT_EQ(le(next.data, 0, 4), 0x4C563355u);
    EXPECT_EQ(le(next.data, 8, 8), 7u);
    for (int piece = 0; piece < 3; ++piece) ASSERT_EQ(read(kStreamIn, 1024).result, 0);
    Read trailer = read(kStreamIn, 1024);
    EXPECT_EQ(le(trailer.data, 8, 8), 7u);
    EXPECT_EQ(le(trailer.data, 16, 2), 0u) << "faults are used up";

    vcam::StreamFault forever{K::TrailerStatus};
    forever.count = -1;
    vcam::addStreamFault(id, forever);
    EXPECT_EQ(le(readImage(plan, 3000).trailer, 16, 2), 0xA100u);
    EXPECT_EQ(le(readImage(plan, 3000).trailer, 16, 2), 0xA100u);
    vcam::clearStreamFaults(id);
    EXPECT_EQ(le(readImage(plan, 3000).trailer, 16, 2), 0u);
}

TEST_F(Stream, StallHaltsThePipeUntilClearedThenTheNextImageStarts) {
    plug();
    const Plan plan = kFaultPlan;
    ASSERT_NO_FATAL_FAILURE(startUntilFault(vcam::StreamFaultKind::Stall));
    EXPECT_EQ(read(kStreamIn, 1024).result, LIBUSB_ERROR_PIPE);
    EXPECT_EQ(read(kStreamIn, 1024).result, LIBUSB_ERROR_PIPE) << "halted until cleared";
    ASSERT_EQ(libusb_clear_halt(h, kStreamIn), 0);
    Image next = readImage(plan, 3000);
    EXPECT_EQ(le(next.leader, 8, 8), 2u);
    EXPECT_EQ(next.payload, vcam::expectedImage(2, 3000));

    vcam::StreamFault stall{vcam::StreamFaultKind::Stall};
    stall.transfer = 0xFFFFFFFF;  // at the leader
    vcam::addStreamFault(id, stall);
    EXPECT_EQ(read(kStreamIn, 1024).result, LIBUSB_ERROR_PIPE);
    ASSERT_EQ(libusb_clear_halt(h, kStreamIn), 0);
    EXPECT_EQ(le(readImage(plan, 3000).leader, 8, 8), 4u);
}

TEST_F(Stream, UnplugWhileStreamingEndsEveryReadAndStopsTheCamera) {
    plug();
    ASSERT_NO_FATAL_FAILURE(startUntilFault(vcam::StreamFaultKind::Unplug));
    EXPECT_EQ(read(kStreamIn, 1024).result, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_FALSE(vcam::plugged(id));
    EXPECT_FALSE(vcam::streamStats(id).streaming);

    // Back on the bus the camera starts with its stream off.
    vcam::replug(id);
    close(h);
    h = open(only());
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(readReg(kSirm + 0x04), 0u);
    EXPECT_EQ(read(kStreamIn, 1024, 50).result, LIBUSB_ERROR_TIMEOUT);
}

TEST_F(Stream, UnplugReleasesAReadWaitingForAPacedImage) {
    vcam::CameraConfig config = unpaced();
    config.frameRate = 1;
    plug(config);
    const Plan plan{1024, 2, 952, 0};
    start(100, 30, plan);
    EXPECT_EQ(le(readImage(plan, 3000).trailer, 8, 8), 1u);  // the first image comes at once
    Read waiting{};
    const auto begin = std::chrono::steady_clock::now();
    std::thread reader([&] { waiting = read(kStreamIn, 1024, 5000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    vcam::unplug(id);
    reader.join();
    EXPECT_EQ(waiting.result, LIBUSB_ERROR_NO_DEVICE);
    EXPECT_LT(msSince(begin), 900.0) << "not held until the next image was due";
}

TEST_F(Stream, TestEventsFollowTheGenCpEventLayout) {
    vcam::CameraConfig config = unpaced();
    config.maxEventTransferLength = 20;
    plug(config);
    EXPECT_EQ(readReg(kEirm + 0x04), 20u);
    ASSERT_EQ(write(kEirm + 0x08, 1), 0);
    EXPECT_EQ(read(kEventIn, 64, 50).result, LIBUSB_ERROR_TIMEOUT) << "events are off";
    ASSERT_EQ(write(kEirm + 0x00, 1), 0);
    ASSERT_EQ(write(kEirm + 0x08, 1), 0);
    EXPECT_EQ(readReg(kEirm + 0x08), 0u);
    ASSERT_EQ(write(kEirm + 0x08, 1), 0);

    uint64_t lastTimestamp = 0;
    for (uint64_t n = 0; n < 2; ++n) {
        Read event = read(kEventIn, 64);
        ASSERT_EQ(event.result, 0);
        ASSERT_EQ(event.data.size(), 32u);
        EXPECT_EQ(le(event.data, 0, 4), 0x45563355u);  // "U3VE"
        EXPECT_EQ(le(event.data, 4, 2), 0u);
        EXPECT_EQ(le(event.data, 6, 2), 0x0C00u);
        EXPECT_EQ(le(event.data, 8, 2), 20u);
        EXPECT_EQ(le(event.data, 10, 2), n);
        EXPECT_EQ(le(event.data, 12, 2), 0u);
        EXPECT_EQ(le(event.data, 14, 2), 0x4FFFu);
        EXPECT_GT(le(event.data, 16, 8), lastTimestamp);
        lastTimestamp = le(event.data, 16, 8);
        EXPECT_EQ(le(event.data, 24, 8), n);
    }

    using K = vcam::EventFaultKind;
    for (K kind : {K::Short, K::WrongPrefix, K::WrongCommand, K::NoData}) {
        vcam::addEventFault(id, {kind});
        ASSERT_EQ(write(kEirm + 0x08, 1), 0);
    }
    ASSERT_EQ(write(kEirm + 0x08, 1), 0);
    EXPECT_EQ(read(kEventIn, 64).data.size(), 31u);
    EXPECT_EQ(le(read(kEventIn, 64).data, 0, 4), 0x58563355u);
    EXPECT_EQ(le(read(kEventIn, 64).data, 6, 2), 0x0C10u);
    Read empty = read(kEventIn, 64);
    EXPECT_EQ(empty.data.size(), 24u);
    EXPECT_EQ(le(empty.data, 8, 2), 12u);
    Read whole = read(kEventIn, 16);
    EXPECT_EQ(whole.result, LIBUSB_ERROR_OVERFLOW) << "a read shorter than the event";
    EXPECT_EQ(whole.data.size(), 16u);
    EXPECT_EQ(read(kEventIn, 64, 50).result, LIBUSB_ERROR_TIMEOUT);
}

TEST_F(Stream, CallRecordIsOptInAndKeepsOnlyTheHeadOfStreamTransfers) {
    plug();
    const Plan plan{1024, 2, 952, 0};
    start(100, 30, plan);
    vcam::setCallRecord(false);
    vcam::clearCalls();
    readImage(plan, 3000);
    EXPECT_TRUE(vcam::calls().empty());

    vcam::setCallRecord(true);
    readImage(plan, 3000);
    size_t streamReads = 0;
    for (const vcam::UsbCall& c : vcam::calls()) {
        if (c.endpoint != kStreamIn) continue;
        ++streamReads;
        EXPECT_LE(c.data.size(), 64u);
        EXPECT_EQ(c.data.size(), std::min<size_t>(64, static_cast<size_t>(c.transferred)));
    }
    EXPECT_EQ(streamReads, 5u);
}

}  // namespace
