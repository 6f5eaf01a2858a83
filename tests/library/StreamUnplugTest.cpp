// A camera that leaves the bus after sending images: the images already received are
// still handed out, in order and whole, and only then is the camera reported gone.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "support/StreamingCameraFixture.h"

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

struct UnplugCase {
    uint32_t bufferCount;  // 0: the library's default
    int images;            // sent before the camera leaves, no more than the queue holds
};

class StreamUnplugTest : public StreamingCameraFixture,
                         public ::testing::WithParamInterface<UnplugCase> {
protected:
    // The camera sends `images` images, then leaves the bus instead of the next leader.
    void unplugAfter(int images) {
        vcam::StreamFault fault;
        fault.kind = vcam::StreamFaultKind::Unplug;
        fault.skip = images;
        fault.transfer = 0xFFFFFFFF;
        vcam::addStreamFault(camera_, fault);
    }

    // As start(), but the camera may send its images and leave before it acknowledges the
    // write that started it.
    void startUntilGone() {
        ASSERT_EQ(U3V_AcquisitionStart(stream_, 0), U3V_OK);
        uint32_t one = 1;
        const uint16_t st = U3V_WriteMem(control_, kAcquisitionStart, 4, &one);
        ASSERT_TRUE(st == U3V_OK || st == U3V_ERR_DEVICE_GONE) << std::hex << st;
    }

    // A small region with the case's buffers, the camera leaving after the case's images.
    void streamUntilGone(const UnplugCase& c) {
        open(64, 32);
        if (c.bufferCount != 0) {
            ASSERT_EQ(U3V_SetBufferCount(stream_, c.bufferCount), U3V_OK);
        }
        unplugAfter(c.images);
        startUntilGone();
    }

    bool waitUntilUnplugged() {
        const auto limit = Clock::now() + std::chrono::seconds(10);
        while (vcam::plugged(camera_)) {
            if (Clock::now() > limit) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    void expectImages(uint64_t first, uint64_t last, uint32_t timeout) {
        std::vector<uint8_t> data(payload_);
        for (uint64_t block = first; block <= last; ++block) {
            U3V_ImageInfo info{};
            std::fill(data.begin(), data.end(), uint8_t{0xEE});
            ASSERT_EQ(U3V_GetImage(stream_, data.data(), timeout, &info), U3V_OK) << "block " << block;
            EXPECT_EQ(value(info.BlockId), block);
            EXPECT_EQ(vcam::firstMismatch(block, data.data(), payload_), -1) << "block " << block;
        }
    }
};

// Nobody reads until the camera is gone: every image queued by then comes out, then the
// camera is gone, at once even for a reader that would wait for ever.
TEST_P(StreamUnplugTest, QueuedImagesComeOutBeforeTheCameraIsGone) {
    const UnplugCase c = GetParam();
    ASSERT_NO_FATAL_FAILURE(streamUntilGone(c));
    ASSERT_TRUE(waitUntilUnplugged());
    // The request of the next leader is what takes the camera off the bus; the engine asks
    // for it while the image before is still being reaped, so that one may come a moment
    // after the camera has gone.
    expectImages(1, static_cast<uint64_t>(c.images), 2000);

    std::vector<uint8_t> data(payload_);
    U3V_ImageInfo info{};
    const auto t0 = Clock::now();
    EXPECT_EQ(U3V_GetImage(stream_, data.data(), 0xFFFFFFFF, &info), U3V_ERR_DEVICE_GONE);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
    EXPECT_EQ(U3V_GetImage(stream_, data.data(), 0, &info), U3V_ERR_DEVICE_GONE) << "and stays gone";
    uint64_t a = 0, b = 0;
    EXPECT_EQ(U3V_AcquisitionStop(stream_, &a, &b), U3V_ERR_DEVICE_GONE);
    EXPECT_EQ(closeStream(stream_), U3V_OK);
}

// A reader taking images as they come, with short waits as a tool does, ends with every
// image the camera sent: the last ones arrive at the moment the camera leaves.
// A reader already waiting when the camera leaves looks at the queue before it hears
// of it.
TEST_P(StreamUnplugTest, ReaderWithShortWaitsGetsEveryImageSent) {
    const UnplugCase c = GetParam();
    ASSERT_NO_FATAL_FAILURE(streamUntilGone(c));

    std::vector<uint8_t> data(payload_);
    std::vector<uint64_t> blocks;
    uint16_t status = U3V_OK;
    const auto limit = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < limit) {
        U3V_ImageInfo info{};
        status = U3V_GetImage(stream_, data.data(), 200, &info);
        if (status == U3V_ERR_IMAGE_TIMEOUT) continue;
        if (status != U3V_OK) break;
        blocks.push_back(value(info.BlockId));
    }
    EXPECT_EQ(status, U3V_ERR_DEVICE_GONE);
    std::vector<uint64_t> expected;
    for (int i = 1; i <= c.images; ++i) expected.push_back(static_cast<uint64_t>(i));
    EXPECT_EQ(blocks, expected);
}

// The control channel hears of the leaving first, while the completions of what the
// camera sent before are still on their way (a long completion latency): those images
// come out all the same, and only then is the camera gone.
TEST_P(StreamUnplugTest, ImagesStillOnTheirWayWhenTheControlChannelHearsFirstComeOut) {
    const UnplugCase c = GetParam();
    ASSERT_NO_FATAL_FAILURE(streamUntilGone(c));
    vcam::setTransferLatency(camera_, 300000);
    ASSERT_TRUE(waitUntilUnplugged());
    uint32_t value = 0;
    ASSERT_EQ(U3V_ReadMem(control_, kWidth, 4, &value), U3V_ERR_DEVICE_GONE);
    expectImages(1, static_cast<uint64_t>(c.images), 5000);
    std::vector<uint8_t> data(payload_);
    U3V_ImageInfo info{};
    EXPECT_EQ(U3V_GetImage(stream_, data.data(), 5000, &info), U3V_ERR_DEVICE_GONE);
}

INSTANTIATE_TEST_SUITE_P(Queues, StreamUnplugTest,
                         ::testing::Values(UnplugCase{0, 1}, UnplugCase{0, 3}, UnplugCase{0, 4},
                                           UnplugCase{16, 5}, UnplugCase{16, 16}),
                         [](const ::testing::TestParamInfo<UnplugCase>& info) {
                             return "Buffers" + std::to_string(info.param.bufferCount) + "Images" +
                                    std::to_string(info.param.images);
                         });

}  // namespace
}  // namespace testsupport
