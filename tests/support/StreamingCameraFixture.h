// A camera opened down to its stream, streaming from its own image source: the fixture
// that the streaming tests share.
#pragma once

#include <gtest/gtest.h>

#include <libusb.h>

#include <cstddef>
#include <cstdint>

#include "ChannelTestSupport.h"

namespace testsupport {

class StreamingCameraFixture : public ChannelTest {
protected:
    // The camera's feature registers.
    static constexpr uint64_t kWidth = 0x50000, kHeight = 0x50004;
    static constexpr uint64_t kAcquisitionStart = 0x40024, kAcquisitionStop = 0x40028;

    // bytesPerSecond 0 leaves the camera unpaced: an image is taken when its leader is
    // read, so none is dropped by the camera and block ids show every image lost.
    void open(uint32_t width, uint32_t height, uint64_t bytesPerSecond = 0) {
        vcam::CameraConfig config = camera(1);
        config.streamBytesPerSecond = bytesPerSecond;
        open(width, height, config);
    }

    // A camera of the given configuration with the given region, its stream open.
    void open(uint32_t width, uint32_t height, const vcam::CameraConfig& config) {
        openCamera(config);
        writeReg(kWidth, width);
        writeReg(kHeight, height);
        payload_ = size_t{width} * height;
        stream_ = openStream(U3V_OK, 1000);
    }

    void writeReg(uint64_t address, uint32_t value) {
        ASSERT_EQ(U3V_WriteMem(control_, address, 4, &value), U3V_OK) << std::hex << address;
    }

    // Library start, then the camera's own acquisition.
    void start() {
        ASSERT_EQ(U3V_AcquisitionStart(stream_, 0), U3V_OK);
        writeReg(kAcquisitionStart, 1);
    }

    // Stream submissions the drop-in refused for lack of USB buffer memory.
    static int refusedStreamSubmissions() {
        int refused = 0;
        for (const vcam::UsbCall& call : vcam::calls()) {
            if (call.endpoint == kStreamEndpoint && call.function == "libusb_submit_transfer" &&
                call.result == LIBUSB_ERROR_NO_MEM)
                ++refused;
        }
        return refused;
    }

    void* stream_ = nullptr;
    size_t payload_ = 0;
};

}  // namespace testsupport
