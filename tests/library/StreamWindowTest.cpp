// The window of queued stream reads: an image's reads are queued ahead of the one that
// completes, never more bytes at once than the stream's memory limit, so that images
// larger than the limit arrive whole and in their planned places.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "support/ChannelTestSupport.h"

namespace testsupport {
namespace {

class StreamWindowTest : public ChannelTest {
protected:
    void SetUp() override {
        ChannelTest::SetUp();
        openCamera();
        stream_ = openStream();
    }

    // Stream reads submitted and not yet completed by the camera, in bytes, at most, and
    // the submissions after the last completion.
    struct Queued {
        long maxBytes = 0;
        int sinceLastCompletion = 0;
    };
    static Queued queued() {
        Queued q;
        long bytes = 0;
        for (const vcam::UsbCall& call : vcam::calls()) {
            if (call.endpoint != kStreamEndpoint) continue;
            if (call.function == "libusb_submit_transfer" && call.result == 0) {
                bytes += call.length;
                ++q.sinceLastCompletion;
            } else if (call.function == "transfer_completion") {
                bytes -= call.length;
                q.sinceLastCompletion = 0;
            }
            q.maxBytes = std::max(q.maxBytes, bytes);
        }
        return q;
    }

    void* stream_ = nullptr;
};

TEST_F(StreamWindowTest, LimitDefaultsAndRefusals) {
    uint32_t bytes = 0;
    EXPECT_EQ(U3V_GetStreamMemoryLimit(stream_, &bytes), U3V_OK);
    EXPECT_EQ(bytes, U3V_DEFAULT_STREAM_MEMORY);
    EXPECT_LT(bytes, 16u << 20) << "under Linux's default usbfs limit";
    EXPECT_EQ(U3V_SetStreamMemoryLimit(stream_, 0), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_SetStreamMemoryLimit(nullptr, 4096), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_GetStreamMemoryLimit(stream_, nullptr), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_SetStreamMemoryLimit(stream_, 4096), U3V_OK);
    EXPECT_EQ(U3V_GetStreamMemoryLimit(stream_, &bytes), U3V_OK);
    EXPECT_EQ(bytes, 4096u);
}

// An image of 13 payload transfers under a limit of 4: while the camera has sent only the
// leader, exactly 4 reads wait; the image then arrives whole, every transfer in its place.
TEST_F(StreamWindowTest, ImageLargerThanTheLimitIsReceivedWithinIt) {
    constexpr uint32_t kTransfer = 16384, kPayload = 12 * kTransfer + 3392;
    ASSERT_EQ(U3V_SetTransferSize(stream_, kTransfer), U3V_OK);
    ASSERT_EQ(U3V_SetStreamMemoryLimit(stream_, 4 * kTransfer), U3V_OK);
    setPayloadSize(kPayload);
    ASSERT_EQ(U3V_AcquisitionStart(stream_, 0), U3V_OK);

    WireImage w;
    w.blockId = 3;
    w.payload = pattern(3, kPayload);
    pushStream(leaderBytes(w));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (queued().sinceLastCompletion < 4 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // room to queue too many
    EXPECT_EQ(queued().sinceLastCompletion, 4) << "reads queued ahead after the leader";

    for (size_t at = 0; at < kPayload; at += kTransfer) {
        const size_t n = std::min<size_t>(kTransfer, kPayload - at);
        pushStream({w.payload.begin() + static_cast<long>(at), w.payload.begin() + static_cast<long>(at + n)});
    }
    pushStream(trailerBytes(w));
    std::vector<uint8_t> data(kPayload);
    U3V_ImageInfo info{};
    ASSERT_EQ(U3V_GetImage(stream_, data.data(), 5000, &info), U3V_OK);
    EXPECT_EQ(data, w.payload);
    EXPECT_EQ(value(info.MissingTransfers), 0u);
    EXPECT_LE(queued().maxBytes, long{4 * kTransfer});
}

// A limit below one transfer still receives (one read at a time); a short transfer in the
// middle is counted and the rest stay in place.
TEST_F(StreamWindowTest, LimitBelowOneTransferReadsOneAtATime) {
    constexpr uint32_t kTransfer = 1000, kPayload = 4500;
    ASSERT_EQ(U3V_SetTransferSize(stream_, kTransfer), U3V_OK);
    ASSERT_EQ(U3V_SetStreamMemoryLimit(stream_, 1), U3V_OK);
    setPayloadSize(kPayload);
    ASSERT_EQ(U3V_AcquisitionStart(stream_, 0), U3V_OK);
    WireImage w;
    w.blockId = 1;
    w.payload = pattern(1, kPayload);
    const std::vector<uint8_t>& p = w.payload;
    pushStream(leaderBytes(w));
    pushStream({p.begin(), p.begin() + 1000});
    pushStream({p.begin() + 1000, p.begin() + 1700});
    for (size_t at = 2000; at < kPayload; at += kTransfer)
        pushStream({p.begin() + static_cast<long>(at), p.begin() + static_cast<long>(std::min<size_t>(at + kTransfer, kPayload))});
    pushStream(trailerBytes(w));
    std::vector<uint8_t> data(kPayload);
    U3V_ImageInfo info{};
    ASSERT_EQ(U3V_GetImage(stream_, data.data(), 5000, &info), U3V_ERR_MISSING_PACKETS);
    EXPECT_EQ(value(info.MissingTransfers), 1u);
    EXPECT_TRUE(std::equal(p.begin(), p.begin() + 1700, data.begin()));
    EXPECT_TRUE(std::equal(p.begin() + 2000, p.end(), data.begin() + 2000));
}

// Sensor-sized images under Linux's default 16 MiB of submitted memory and the library's
// default window: a 20-megapixel Mono8 image and a 12-megapixel RGB8 one (more than twice
// the bus limit) arrive whole, with their geometry, the window never passed.
TEST_F(StreamWindowTest, SensorSizedImagesArriveWholeUnderTheBusLimit) {
    struct Sensor {
        uint32_t width, height, pixelFormat, bytesPerPixel;
    };
    constexpr uint32_t kTransfer = 1u << 20;
    ASSERT_EQ(U3V_SetTransferSize(stream_, kTransfer), U3V_OK);
    vcam::setUsbfsMemoryLimit(16u << 20);
    uint64_t block = 0;
    for (const Sensor s : {Sensor{5472, 3648, 0x01080001, 1}, Sensor{4096, 3000, 0x02180014, 3}}) {
        SCOPED_TRACE(s.width);
        const size_t payload = size_t{s.width} * s.height * s.bytesPerPixel;
        setPayloadSize(payload);
        ASSERT_EQ(U3V_AcquisitionStart(stream_, 0), U3V_OK);
        WireImage w;
        w.blockId = ++block;
        w.sizeX = s.width;
        w.sizeY = s.height;
        w.pixelFormat = s.pixelFormat;
        w.payload = pattern(w.blockId, payload);
        pushStream(leaderBytes(w));
        for (size_t at = 0; at < payload; at += kTransfer) {
            const size_t n = std::min<size_t>(kTransfer, payload - at);
            pushStream({w.payload.begin() + static_cast<long>(at), w.payload.begin() + static_cast<long>(at + n)});
        }
        pushStream(trailerBytes(w));
        std::vector<uint8_t> data(payload);
        U3V_ImageInfo info{};
        ASSERT_EQ(U3V_GetImage(stream_, data.data(), 10000, &info), U3V_OK);
        EXPECT_TRUE(data == w.payload) << "the image is not byte-exact";
        EXPECT_EQ(value(info.BlockId), w.blockId);
        EXPECT_EQ(value(info.SizeX), s.width);
        EXPECT_EQ(value(info.SizeY), s.height);
        EXPECT_EQ(value(info.PixelFormat), s.pixelFormat);
        EXPECT_EQ(value(info.MissingTransfers), 0u);
    }
    vcam::setUsbfsMemoryLimit(0);
    EXPECT_LE(queued().maxBytes, long{U3V_DEFAULT_STREAM_MEMORY});
}

}  // namespace
}  // namespace testsupport
