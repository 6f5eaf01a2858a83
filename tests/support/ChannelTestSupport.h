// Support for the event and stream channel tests: a camera opened down to its control
// channel, stream and event handles closed at the end of the test, and the camera's side
// of the event and stream pipes built here, independently of the library's headers.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "ControlTestSupport.h"

namespace testsupport {

// A copy of a packed record's field: the test macros bind references, which a packed
// field cannot give safely.
template <class T>
constexpr T value(T v) {
    return v;
}

constexpr uint8_t kEventEndpoint = 0x82;
constexpr uint8_t kStreamEndpoint = 0x83;

// One image as the camera sends it: leader, payload transfers, trailer.
struct WireImage {
    uint64_t blockId = 1;
    uint16_t payloadType = 1;
    uint64_t timestamp = 0;
    uint32_t pixelFormat = 0x01080001;  // Mono8
    uint32_t sizeX = 0, sizeY = 0, offsetX = 0, offsetY = 0;
    uint16_t paddingX = 0;
    uint16_t status = 0;
    uint64_t trailerBlockId = 0;  // 0: the leader's
    std::vector<uint8_t> payload;
};

std::vector<uint8_t> leaderBytes(const WireImage& image);
std::vector<uint8_t> trailerBytes(const WireImage& image);
// The bytes of payload byte i of a test image with this block id.
uint8_t patternByte(uint64_t blockId, size_t i);
std::vector<uint8_t> pattern(uint64_t blockId, size_t size);

// An event command: prefix, flags, command id, length, request id, reserved, event id,
// timestamp, then data.
std::vector<uint8_t> eventBytes(uint16_t eventId, uint64_t timestamp,
                                const std::vector<uint8_t>& data, uint16_t commandId = 0x0C00);

class ChannelTest : public ControlTest {
protected:
    void SetUp() override;
    void TearDown() override;  // closes streams and events, then control and device

    // Plugs the camera, opens its device and control channel into control_.
    void openCamera(const vcam::CameraConfig& config = camera(1));

    void* openStream(uint16_t expected = U3V_OK, uint32_t timeout = 1000);
    uint16_t closeStream(void* stream);

    // The camera's register maps, found through its bootstrap registers.
    uint64_t sirm();
    uint64_t eirm();
    uint32_t peekLe32(uint64_t address);
    void pokeLe32(uint64_t address, uint32_t value);
    void setPayloadSize(uint64_t size);  // SI_RequiredPayloadSize

    // Sends an image on the stream pipe cut into transfers of transferSize bytes.
    void pushImage(const WireImage& image, uint32_t transferSize = 0x10000);
    void pushStream(const std::vector<uint8_t>& transfer);

    // Waits until the host has read `count` transfers from the endpoint in all.
    bool waitForReads(uint8_t endpoint, size_t count,
                      std::chrono::milliseconds limit = std::chrono::seconds(10));

    void* control_ = nullptr;

private:
    std::vector<void*> streams_;
};

}  // namespace testsupport
