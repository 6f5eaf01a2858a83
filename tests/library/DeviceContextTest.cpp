// An open device completes its transfers in a libusb context of its own: neither the
// program's own use of the process's libusb context nor other devices' traffic stands in
// the way of its control channel and stream.
#include <gtest/gtest.h>
#include <libusb.h>

#include <thread>
#include <vector>

#include "support/ChannelTestSupport.h"

namespace testsupport {
namespace {

constexpr uint64_t kWidth = 0x50000, kHeight = 0x50004;
constexpr uint64_t kAcquisitionStart = 0x40024;

class DeviceContextTest : public ChannelTest {
protected:
    void startStream(void* control, void*& stream, uint32_t width, uint32_t height) {
        ASSERT_EQ(U3V_WriteMem(control, kWidth, 4, &width), U3V_OK);
        ASSERT_EQ(U3V_WriteMem(control, kHeight, 4, &height), U3V_OK);
        stream = openStream();
        ASSERT_NE(stream, nullptr);
        ASSERT_EQ(U3V_AcquisitionStart(stream, 0), U3V_OK);
        const uint32_t one = 1;
        ASSERT_EQ(U3V_WriteMem(control, kAcquisitionStart, 4, &one), U3V_OK);
    }

    // `count` whole images in a row, each byte-exact.
    static void expectImages(void* stream, size_t payload, int count) {
        std::vector<uint8_t> data(payload);
        for (int i = 0; i < count; ++i) {
            U3V_ImageInfo info{};
            ASSERT_EQ(U3V_GetImage(stream, data.data(), 3000, &info), U3V_OK) << "image " << i;
            EXPECT_EQ(vcam::firstMismatch(value(info.BlockId), data.data(), payload), -1) << "image " << i;
        }
    }
};

// A program that uses libusb itself may hold the process context's event lock for as long
// as it likes (handling its own devices); the camera's registers and images still come.
TEST_F(DeviceContextTest, ControlAndStreamGoOnWhileTheProgramHoldsTheProcessEventLock) {
    openCamera();
    void* stream = nullptr;
    startStream(control_, stream, 320, 240);
    ASSERT_EQ(libusb_init(nullptr), 0);
    libusb_lock_events(nullptr);
    uint32_t width = 0;
    EXPECT_EQ(U3V_ReadMem(control_, kWidth, 4, &width), U3V_OK);
    EXPECT_EQ(width, 320u);
    expectImages(stream, 320 * 240, 6);
    libusb_unlock_events(nullptr);
    libusb_exit(nullptr);
}

// Two cameras opened at once stream side by side from two threads, each image intact, and
// a camera closed and opened again (its context ended and a new one made) streams as well.
TEST_F(DeviceContextTest, TwoCamerasStreamSideBySideAndAReopenedCameraStreamsAgain) {
    openCamera();
    addCamera(camera(2));
    ASSERT_EQ(discover(), 2);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        void* device2 = openDevice(guidOf(2));
        ASSERT_NE(device2, nullptr);
        void* control2 = nullptr;
        ASSERT_EQ(U3V_OpenControl(device2, &control2), U3V_OK);
        void* stream1 = nullptr;
        startStream(control_, stream1, 320, 240);
        void* stream2 = nullptr;
        uint32_t w = 256, h = 128;
        const uint32_t one = 1;
        ASSERT_EQ(U3V_WriteMem(control2, kWidth, 4, &w), U3V_OK);
        ASSERT_EQ(U3V_WriteMem(control2, kHeight, 4, &h), U3V_OK);
        ASSERT_EQ(U3V_OpenStream(device2, control2, &stream2, 1000), U3V_OK);
        ASSERT_EQ(U3V_AcquisitionStart(stream2, 0), U3V_OK);
        ASSERT_EQ(U3V_WriteMem(control2, kAcquisitionStart, 4, &one), U3V_OK);

        std::thread other([&] { expectImages(stream2, 256 * 128, 20); });
        expectImages(stream1, 320 * 240, 20);
        other.join();
        EXPECT_EQ(U3V_CloseStream(stream2), U3V_OK);
        EXPECT_EQ(closeStream(stream1), U3V_OK);
        // Closed, then opened again in the next round: a fresh context of its own.
        EXPECT_EQ(U3V_CloseControl(control2), U3V_OK);
        EXPECT_EQ(closeDevice(device2), U3V_OK);
    }
}

}  // namespace
}  // namespace testsupport
