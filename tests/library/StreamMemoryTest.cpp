// The stream under the bus's limit of submitted buffer memory, with the virtual camera's
// own image source: refusals narrow the library's window without losing an image, the
// remedy is logged once, and an image as large as the whole limit still arrives whole.
#include <gtest/gtest.h>

#include <libusb.h>

#include <algorithm>
#include <string>

#include "support/LogCapture.h"
#include "support/StreamingCameraFixture.h"

namespace testsupport {
namespace {

class StreamMemoryTest : public StreamingCameraFixture {
protected:
    void TearDown() override {
        vcam::setUsbfsMemoryLimit(0);  // the limit is the process's: leave none behind
        StreamingCameraFixture::TearDown();
    }

    // Room for control traffic beside the stream's reads, as on a real host.
    static constexpr uint64_t kControlRoom = 4096;

    // Images with block ids first to last, each whole and byte-exact. The pool holds more
    // than are taken, so a slow checker (sanitizers) cannot make the ready queue drop one.
    void expectImages(uint64_t first, uint64_t last) {
        std::vector<uint8_t> data(payload_);
        for (uint64_t block = first; block <= last; ++block) {
            U3V_ImageInfo info{};
            std::fill(data.begin(), data.end(), uint8_t{0xEE});
            ASSERT_EQ(U3V_GetImage(stream_, data.data(), 10000, &info), U3V_OK) << "block " << block;
            EXPECT_EQ(value(info.BlockId), block) << "an image was lost";
            EXPECT_EQ(value(info.MissingTransfers), 0u);
            EXPECT_EQ(vcam::firstMismatch(block, data.data(), payload_), -1) << "block " << block;
        }
    }


    static int remedyMessages() {
        int told = 0;
        for (const std::string& text : LogCapture::texts())
            if (text.find("usbfs_memory_mb") != std::string::npos) ++told;
        return told;
    }
};

// A bus limit of 512 KiB under the library's 8 MiB window and 2 MiB images: the first
// image's submissions are refused part-way; the engine narrows its window to what the bus
// took, says so once, and every image arrives. A tighter limit later (another program
// took memory) narrows it again without a second message.
TEST_F(StreamMemoryTest, RefusedSubmissionsNarrowTheWindowAndLoseNothing) {
    open(2048, 1024);
    ASSERT_EQ(U3V_SetBufferCount(stream_, 10), U3V_OK);
    ASSERT_EQ(U3V_SetTransferSize(stream_, 65536), U3V_OK);
    vcam::setUsbfsMemoryLimit(512 * 1024 + kControlRoom);
    start();
    expectImages(1, 3);
    const int refusedFirst = refusedStreamSubmissions();
    EXPECT_GE(refusedFirst, 1) << "the bus limit was never reached";
    vcam::setUsbfsMemoryLimit(256 * 1024 + kControlRoom);
    expectImages(4, 8);
    EXPECT_GT(refusedStreamSubmissions(), refusedFirst) << "the tighter limit was never reached";
    EXPECT_EQ(remedyMessages(), 1) << "the remedy is said once, not per refusal";
    EXPECT_LE(vcam::usbfsMemoryInUse(), 512u * 1024 + kControlRoom);
}

// A limit of one transfer: the second payload read of each image is refused, and the
// engine goes on one transfer at a time.
TEST_F(StreamMemoryTest, LimitOfOneTransferStillReceivesEveryImage) {
    open(512, 256);
    ASSERT_EQ(U3V_SetBufferCount(stream_, 8), U3V_OK);
    ASSERT_EQ(U3V_SetTransferSize(stream_, 16384), U3V_OK);
    vcam::setUsbfsMemoryLimit(16384 + kControlRoom);
    start();
    expectImages(1, 4);
    EXPECT_GE(refusedStreamSubmissions(), 1);
    EXPECT_EQ(remedyMessages(), 1);
}

// 5472x3648 Mono8 (20 MB): the payload alone is more than Linux's default 16 MiB, so the
// image can only arrive through a window that queues part of it at a time; the library's
// default window stays under the limit and is never refused.
TEST_F(StreamMemoryTest, ImageLargerThanTheBusLimitArrivesWhole) {
    open(5472, 3648);
    vcam::setUsbfsMemoryLimit(16u << 20);
    start();
    expectImages(1, 2);
    EXPECT_EQ(refusedStreamSubmissions(), 0) << "the default window is under the bus limit";
    EXPECT_EQ(remedyMessages(), 0);
}

}  // namespace
}  // namespace testsupport
