// Support for the control channel and description file tests: a camera opened down to its
// control channel, and the control traffic as the camera saw it. Packets are decoded here
// on their own, not with the library's headers, so that both sides cannot share a mistake.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "VcamTest.h"

namespace testsupport {

// One command transfer sent on the control OUT pipe.
struct SentCommand {
    uint16_t commandId = 0;
    uint16_t requestId = 0;
    uint64_t address = 0;
    uint16_t readLength = 0;    // read commands
    std::vector<uint8_t> data;  // write commands: the bytes after the address
};

// Bulk OUT transfers (the only OUT pipe of a camera is the control pipe), decoded.
std::vector<SentCommand> sentCommands();
// The recorded calls of one libusb function, in order.
std::vector<vcam::UsbCall> callsOf(const std::string& function);
// Bulk IN transfers: with no event or stream channel open, the control IN pipe only.
std::vector<vcam::UsbCall> bulkReads();

uint32_t le32(const uint8_t* p);
uint64_t le64(const uint8_t* p);
void putLe32(std::vector<uint8_t>& out, size_t at, uint32_t v);
void putLe64(std::vector<uint8_t>& out, size_t at, uint64_t v);

class ControlTest : public VcamTest {
protected:
    // Host RAM of the virtual camera, free for tests to plant data in.
    static constexpr uint64_t kRam = 0x100000;
    static constexpr uint64_t kRamEnd = 0x200000;

    void SetUp() override;     // as VcamTest, with the call record on: these tests read it
    void TearDown() override;  // closes control handles still open, then the devices

    // Plugs a camera, discovers it and opens its device (mask 7) into device_.
    void plugCamera(const vcam::CameraConfig& config = camera(1));
    // U3V_OpenControl on device_ (the status must be `expected`); the call record and
    // the log capture are cleared afterwards. The handle is closed at the end of the test.
    void* openControl(uint16_t expected = U3V_OK);
    uint16_t closeControl(void* control);
    // Closes control at the end of the test (for handles opened by the test itself).
    void adoptControl(void* control);

    void poke(uint64_t address, const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> peek(uint64_t address, size_t length);
    void pokeLe64(uint64_t address, uint64_t value);

    // A manifest table with one entry at tableAddress, which 0x01D0 is set to point at.
    void plantManifest(uint64_t tableAddress, uint64_t count, uint64_t fileAddress,
                       uint64_t fileSize, bool zipped);

    // A scratch directory of this test, removed at the end.
    std::filesystem::path scratch();
    static std::vector<uint8_t> readFile(const std::filesystem::path& path);
    static void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

    int camera_ = 0;
    void* device_ = nullptr;

private:
    std::vector<void*> controls_;
    std::filesystem::path scratch_;
};

}  // namespace testsupport
