// The stream channel on the virtual camera: set-up and transfer plan, images through
// U3V_GetImage, the ready queue, and the engine's handling of faulty transfers. The camera's
// side of the pipe is pushed by the tests themselves.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/ChannelTestSupport.h"

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

class StreamChannelTest : public ChannelTest {
protected:
    void SetUp() override {
        ChannelTest::SetUp();
        openCamera();
        stream_ = openStream();
    }

    WireImage image(uint64_t block, size_t size) {
        WireImage w;
        w.blockId = block;
        w.timestamp = 1000 + block;
        w.sizeX = 100;
        w.sizeY = static_cast<uint32_t>(size / 100);
        w.offsetX = 3;
        w.offsetY = 4;
        w.paddingX = 5;
        w.payload = pattern(block, size);
        return w;
    }

    void start(uint64_t payload) {
        setPayloadSize(payload);
        ASSERT_EQ(U3V_AcquisitionStart(stream_, 0), U3V_OK);
    }

    // Takes one image; the status must be `expected`.
    std::vector<uint8_t> take(size_t size, U3V_ImageInfo& info, uint16_t expected = U3V_OK,
                              uint32_t timeout = 5000) {
        std::vector<uint8_t> data(size, 0xEE);
        EXPECT_EQ(U3V_GetImage(stream_, data.data(), timeout, &info), expected);
        return data;
    }

    void* stream_ = nullptr;
};

struct PlanCase {
    uint32_t payload, transferSize;
    uint32_t count, final1;
};

class StreamPlanTest : public StreamChannelTest, public ::testing::WithParamInterface<PlanCase> {};

// The plan written to the camera and images received byte-exact with the leader's fields,
// for payloads that are a multiple of the transfer size, smaller than it, and neither.
TEST_P(StreamPlanTest, ProgramsThePlanAndDeliversImagesByteExact) {
    const PlanCase c = GetParam();
    ASSERT_EQ(U3V_SetTransferSize(stream_, c.transferSize), U3V_OK);
    start(c.payload);
    const uint64_t s = sirm();
    EXPECT_EQ(peekLe32(s + 0x18), 1024u);
    EXPECT_EQ(peekLe32(s + 0x1C), c.transferSize);
    EXPECT_EQ(peekLe32(s + 0x20), c.count);
    EXPECT_EQ(peekLe32(s + 0x24), c.final1);
    EXPECT_EQ(peekLe32(s + 0x28), 0u);
    EXPECT_EQ(peekLe32(s + 0x2C), 1024u);
    EXPECT_EQ(peekLe32(s + 0x04) & 1u, 1u) << "stream enabled";

    for (uint64_t block = 1; block <= 3; ++block) pushImage(image(block, c.payload), c.transferSize);
    for (uint64_t block = 1; block <= 3; ++block) {
        U3V_ImageInfo info{};
        const std::vector<uint8_t> data = take(c.payload, info);
        EXPECT_EQ(data, pattern(block, c.payload)) << "block " << block;
        EXPECT_EQ(value(info.BlockId), block);
        EXPECT_EQ(value(info.Timestamp), 1000 + block);
        EXPECT_EQ(value(info.PixelFormat), 0x01080001u);
        EXPECT_EQ(value(info.SizeX), 100u);
        EXPECT_EQ(value(info.SizeY), c.payload / 100);
        EXPECT_EQ(value(info.OffsetX), 3u);
        EXPECT_EQ(value(info.OffsetY), 4u);
        EXPECT_EQ(value(info.PaddingX), 5u);
        EXPECT_EQ(value(info.MissingTransfers), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Payloads, StreamPlanTest,
                         ::testing::Values(PlanCase{40000, 10000, 4, 0},      // exact multiple
                                           PlanCase{3000, 10000, 0, 3000},    // smaller
                                           PlanCase{25000, 10000, 2, 5000},   // remainder
                                           PlanCase{307200, 65536, 4, 45056}));

TEST_F(StreamChannelTest, StreamEnableKeepsTheOtherControlBits) {
    const uint64_t control = sirm() + 0x04;
    pokeLe32(control, 6);
    start(1000);
    EXPECT_EQ(peekLe32(control), 7u);
    uint64_t a = 1, b = 2;
    EXPECT_EQ(U3V_AcquisitionStop(stream_, &a, &b), U3V_OK);
    EXPECT_EQ(peekLe32(control), 6u);
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(b, 0u);
}

TEST_F(StreamChannelTest, GetImageBeforeAnyStartWaitsItsTimeOut) {
    std::vector<uint8_t> data(16);
    U3V_ImageInfo info{};
    const auto t0 = Clock::now();
    EXPECT_EQ(U3V_GetImage(stream_, data.data(), 200, &info), U3V_ERR_IMAGE_TIMEOUT);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(190));
}

TEST_F(StreamChannelTest, NullInfoCopiesTheImageAndLeavesItQueued) {
    start(5000);
    pushImage(image(1, 5000));
    pushImage(image(2, 5000));
    std::vector<uint8_t> data(5000);
    EXPECT_EQ(U3V_GetImage(stream_, data.data(), 5000, nullptr), U3V_ERR_NO_IMAGE);
    EXPECT_EQ(data, pattern(1, 5000));
    U3V_ImageInfo info{};
    EXPECT_EQ(take(5000, info), pattern(1, 5000));
    EXPECT_EQ(value(info.BlockId), 1u);
    EXPECT_EQ(take(5000, info), pattern(2, 5000));
    EXPECT_EQ(value(info.BlockId), 2u);
}

TEST_F(StreamChannelTest, WithoutReaderTheQueueHoldsBufferCountImagesUnchanged) {
    ASSERT_EQ(U3V_SetTransferSize(stream_, 8192), U3V_OK);
    start(20000);
    for (uint64_t block = 1; block <= 7; ++block) pushImage(image(block, 20000), 8192);
    ASSERT_TRUE(waitForReads(kStreamEndpoint, 7 * 5));
    U3V_ImageInfo info{};
    for (uint64_t block = 1; block <= 4; ++block) {
        EXPECT_EQ(take(20000, info), pattern(block, 20000)) << "block " << block;
        EXPECT_EQ(value(info.BlockId), block);
    }
    take(20000, info, U3V_ERR_IMAGE_TIMEOUT, 300);
    // Taking images makes room again.
    pushImage(image(8, 20000), 8192);
    EXPECT_EQ(take(20000, info), pattern(8, 20000));
}

TEST_F(StreamChannelTest, BufferCountZeroNeverDelivers) {
    ASSERT_EQ(U3V_SetBufferCount(stream_, 0), U3V_OK);
    start(1000);
    pushImage(image(1, 1000));
    ASSERT_TRUE(waitForReads(kStreamEndpoint, 3));
    U3V_ImageInfo info{};
    take(1000, info, U3V_ERR_IMAGE_TIMEOUT, 300);
}

TEST_F(StreamChannelTest, StopDiscardsWaitingImages) {
    start(1000);
    pushImage(image(1, 1000));
    pushImage(image(2, 1000));
    ASSERT_TRUE(waitForReads(kStreamEndpoint, 6));
    // The reads are complete; the engine queues the images just after, on its own thread.
    // Nothing outside shows that moment, so it gets time (a loaded machine under the
    // thread checker took more than the 5 ms of the poll above).
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    uint64_t a = 1, b = 1;
    ASSERT_EQ(U3V_AcquisitionStop(stream_, &a, &b), U3V_OK);
    U3V_ImageInfo info{};
    const auto t0 = Clock::now();
    take(1000, info, U3V_ERR_IMAGE_TIMEOUT, 2000);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1000)) << "image event was still set";
    take(1000, info, U3V_ERR_IMAGE_TIMEOUT, 100);
    // A new start delivers again.
    ASSERT_EQ(U3V_AcquisitionStart(stream_, 0), U3V_OK);
    pushImage(image(3, 1000));
    EXPECT_EQ(take(1000, info), pattern(3, 1000));
}

TEST_F(StreamChannelTest, ShortPayloadTransferIsCountedAndTheRestStaysInPlace) {
    ASSERT_EQ(U3V_SetTransferSize(stream_, 1000), U3V_OK);
    start(4500);
    WireImage w = image(1, 4500);
    pushStream(leaderBytes(w));
    const std::vector<uint8_t>& p = w.payload;
    pushStream({p.begin(), p.begin() + 1000});
    pushStream({p.begin() + 1000, p.begin() + 1600});  // 400 bytes short
    pushStream({p.begin() + 2000, p.begin() + 3000});
    pushStream({p.begin() + 3000, p.begin() + 4000});
    pushStream({p.begin() + 4000, p.end()});
    pushStream(trailerBytes(w));
    U3V_ImageInfo info{};
    const std::vector<uint8_t> data = take(4500, info, U3V_ERR_MISSING_PACKETS);
    EXPECT_EQ(value(info.MissingTransfers), 1u);
    EXPECT_EQ(value(info.BlockId), 1u);
    EXPECT_TRUE(std::equal(p.begin(), p.begin() + 1600, data.begin()));
    EXPECT_TRUE(std::equal(p.begin() + 2000, p.end(), data.begin() + 2000));
    EXPECT_EQ(LogCapture::messages().back(), (LogMessage{2, "Missing data packets in the image."}));
}

// The last, shorter transfer of the plan is checked against its own planned size.
TEST_F(StreamChannelTest, ShortFinalPayloadTransferIsCountedAsMissing) {
    ASSERT_EQ(U3V_SetTransferSize(stream_, 1000), U3V_OK);
    start(4500);
    WireImage w = image(1, 4500);
    pushStream(leaderBytes(w));
    const std::vector<uint8_t>& p = w.payload;
    for (size_t at = 0; at < 4000; at += 1000) pushStream({p.begin() + at, p.begin() + at + 1000});
    pushStream({p.begin() + 4000, p.begin() + 4400});  // 100 bytes short of the final 500
    pushStream(trailerBytes(w));
    U3V_ImageInfo info{};
    const std::vector<uint8_t> data = take(4500, info, U3V_ERR_MISSING_PACKETS);
    EXPECT_EQ(value(info.MissingTransfers), 1u);
    EXPECT_TRUE(std::equal(p.begin(), p.begin() + 4400, data.begin()));
}

// Leader fields are read at their full width: a device clock past 2^32 ns (4.3 s after
// power-on) and a block id past 2^32.
TEST_F(StreamChannelTest, LeaderTimestampAndBlockIdKeepAll64Bits) {
    start(1000);
    WireImage w = image(1, 1000);
    w.blockId = 0x0000000500000007;
    w.timestamp = 0x123456789ABCDEF0;
    w.payload = pattern(w.blockId, 1000);
    pushImage(w);
    U3V_ImageInfo info{};
    EXPECT_EQ(take(1000, info), w.payload);
    EXPECT_EQ(value(info.Timestamp), 0x123456789ABCDEF0u);
    EXPECT_EQ(value(info.BlockId), 0x0000000500000007u);
}

// An image leader needs its first 50 bytes (up to padding x): 49 are refused, 50 taken.
TEST_F(StreamChannelTest, LeaderCutBefore50BytesIsRefused) {
    start(1000);
    for (const size_t cut : {48u, 49u}) {
        std::vector<uint8_t> leader = leaderBytes(image(1, 1000));
        leader.resize(cut);
        pushStream(leader);
    }
    WireImage w = image(2, 1000);
    std::vector<uint8_t> leader = leaderBytes(w);
    leader.resize(50);
    pushStream(leader);
    pushStream(w.payload);
    pushStream(trailerBytes(w));
    U3V_ImageInfo info{};
    EXPECT_EQ(take(1000, info), w.payload);
    EXPECT_EQ(value(info.BlockId), 2u) << "a cut leader was taken for an image";
    EXPECT_EQ(value(info.PaddingX), 5u);
    const std::vector<std::string> texts = LogCapture::texts();
    for (const char* refused : {"check if leader correct 48", "check if leader correct 49"})
        EXPECT_NE(std::find(texts.begin(), texts.end(), refused), texts.end()) << refused;
}

// A camera that refuses its transfer plan refuses the start.
TEST_F(StreamChannelTest, RefusedTransferPlanFailsTheStart) {
    vcam::ControlFault refuse;
    refuse.kind = vcam::ControlFaultKind::Status;
    refuse.address = sirm() + 0x20;  // SI_PayloadTransferCount
    refuse.status = 0x8006;
    vcam::addControlFault(camera_, refuse);
    setPayloadSize(1000);
    EXPECT_EQ(U3V_AcquisitionStart(stream_, 0), 0x8006);
    EXPECT_EQ(peekLe32(sirm() + 0x04) & 1u, 0u) << "the stream was enabled all the same";
}

// One stream channel per device handle: a second open while the first is open is refused
// and leaves the first working; after a close the device's stream can be opened again.
TEST_F(StreamChannelTest, SecondOpenOnTheSameDeviceIsRefused) {
    void* second = openStream(U3V_ERR_STREAM_CLAIM_FAILED);
    start(1000);
    pushImage(image(1, 1000));
    U3V_ImageInfo info{};
    EXPECT_EQ(take(1000, info), pattern(1, 1000));
    EXPECT_EQ(closeStream(second), U3V_OK);
    EXPECT_EQ(closeStream(stream_), U3V_OK);
    stream_ = openStream();
    start(1000);
    pushImage(image(2, 1000));
    EXPECT_EQ(take(1000, info), pattern(2, 1000));
}

TEST_F(StreamChannelTest, TrailerStatusIsReturnedUnchanged) {
    start(1000);
    WireImage w = image(1, 1000);
    w.status = 0xA123;
    pushImage(w);
    U3V_ImageInfo info{};
    EXPECT_EQ(take(1000, info, 0xA123), pattern(1, 1000));
    EXPECT_EQ(value(info.BlockId), 1u);
}

TEST_F(StreamChannelTest, BadLeadersAndTrailersDiscardTheImage) {
    start(1000);
    WireImage w = image(1, 1000);
    w.trailerBlockId = 9;  // trailer of another block
    pushImage(w);
    WireImage notImage = image(2, 1000);
    notImage.payloadType = 2;
    pushImage(notImage);
    pushImage(image(3, 1000));
    U3V_ImageInfo info{};
    EXPECT_EQ(take(1000, info), pattern(3, 1000));
    EXPECT_EQ(value(info.BlockId), 3u);
    const std::vector<std::string> texts = LogCapture::texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(),
                        "Leader block id != trailer block id. Expected -> 1, actual -> 9"),
              texts.end());
    EXPECT_NE(std::find(texts.begin(), texts.end(), "check if leader correct 52"), texts.end());
}

// A camera that lost a trailer goes straight on with the next leader. The reads queued
// behind the one that brought it are cancelled; when none of them had received anything,
// that leader starts the next image, which is kept. (When the following transfers had
// already arrived in them, that image is lost with them: see the pipelined stream tests.)
TEST_F(StreamChannelTest, ImageAfterAMissingTrailerIsDelivered) {
    start(1000);
    const WireImage first = image(1, 1000);
    const WireImage second = image(2, 1000);
    pushStream(leaderBytes(first));
    pushStream(first.payload);
    pushStream(leaderBytes(second));
    // The second image's payload read, queued again after the cancellations.
    const auto requeued = [] {
        bool cancelled = false;
        for (const vcam::UsbCall& call : vcam::calls()) {
            if (call.endpoint != kStreamEndpoint) continue;
            if (call.function == "libusb_cancel_transfer") cancelled = true;
            if (cancelled && call.function == "libusb_submit_transfer" && call.length == 1000) return true;
        }
        return false;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!requeued() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(requeued());
    pushStream(second.payload);
    pushStream(trailerBytes(second));
    U3V_ImageInfo info{};
    EXPECT_EQ(take(1000, info), pattern(2, 1000));
    EXPECT_EQ(value(info.BlockId), 2u);
}

// Leader and trailer fields come only from bytes that arrived: a cut-off leader or trailer
// is not completed from what an earlier image left in the buffers.
TEST_F(StreamChannelTest, ShortLeaderOrTrailerIsNeverDecodedFromStaleBytes) {
    start(1000);
    pushImage(image(7, 1000));
    U3V_ImageInfo info{};
    EXPECT_EQ(take(1000, info), pattern(7, 1000));

    WireImage again = image(7, 1000);
    std::vector<uint8_t> trailer = trailerBytes(again);
    trailer.resize(12);  // magic and half the block id
    pushStream(leaderBytes(again));
    pushStream(again.payload);
    pushStream(trailer);
    ASSERT_TRUE(waitForReads(kStreamEndpoint, 3 + 3));
    take(1000, info, U3V_ERR_IMAGE_TIMEOUT, 300);
    // The cut trailer put the stream out of step: the next leader is looked for alone.
    std::vector<uint8_t> leader = leaderBytes(again);
    leader.resize(20);  // magic and block id, no payload type
    pushStream(leader);
    pushStream(again.payload);
    pushStream(trailerBytes(again));
    ASSERT_TRUE(waitForReads(kStreamEndpoint, 3 + 6));
    take(1000, info, U3V_ERR_IMAGE_TIMEOUT, 300);
    const std::vector<std::string> texts = LogCapture::texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "check if leader correct 20"), texts.end());
}

TEST_F(StreamChannelTest, SecondStartRestartsInsteadOfWaiting) {
    start(1000);
    ASSERT_EQ(U3V_AcquisitionStart(stream_, 0), U3V_OK);
    pushImage(image(1, 1000));
    U3V_ImageInfo info{};
    EXPECT_EQ(take(1000, info), pattern(1, 1000));
}

TEST_F(StreamChannelTest, SettingsAndNullArguments) {
    uint32_t value = 0;
    EXPECT_EQ(U3V_GetTransferSize(stream_, &value), U3V_OK);
    EXPECT_EQ(value, 65536u);
    EXPECT_EQ(U3V_GetBufferCount(stream_, &value), U3V_OK);
    EXPECT_EQ(value, 4u);
    EXPECT_EQ(U3V_SetTransferSize(stream_, 12345), U3V_OK);
    EXPECT_EQ(U3V_GetTransferSize(stream_, &value), U3V_OK);
    EXPECT_EQ(value, 12345u);
    EXPECT_EQ(U3V_SetTransferSize(stream_, 0), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_SetBufferCount(stream_, 0x7FFFFFFF), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_GetTransferSize(stream_, &value), U3V_OK);
    EXPECT_EQ(value, 12345u) << "a refused value changes nothing";

    uint64_t a = 0;
    std::vector<uint8_t> data(16);
    EXPECT_EQ(U3V_AcquisitionStop(stream_, nullptr, &a), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_AcquisitionStop(stream_, &a, nullptr), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_GetTransferSize(stream_, nullptr), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_GetBufferCount(stream_, nullptr), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_GetImage(stream_, nullptr, 10, nullptr), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_GetImage(nullptr, data.data(), 10, nullptr), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_AcquisitionStart(nullptr, 0), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_CloseStream(nullptr), U3V_ERR_INVALID_HANDLE);
    void* s = nullptr;
    EXPECT_EQ(U3V_OpenStream(nullptr, control_, &s, 100), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_OpenStream(device_, nullptr, &s, 100), U3V_ERR_INVALID_HANDLE);
}

TEST_F(StreamChannelTest, PayloadOf4GiBIsRefused) {
    setPayloadSize(uint64_t{1} << 32);
    EXPECT_EQ(U3V_AcquisitionStart(stream_, 0), U3V_ERR_INVALID_HANDLE);
}

// Unplugging while streaming: the image already received is still delivered, then
// GetImage (even without a time-out) and every later call say the camera is gone, and
// stop and close end without hanging.
TEST_F(StreamChannelTest, UnplugWhileStreamingEndsCleanly) {
    start(1000);
    pushImage(image(1, 1000));
    ASSERT_TRUE(waitForReads(kStreamEndpoint, 3));
    vcam::unplug(camera_);
    U3V_ImageInfo info{};
    EXPECT_EQ(take(1000, info), pattern(1, 1000));
    take(1000, info, U3V_ERR_DEVICE_GONE, 0xFFFFFFFF);
    uint64_t a = 0, b = 0;
    EXPECT_EQ(U3V_AcquisitionStop(stream_, &a, &b), U3V_ERR_DEVICE_GONE);
    EXPECT_EQ(U3V_AcquisitionStart(stream_, 0), U3V_ERR_DEVICE_GONE);
    uint32_t word = 0;
    EXPECT_EQ(U3V_ReadMem(control_, 0x01CC, 4, &word), U3V_ERR_DEVICE_GONE);
    EXPECT_EQ(U3V_WriteMem(control_, 0x100000, 4, &word), U3V_ERR_DEVICE_GONE);
    EXPECT_EQ(U3V_GetBufferCount(stream_, &word), U3V_ERR_DEVICE_GONE);
    void* second = nullptr;
    EXPECT_EQ(U3V_OpenStream(device_, control_, &second, 100), U3V_ERR_DEVICE_GONE);
    EXPECT_EQ(U3V_CloseStream(second), U3V_OK);
    void* event = nullptr;
    EXPECT_EQ(U3V_OpenEvent(device_, control_, &event, nullptr, 100), U3V_ERR_DEVICE_GONE);
    EXPECT_EQ(closeStream(stream_), U3V_OK);
}

class StreamWithoutInterfaceTest : public ChannelTest {};

TEST_F(StreamWithoutInterfaceTest, OpenFailsButGivesAHandleThatDoesNothing) {
    vcam::CameraConfig config = camera(1);
    config.hasStream = false;
    openCamera(config);
    void* stream = openStream(U3V_ERR_NO_STREAM_INTERFACE);
    ASSERT_NE(stream, nullptr);
    vcam::clearCalls();
    EXPECT_EQ(U3V_AcquisitionStart(stream, 0), U3V_ERR_STREAM_NOT_OPEN);
    uint64_t a = 0, b = 0;
    EXPECT_EQ(U3V_AcquisitionStop(stream, &a, &b), U3V_ERR_STREAM_NOT_OPEN);
    EXPECT_TRUE(vcam::calls().empty()) << "no USB traffic";
    EXPECT_EQ(LogCapture::texts().back(), "Stream interface not open.");
    std::vector<uint8_t> data(16);
    U3V_ImageInfo info{};
    const auto t0 = Clock::now();
    EXPECT_EQ(U3V_GetImage(stream, data.data(), 0xFFFFFFFF, &info), U3V_ERR_STREAM_NOT_OPEN);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
    EXPECT_EQ(closeStream(stream), U3V_OK);
}

}  // namespace
}  // namespace testsupport
