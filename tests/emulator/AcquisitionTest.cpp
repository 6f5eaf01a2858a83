// What a generic GenICam client expects of the camera beyond streaming itself: acquisition
// modes that end by themselves, the transport-layer lock, and chunk data appended to the
// payload; seen from a plain libusb-1.0 host.
#include <map>
#include <thread>

#include "emulator/StreamHost.h"

namespace {

using namespace usbtest;

constexpr uint64_t kAcquisitionMode = 0x40004, kFrameCount = 0x40008, kTLParamsLocked = 0x4000C;
constexpr uint64_t kExposureTime = 0x50058;
constexpr uint64_t kChunkModeActive = 0x50200, kChunkEnable = 0x50210;
constexpr uint32_t kSingleFrame = 1, kMultiFrame = 2;
constexpr uint16_t kAccessDenied = 0x8006, kInvalidParameter = 0x8002;

using Acquisition = StreamHost;

// Waits (boundedly) until the camera has stopped acquiring by itself.
bool stopsBySelf(int id) {
    for (int i = 0; i < 200 && vcam::streamStats(id).streaming; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return !vcam::streamStats(id).streaming;
}

TEST_F(Acquisition, SingleAndMultiFrameTakeTheirImagesAndEnd) {
    vcam::CameraConfig config = unpaced();
    config.frameRate = 1000;
    config.imageBuffers = 8;
    plug(config);
    const Plan plan{1024, 2, 952, 0};
    ASSERT_EQ(write(kAcquisitionMode, kSingleFrame), 0);
    start(100, 30, plan);
    EXPECT_EQ(le(readImage(plan, 3000).leader, 8, 8), 1u);
    EXPECT_TRUE(stopsBySelf(id));
    EXPECT_EQ(read(kStreamIn, 1024, 50).result, LIBUSB_ERROR_TIMEOUT) << "one image, no more";
    EXPECT_EQ(vcam::streamStats(id).taken, 1u);

    ASSERT_EQ(write(kAcquisitionMode, kMultiFrame), 0);
    ASSERT_EQ(write(kFrameCount, 3), 0);
    for (int round = 0; round < 2; ++round) {  // each start takes the count again
        ASSERT_EQ(write(kAcquisitionStart, 1), 0);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(readImage(plan, 3000).payload.size(), 3000u);
        EXPECT_TRUE(stopsBySelf(id));
        EXPECT_EQ(read(kStreamIn, 1024, 50).result, LIBUSB_ERROR_TIMEOUT);
    }
    const vcam::StreamStats stats = vcam::streamStats(id);
    EXPECT_EQ(stats.taken, 7u);
    EXPECT_EQ(stats.completed, 7u);
    EXPECT_EQ(stats.lastBlockId, 7u) << "block ids go on while the stream stays enabled";

    EXPECT_EQ(write(kFrameCount, 0), kInvalidParameter);
    EXPECT_EQ(write(kFrameCount, 0x10000), kInvalidParameter);
    EXPECT_EQ(readReg(kFrameCount), 3u);
    EXPECT_EQ(write(kAcquisitionMode, 3), kInvalidParameter);
}

TEST_F(Acquisition, TriggeredMultiFrameEndsAfterItsCountAndUnpacedSingleFrameToo) {
    plug();  // unpaced: an image is taken the moment a leader is read
    const Plan plan{1024, 2, 952, 0};
    ASSERT_EQ(write(kAcquisitionMode, kSingleFrame), 0);
    start(100, 30, plan);
    readImage(plan, 3000);
    EXPECT_EQ(read(kStreamIn, 1024, 50).result, LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(vcam::streamStats(id).taken, 1u);

    ASSERT_EQ(write(kAcquisitionMode, kMultiFrame), 0);
    ASSERT_EQ(write(kFrameCount, 2), 0);
    ASSERT_EQ(write(kTriggerMode, 1), 0);
    ASSERT_EQ(write(kAcquisitionStart, 1), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(write(kTriggerSoftware, 1), 0);
    readImage(plan, 3000);
    readImage(plan, 3000);
    EXPECT_EQ(read(kStreamIn, 1024, 50).result, LIBUSB_ERROR_TIMEOUT) << "the third trigger came after the end";
    EXPECT_EQ(vcam::streamStats(id).taken, 3u);
    EXPECT_FALSE(vcam::streamStats(id).streaming);
}

TEST_F(Acquisition, LockedTransportParametersRefuseWhatThePayloadDependsOn) {
    plug();
    ASSERT_EQ(write(kTLParamsLocked, 1), 0);
    EXPECT_EQ(write(kWidth, 320), kAccessDenied);
    EXPECT_EQ(write(kHeight, 200), kAccessDenied);
    EXPECT_EQ(write(kChunkModeActive, 1), kAccessDenied);
    EXPECT_EQ(write(kChunkEnable, 1), kAccessDenied);
    EXPECT_EQ(readReg(kWidth), 640u);
    EXPECT_EQ(write(kExposureTime, 500), 0) << "what does not change the payload stays writable";
    EXPECT_EQ(write(kTLParamsLocked, 2), kInvalidParameter);

    ASSERT_EQ(write(kTLParamsLocked, 0), 0);
    EXPECT_EQ(write(kWidth, 320), 0);
    ASSERT_EQ(write(kTLParamsLocked, 1), 0);
    vcam::unplug(id);
    vcam::replug(id);
    uint32_t locked = 1;
    ASSERT_TRUE(vcam::peek(id, kTLParamsLocked, &locked, 4));
    EXPECT_EQ(locked, 0u) << "the host that locked them has gone";

    // The stream being enabled locks the chunk switches as it locks the size.
    close(h);
    h = open(only());
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(write(kSirm + 0x1C, 1024), 0);
    ASSERT_EQ(write(kSirm + 0x20, 200), 0);
    ASSERT_EQ(write(kSirm + 0x04, 1), 0);
    EXPECT_EQ(write(kChunkModeActive, 1), kAccessDenied);
    EXPECT_EQ(write(kChunkEnable + 8, 1), kAccessDenied);
}

// The chunks of a payload, found from its end backwards: id -> data.
std::map<uint32_t, Bytes> chunksOf(const Bytes& payload, size_t* imageSize) {
    std::map<uint32_t, Bytes> found;
    size_t end = payload.size();
    while (end >= 8) {
        const uint32_t id = static_cast<uint32_t>(le(payload, end - 8, 4));
        const size_t length = static_cast<size_t>(le(payload, end - 4, 4));
        if (length > end - 8) break;
        found[id] = Bytes(payload.begin() + static_cast<long>(end - 8 - length), payload.begin() + static_cast<long>(end - 8));
        end -= 8 + length;
    }
    if (imageSize) *imageSize = found.count(0xA5A50000) ? found[0xA5A50000].size() : 0;
    EXPECT_EQ(end, 0u) << "the tags account for every byte";
    return found;
}

TEST_F(Acquisition, ChunkModeAppendsTheEnabledChunksBehindTheImage) {
    plug();
    ASSERT_EQ(write(kWidth, 100), 0);
    ASSERT_EQ(write(kHeight, 30), 0);
    ASSERT_EQ(write(kExposureTime, 1234), 0);
    ASSERT_EQ(write(kChunkModeActive, 1), 0);
    EXPECT_EQ(readReg(kPayloadSize), 3008u) << "the image's own tag";
    for (uint64_t chunk = 0; chunk < 5; ++chunk) ASSERT_EQ(write(kChunkEnable + 4 * chunk, 1), 0);
    // Timestamp 8, FrameID 8, Width 4, Height 4, ExposureTime 4, a tag of 8 after each.
    const uint64_t payload = 3000 + 8 + 16 + 16 + 12 + 12 + 12;
    EXPECT_EQ(readReg(kPayloadSize), payload);
    EXPECT_EQ(readReg(kSirm + 0x08, 8), payload);

    // A plan whose third transfer straddles the image's end; the fourth is all chunk data.
    const Plan plan{1024, 3, 4, 0};
    start(100, 30, plan);
    for (uint64_t block = 1; block <= 2; ++block) {
        Image image = readImage(plan, payload);
        EXPECT_EQ(le(image.leader, 18, 2), 0x4001u) << "image extended chunk";
        EXPECT_EQ(image.pieces, (std::vector<size_t>{1024, 1024, 1024, 4}));
        ASSERT_EQ(image.payload.size(), payload);
        EXPECT_EQ(le(image.trailer, 20, 8), payload) << "valid payload size counts the chunks";
        EXPECT_EQ(vcam::firstMismatch(block, image.payload.data(), 3000), -1);

        size_t imageSize = 0;
        std::map<uint32_t, Bytes> chunks = chunksOf(image.payload, &imageSize);
        EXPECT_EQ(imageSize, 3000u);
        ASSERT_EQ(chunks.size(), 6u);
        EXPECT_EQ(le(chunks[0xA5A50001], 0, 8), le(image.leader, 20, 8)) << "timestamp as in the leader";
        EXPECT_EQ(le(chunks[0xA5A50002], 0, 8), block);
        EXPECT_EQ(le(chunks[0xA5A50003], 0, 4), 100u);
        EXPECT_EQ(le(chunks[0xA5A50004], 0, 4), 30u);
        EXPECT_EQ(le(chunks[0xA5A50005], 0, 4), 1234u);
    }
    ASSERT_EQ(write(kAcquisitionStop, 1), 0);
    ASSERT_EQ(write(kSirm + 0x04, 0), 0);

    // Only the enabled chunks, in selector order, and none at all with chunk mode off.
    ASSERT_EQ(write(kChunkEnable + 0, 0), 0);
    ASSERT_EQ(write(kChunkEnable + 12, 0), 0);
    ASSERT_EQ(write(kChunkEnable + 16, 0), 0);
    EXPECT_EQ(readReg(kPayloadSize), 3000u + 8 + 16 + 12);
    ASSERT_EQ(write(kChunkModeActive, 0), 0);
    EXPECT_EQ(readReg(kPayloadSize), 3000u);
}

}  // namespace
