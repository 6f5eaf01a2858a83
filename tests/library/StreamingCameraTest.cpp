// The library streaming from the virtual camera's own image source: images byte-exact
// against its test pattern, the ready queue without a reader, injected stream faults, the
// test event, unplugging while streaming, and closing mid-image.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/StreamingCameraFixture.h"

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

class StreamingCameraTest : public StreamingCameraFixture {
protected:
    uint16_t take(U3V_ImageInfo& info, std::vector<uint8_t>& data, uint32_t timeout = 5000) {
        data.assign(payload_, 0xEE);
        return U3V_GetImage(stream_, data.data(), timeout, &info);
    }
};

struct Geometry {
    uint32_t width, height, transferSize;
};

class StreamingGeometryTest : public StreamingCameraTest,
                              public ::testing::WithParamInterface<Geometry> {};

TEST_P(StreamingGeometryTest, ImagesMatchTheCameraPatternWithTheirLeaderFields) {
    const Geometry g = GetParam();
    open(g.width, g.height);
    ASSERT_EQ(U3V_SetTransferSize(stream_, g.transferSize), U3V_OK);
    start();
    // Unpaced, the camera outruns this reader: the queue drops what does not fit, so block
    // ids rise from 1 and may leave gaps after the first four.
    uint64_t previous = 0;
    for (int i = 0; i < 8; ++i) {
        U3V_ImageInfo info{};
        std::vector<uint8_t> data;
        ASSERT_EQ(take(info, data), U3V_OK) << "image " << i;
        if (i < 4) {
            EXPECT_EQ(value(info.BlockId), previous + 1) << "image " << i;
        }
        EXPECT_GT(value(info.BlockId), previous);
        previous = value(info.BlockId);
        EXPECT_EQ(vcam::firstMismatch(value(info.BlockId), data.data(), payload_), -1) << "image " << i;
        EXPECT_EQ(value(info.SizeX), g.width);
        EXPECT_EQ(value(info.SizeY), g.height);
        EXPECT_EQ(value(info.PixelFormat), 0x01080001u);
        EXPECT_EQ(value(info.MissingTransfers), 0u);
        EXPECT_NE(value(info.Timestamp), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Payloads, StreamingGeometryTest,
                         ::testing::Values(Geometry{256, 64, 4096},      // 16384: exact multiple
                                           Geometry{50, 40, 4096},       // 2000: smaller
                                           Geometry{640, 480, 65536}));  // 307200: remainder

TEST_F(StreamingCameraTest, WithoutReaderFourImagesWaitUntouched) {
    open(320, 240);
    start();
    // The camera keeps streaming; wait until it has sent well past what the queue holds.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (vcam::streamStats(camera_).completed < 12 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GE(vcam::streamStats(camera_).completed, 12u);
    for (uint64_t block = 1; block <= 4; ++block) {
        U3V_ImageInfo info{};
        std::vector<uint8_t> data;
        ASSERT_EQ(take(info, data), U3V_OK);
        EXPECT_EQ(value(info.BlockId), block);
        EXPECT_EQ(vcam::firstMismatch(block, data.data(), payload_), -1) << "block " << block;
    }
    // Room again: the next image is a later one, still intact.
    U3V_ImageInfo info{};
    std::vector<uint8_t> data;
    ASSERT_EQ(take(info, data), U3V_OK);
    EXPECT_GT(value(info.BlockId), 4u);
    EXPECT_EQ(vcam::firstMismatch(value(info.BlockId), data.data(), payload_), -1);
}

TEST_F(StreamingCameraTest, ShortPayloadTransferIsCountedInItsImageOnly) {
    open(100, 100);
    ASSERT_EQ(U3V_SetTransferSize(stream_, 1024), U3V_OK);
    vcam::StreamFault fault;
    fault.kind = vcam::StreamFaultKind::ShortPayload;
    fault.skip = 1;
    fault.transfer = 3;
    fault.shortBy = 100;
    vcam::addStreamFault(camera_, fault);
    start();
    U3V_ImageInfo info{};
    std::vector<uint8_t> data;
    ASSERT_EQ(take(info, data), U3V_OK);
    ASSERT_EQ(take(info, data), U3V_ERR_MISSING_PACKETS);
    EXPECT_EQ(value(info.BlockId), 2u);
    EXPECT_EQ(value(info.MissingTransfers), 1u);
    const std::vector<uint8_t> expected = vcam::expectedImage(2, payload_);
    EXPECT_TRUE(std::equal(expected.begin(), expected.begin() + 3 * 1024 + 924, data.begin()));
    EXPECT_TRUE(std::equal(expected.begin() + 4 * 1024, expected.end(), data.begin() + 4 * 1024))
        << "the transfers after the short one moved";
    ASSERT_EQ(take(info, data), U3V_OK);
    EXPECT_EQ(value(info.BlockId), 3u);
}

TEST_F(StreamingCameraTest, FaultyImagesAreSkippedAndStatusesPassedOn) {
    open(64, 64);
    using K = vcam::StreamFaultKind;
    for (K kind : {K::WrongLeaderMagic, K::WrongPayloadType, K::TrailerBlockId, K::MissingTrailer}) {
        vcam::StreamFault fault;
        fault.kind = kind;
        vcam::addStreamFault(camera_, fault);
    }
    vcam::StreamFault status;
    status.kind = K::TrailerStatus;
    status.status = 0xA100;
    status.skip = 4;
    vcam::addStreamFault(camera_, status);
    start();
    // Each fault spoils one of the first images; later ones arrive in order and intact.
    U3V_ImageInfo info{};
    std::vector<uint8_t> data;
    uint16_t st = take(info, data);
    uint64_t previous = value(info.BlockId);
    bool sawStatus = st == 0xA100;
    for (int i = 0; i < 8; ++i) {
        EXPECT_TRUE(st == U3V_OK || st == 0xA100) << std::hex << st;
        EXPECT_EQ(vcam::firstMismatch(value(info.BlockId), data.data(), payload_), -1);
        st = take(info, data);
        EXPECT_GT(value(info.BlockId), previous);
        previous = value(info.BlockId);
        sawStatus = sawStatus || st == 0xA100;
    }
    EXPECT_TRUE(sawStatus) << "the trailer status was not returned";
}

TEST_F(StreamingCameraTest, StalledStreamPipeRecovers) {
    open(64, 64);
    vcam::StreamFault fault;
    fault.kind = vcam::StreamFaultKind::Stall;
    fault.skip = 1;
    fault.transfer = 0;
    vcam::addStreamFault(camera_, fault);
    start();
    U3V_ImageInfo info{};
    std::vector<uint8_t> data;
    ASSERT_EQ(take(info, data), U3V_OK);
    EXPECT_EQ(value(info.BlockId), 1u);
    ASSERT_EQ(take(info, data), U3V_OK);
    EXPECT_GT(value(info.BlockId), 2u);
    EXPECT_EQ(vcam::firstMismatch(value(info.BlockId), data.data(), payload_), -1);
}

TEST_F(StreamingCameraTest, UnplugMidImageEndsCleanly) {
    open(256, 256, 5000000);
    ASSERT_EQ(U3V_SetTransferSize(stream_, 4096), U3V_OK);
    vcam::StreamFault fault;
    fault.kind = vcam::StreamFaultKind::Unplug;
    fault.skip = 2;
    fault.transfer = 5;
    vcam::addStreamFault(camera_, fault);
    ASSERT_EQ(U3V_AcquisitionStart(stream_, 0), U3V_OK);
    // The camera may leave before this write's acknowledge has been read: no status check.
    uint32_t one = 1;
    (void)U3V_WriteMem(control_, kAcquisitionStart, 4, &one);
    U3V_ImageInfo info{};
    std::vector<uint8_t> data;
    EXPECT_EQ(take(info, data), U3V_OK);
    EXPECT_EQ(take(info, data), U3V_OK);
    EXPECT_EQ(take(info, data, 0xFFFFFFFF), U3V_ERR_DEVICE_GONE);
    EXPECT_FALSE(vcam::plugged(camera_));
    EXPECT_EQ(closeStream(stream_), U3V_OK);
}

// Closing while the camera keeps sending: the worker leaves with the next image's reads
// in flight, and those may still complete with data after their cancellation. A kernel
// copies that data into the program only when the read is reaped, so the buffers must
// outlive every read; a reused one would be written after it was freed.
TEST_F(StreamingCameraTest, ClosingMidImageLeavesNoReadOnAFreedBuffer) {
    open(64, 64);
    ASSERT_EQ(U3V_SetTransferSize(stream_, 1024), U3V_OK);
    start();
    U3V_ImageInfo info{};
    std::vector<uint8_t> data;
    for (int round = 0; round < 12; ++round) {
        ASSERT_EQ(take(info, data), U3V_OK) << "round " << round;
        EXPECT_EQ(vcam::firstMismatch(value(info.BlockId), data.data(), payload_), -1);
        ASSERT_EQ(closeStream(stream_), U3V_OK);
        stream_ = openStream(U3V_OK, 1000);
        ASSERT_NE(stream_, nullptr);
        ASSERT_EQ(U3V_SetTransferSize(stream_, 1024), U3V_OK);
        ASSERT_EQ(U3V_AcquisitionStart(stream_, 0), U3V_OK);
    }
}

// The test event through the camera: id 0x4FFF, the device timestamp, 8 data bytes.
TEST_F(StreamingCameraTest, TestEventReachesTheCallback) {
    openCamera();
    static std::mutex m;
    static std::condition_variable cv;
    static std::vector<std::array<uint64_t, 4>> events;
    {
        std::lock_guard<std::mutex> lock(m);
        events.clear();
    }
    auto onEvent = [](uint16_t id, uint64_t timestamp, uint32_t length, uint64_t data) {
        std::lock_guard<std::mutex> lock(m);
        events.push_back({id, timestamp, length, data});
        cv.notify_all();
    };
    void* event = nullptr;
    ASSERT_EQ(U3V_OpenEvent(device_, control_, &event, onEvent, 100), U3V_OK);
    uint32_t enable = 1;
    ASSERT_EQ(U3V_WriteMem(control_, eirm(), 4, &enable), U3V_OK);
    ASSERT_EQ(U3V_TestEvent(event), U3V_OK);
    ASSERT_EQ(U3V_TestEvent(event), U3V_OK);
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, std::chrono::seconds(5), [] { return events.size() >= 2; });
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[0][0], 0x4FFFu);
        EXPECT_EQ(events[0][2], 8u);
        EXPECT_EQ(events[0][3], 0u) << "no test event before the first";
        EXPECT_EQ(events[1][3], 1u);
        EXPECT_NE(events[0][1], 0u);
        EXPECT_GE(events[1][1], events[0][1]) << "device timestamps rise";
    }
    EXPECT_EQ(U3V_CloseEvent(event), U3V_OK);
}

// Faulty test events never reach the callback; one without data reports length 0 and
// data 0, not the bytes of the event before it.
TEST_F(StreamingCameraTest, FaultyTestEventsAreDropped) {
    openCamera();
    static std::mutex m;
    static std::vector<std::array<uint64_t, 3>> events;
    {
        std::lock_guard<std::mutex> lock(m);
        events.clear();
    }
    auto onEvent = [](uint16_t id, uint64_t, uint32_t length, uint64_t data) {
        std::lock_guard<std::mutex> lock(m);
        events.push_back({id, length, data});
    };
    void* event = nullptr;
    ASSERT_EQ(U3V_OpenEvent(device_, control_, &event, onEvent, 100), U3V_OK);
    uint32_t enable = 1;
    ASSERT_EQ(U3V_WriteMem(control_, eirm(), 4, &enable), U3V_OK);
    using K = vcam::EventFaultKind;
    int skip = 1;
    for (K kind : {K::Short, K::WrongPrefix, K::WrongCommand, K::NoData}) {
        vcam::EventFault fault;
        fault.kind = kind;
        fault.skip = skip++;
        vcam::addEventFault(camera_, fault);
    }
    for (int i = 0; i < 6; ++i) ASSERT_EQ(U3V_TestEvent(event), U3V_OK);
    ASSERT_TRUE(waitForReads(kEventEndpoint, 6));
    EXPECT_EQ(U3V_CloseEvent(event), U3V_OK);
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(events, (std::vector<std::array<uint64_t, 3>>{
                          {0x4FFF, 8, 0}, {0x4FFF, 0, 0}, {0x4FFF, 8, 5}}));
}

}  // namespace
}  // namespace testsupport
