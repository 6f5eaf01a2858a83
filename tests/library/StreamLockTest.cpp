// Zero-copy delivery: images handed out in their own buffers by U3V_LockImage and given
// back with U3V_UnlockImage. A locked buffer is never written, across streaming, stops and
// restarts, and every address handed out is given back once.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/ChannelTestSupport.h"

namespace testsupport {
namespace {

constexpr uint64_t kWidth = 0x50000, kHeight = 0x50004;
constexpr uint64_t kAcquisitionStart = 0x40024;

class StreamLockTest : public ChannelTest {
protected:
    void SetUp() override {
        ChannelTest::SetUp();
        openCamera();
        stream_ = openStream();
    }

    static WireImage image(uint64_t block, size_t size = 1000) {
        WireImage w;
        w.blockId = block;
        w.timestamp = 7000 + block;
        w.payload = pattern(block, size);
        return w;
    }

    void start(uint64_t payload = 1000) {
        setPayloadSize(payload);
        ASSERT_EQ(U3V_AcquisitionStart(stream_, 0), U3V_OK);
    }

    struct Locked {
        uint16_t status = 0;
        const uint8_t* data = nullptr;
        uint32_t size = 0;
        U3V_ImageInfo info{};
        std::vector<uint8_t> bytes() const { return {data, data + size}; }
    };
    Locked lock(uint32_t timeout = 5000) {
        Locked l;
        void* data = nullptr;
        l.status = U3V_LockImage(stream_, &data, &l.size, timeout, &l.info);
        l.data = static_cast<const uint8_t*>(data);
        return l;
    }

    void* stream_ = nullptr;
};

// With every buffer locked the engine only drops; the locked images stay as they were,
// and an unlock makes room for the next image.
TEST_F(StreamLockTest, LockedBuffersAreNeverOverwritten) {
    ASSERT_EQ(U3V_SetBufferCount(stream_, 2), U3V_OK);
    start();
    pushImage(image(1));
    pushImage(image(2));
    const Locked first = lock(), second = lock();
    ASSERT_EQ(first.status, U3V_OK);
    ASSERT_EQ(second.status, U3V_OK);
    ASSERT_EQ(first.size, 1000u);
    EXPECT_NE(first.data, second.data);
    EXPECT_EQ(value(first.info.BlockId), 1u);
    EXPECT_EQ(value(first.info.Timestamp), 7001u);
    EXPECT_EQ(value(second.info.BlockId), 2u);

    for (uint64_t block = 3; block <= 6; ++block) pushImage(image(block));
    ASSERT_TRUE(waitForReads(kStreamEndpoint, 6 * 3));
    EXPECT_EQ(lock(200).status, U3V_ERR_IMAGE_TIMEOUT) << "dropped while all were locked";
    EXPECT_EQ(first.bytes(), pattern(1, 1000));
    EXPECT_EQ(second.bytes(), pattern(2, 1000));

    ASSERT_EQ(U3V_UnlockImage(stream_, first.data), U3V_OK);
    pushImage(image(7));
    std::vector<uint8_t> copy(1000);
    U3V_ImageInfo info{};
    ASSERT_EQ(U3V_GetImage(stream_, copy.data(), 5000, &info), U3V_OK);
    EXPECT_EQ(copy, pattern(7, 1000));
    EXPECT_EQ(second.bytes(), pattern(2, 1000));
    EXPECT_EQ(U3V_UnlockImage(stream_, second.data), U3V_OK);
}

// Only a locked buffer's own address is taken back, once.
TEST_F(StreamLockTest, UnlockOfABufferNotLockedIsRefused) {
    start();
    pushImage(image(1));
    const Locked l = lock();
    ASSERT_EQ(l.status, U3V_OK);
    EXPECT_EQ(U3V_UnlockImage(stream_, l.data + 1), U3V_ERR_INVALID_HANDLE);
    std::vector<uint8_t> elsewhere(16);
    EXPECT_EQ(U3V_UnlockImage(stream_, elsewhere.data()), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_UnlockImage(stream_, nullptr), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_UnlockImage(nullptr, l.data), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_UnlockImage(stream_, l.data), U3V_OK);
    EXPECT_EQ(U3V_UnlockImage(stream_, l.data), U3V_ERR_INVALID_HANDLE) << "given back twice";

    void* data = nullptr;
    uint32_t size = 0;
    EXPECT_EQ(U3V_LockImage(stream_, nullptr, &size, 10, nullptr), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_LockImage(stream_, &data, nullptr, 10, nullptr), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_LockImage(stream_, &data, &size, 100, nullptr), U3V_ERR_IMAGE_TIMEOUT);
    EXPECT_EQ(data, nullptr) << "nothing written without an image";
}

// Statuses as U3V_GetImage gives them, with the image locked all the same; the two calls
// mix, oldest image first.
TEST_F(StreamLockTest, StatusesAndMixingWithGetImage) {
    ASSERT_EQ(U3V_SetTransferSize(stream_, 500), U3V_OK);
    start();
    WireImage bad = image(1);
    bad.status = 0xA123;
    pushImage(bad, 500);
    WireImage cut = image(2);
    pushStream(leaderBytes(cut));
    pushStream({cut.payload.begin(), cut.payload.begin() + 400});
    pushStream({cut.payload.begin() + 500, cut.payload.end()});
    pushStream(trailerBytes(cut));
    pushImage(image(3), 500);

    const Locked statusImage = lock();
    EXPECT_EQ(statusImage.status, 0xA123);
    EXPECT_EQ(statusImage.bytes(), pattern(1, 1000));
    const Locked missing = lock();
    EXPECT_EQ(missing.status, U3V_ERR_MISSING_PACKETS);
    EXPECT_EQ(value(missing.info.MissingTransfers), 1u);
    std::vector<uint8_t> copy(1000);
    U3V_ImageInfo info{};
    EXPECT_EQ(U3V_GetImage(stream_, copy.data(), 5000, &info), U3V_OK);
    EXPECT_EQ(value(info.BlockId), 3u);
    EXPECT_EQ(U3V_UnlockImage(stream_, statusImage.data), U3V_OK);
    EXPECT_EQ(U3V_UnlockImage(stream_, missing.data), U3V_OK);
}

// A stop keeps a locked buffer; a restart makes new buffers and keeps the locked one
// until it is given back; a close frees what is still locked.
TEST_F(StreamLockTest, StopRestartAndCloseWithBuffersLocked) {
    start();
    pushImage(image(1));
    pushImage(image(2));
    const Locked kept = lock();
    ASSERT_EQ(kept.status, U3V_OK);
    uint64_t a = 0, b = 0;
    ASSERT_EQ(U3V_AcquisitionStop(stream_, &a, &b), U3V_OK);
    EXPECT_EQ(kept.bytes(), pattern(1, 1000));

    start();  // a different payload size would not matter to the kept buffer
    for (uint64_t block = 3; block <= 9; ++block) pushImage(image(block));
    for (uint64_t block = 3; block <= 5; ++block) {
        const Locked l = lock();
        ASSERT_EQ(l.status, U3V_OK);
        EXPECT_EQ(value(l.info.BlockId), block);
        EXPECT_NE(l.data, kept.data);
        EXPECT_EQ(U3V_UnlockImage(stream_, l.data), U3V_OK);
    }
    EXPECT_EQ(kept.bytes(), pattern(1, 1000));
    EXPECT_EQ(U3V_UnlockImage(stream_, kept.data), U3V_OK);
    EXPECT_EQ(U3V_UnlockImage(stream_, kept.data), U3V_ERR_INVALID_HANDLE);

    const Locked atClose = lock();
    ASSERT_EQ(atClose.status, U3V_OK);
    EXPECT_EQ(closeStream(stream_), U3V_OK);  // frees it (the leak check sees the rest)
}

// The camera's own source at full speed: locked images stay byte-exact while the engine
// keeps receiving into the other buffers.
TEST_F(StreamLockTest, StreamingCameraNeverTouchesLockedImages) {
    constexpr uint32_t width = 256, height = 128;
    constexpr size_t payload = size_t{width} * height;
    for (const auto& [address, v] : {std::pair{kWidth, width}, std::pair{kHeight, height}})
        ASSERT_EQ(U3V_WriteMem(control_, address, 4, &v), U3V_OK);
    vcam::setStreamPacing(camera_, 0);
    ASSERT_EQ(U3V_SetTransferSize(stream_, 4096), U3V_OK);
    ASSERT_EQ(U3V_AcquisitionStart(stream_, 0), U3V_OK);
    const uint32_t one = 1;
    ASSERT_EQ(U3V_WriteMem(control_, kAcquisitionStart, 4, &one), U3V_OK);

    std::vector<Locked> held;
    for (int i = 0; i < 40; ++i) {
        Locked l = lock();
        ASSERT_EQ(l.status, U3V_OK) << i;
        ASSERT_EQ(l.size, payload);
        EXPECT_EQ(vcam::firstMismatch(l.info.BlockId, l.data, payload), -1) << i;
        held.push_back(l);
        if (held.size() == 3) {  // hold three while the camera sends more
            const uint64_t before = vcam::streamStats(camera_).completed;
            while (vcam::streamStats(camera_).completed < before + 5)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            for (const Locked& h : held) {
                EXPECT_EQ(vcam::firstMismatch(h.info.BlockId, h.data, payload), -1);
                EXPECT_EQ(U3V_UnlockImage(stream_, h.data), U3V_OK);
            }
            held.clear();
        }
    }
    for (const Locked& h : held) EXPECT_EQ(U3V_UnlockImage(stream_, h.data), U3V_OK);
}

}  // namespace
}  // namespace testsupport
