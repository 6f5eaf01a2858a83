// The camera object, the firmware transfer and the waits of brannock, in-process on the
// real library (bound by name as the program does) and the virtual camera, read back from
// the recorded USB calls.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Acquisition/AcquisitionUSB3.h"
#include "CallRecordSwitch.h"
#include "ConsoleCapture.h"
#include "brannock.h"
#include "support/ControlTestSupport.h"
#include "support/VcamTest.h"

namespace fs = std::filesystem;
using testsupport::SentCommand;
using testsupport::sentCommands;

namespace {

constexpr uint16_t kWriteMem = 0x0802;

std::vector<SentCommand> writesTo(uint64_t address) {
    std::vector<SentCommand> out;
    for (const SentCommand& c : sentCommands())
        if (c.commandId == kWriteMem && c.address == address) out.push_back(c);
    return out;
}

vcam::ControlFault fault(vcam::ControlFaultKind kind, std::optional<uint64_t> address, int count,
                         uint16_t status = 0) {
    vcam::ControlFault f;
    f.kind = kind;
    f.address = address;
    f.count = count;
    f.status = status;
    return f;
}

// Write commands into the download window, in order (the library's own writes, such as
// the one that opens the control channel, left out).
std::vector<SentCommand> windowWrites() {
    std::vector<SentCommand> out;
    for (const SentCommand& c : sentCommands())
        if (c.commandId == kWriteMem && c.address >= FW_SIZE_REG) out.push_back(c);
    return out;
}

int thrownBy(const std::function<void()>& make) {
    try {
        make();
    } catch (int code) {
        return code;
    }
    return 12345;
}

class ToolCameraTest : public testsupport::VcamTest {
protected:
    void SetUp() override {
        VcamTest::SetUp();
        recordUsbCalls();
        dir = fs::temp_directory_path() / ("brannock-tool-" + std::to_string(getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        fs::remove_all(dir);
        VcamTest::TearDown();
    }
    std::string printed() const { return console.printed(); }
    String file(const char* name, const std::vector<uint8_t>& bytes) const {
        std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                         static_cast<std::streamsize>(bytes.size()));
        return String((dir / name).c_str());
    }
    static std::vector<uint8_t> pattern(size_t n) {
        std::vector<uint8_t> bytes(n);
        for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
        return bytes;
    }

    ConsoleCapture console;
    fs::path dir;
};

TEST_F(ToolCameraTest, OpeningConstructorTakesTheFirstCameraFound) {
    addCameras(2);
    AcquisitionUSB3 camera;
    EXPECT_STREQ(camera.getDeviceGUID(), guidOf(1).c_str());
    EXPECT_STREQ(camera.getModelName(), "VCam-1");
    EXPECT_STREQ(camera.getSerialNumber(), "00000001");
    EXPECT_STREQ(camera.getExtraInfo(), "n.a.");
    EXPECT_NE(camera.controlHandle, nullptr);
}

TEST_F(ToolCameraTest, NoCameraThrowsMinusTwoAndCountsZero) {
    EXPECT_EQ(thrownBy([] { AcquisitionUSB3 camera; }), -2);
    uint16_t count = 7;
    AcquisitionUSB3 counter(&count);
    EXPECT_EQ(count, 0);
}

TEST_F(ToolCameraTest, CountingObjectOpensAndClosesNothing) {
    addCameras(2);
    uint16_t count = 0;
    auto counter = std::make_unique<AcquisitionUSB3>(&count);
    EXPECT_EQ(count, 2);
    const size_t before = vcam::calls().size();
    counter.reset();
    EXPECT_EQ(vcam::calls().size(), before);
}

TEST_F(ToolCameraTest, FailedControlOpenClosesTheDeviceItOpened) {
    vcam::CameraConfig held = camera(1);
    held.controlHeldElsewhere = true;
    addCamera(held);
    vcam::clearCalls();
    EXPECT_EQ(thrownBy([] { AcquisitionUSB3 camera; }), -5);
    EXPECT_EQ(testsupport::callsOf("libusb_open").size(), testsupport::callsOf("libusb_close").size());
}

TEST_F(ToolCameraTest, RegistersTravelLittleEndian) {
    const int id = addCamera();
    AcquisitionUSB3 camera;
    vcam::clearCalls();
    camera.writereg(FW_START_REG, FW_START_MAGIC);
    const auto starts = writesTo(FW_START_REG);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].data, (std::vector<uint8_t>{0xFE, 0xAF, 0x00, 0x00}));

    const uint8_t gain[4] = {0x78, 0x56, 0x34, 0x12};
    ASSERT_TRUE(vcam::poke(id, 0x50064, gain, 4));
    int32_t value = 0;
    EXPECT_EQ(camera.readreg(0x50064, &value), 0);
    EXPECT_EQ(value, 0x12345678);
    vcam::addControlFault(id, fault(vcam::ControlFaultKind::Status, std::nullopt, 1, 0x8003));
    value = 5;
    EXPECT_EQ(camera.readreg(0x50064, &value), 1);
    EXPECT_EQ(value, 5);
}

// open_stream keeps the device and control handles the opening constructor made; a stream
// left open is closed with the object, and every USB handle opened is closed again.
TEST_F(ToolCameraTest, OpenStreamReusesTheOpenHandles) {
    addCamera();
    vcam::clearCalls();
    {
        AcquisitionUSB3 camera;
        void* const device = camera.deviceHandle;
        void* const control = camera.controlHandle;
        camera.open_stream();
        EXPECT_EQ(camera.deviceHandle, device);
        EXPECT_EQ(camera.controlHandle, control);
        EXPECT_NE(camera.streamHandle, nullptr);
        EXPECT_EQ(camera.getImage(), nullptr);  // this camera sends no images
    }
    EXPECT_EQ(testsupport::callsOf("libusb_open").size(), testsupport::callsOf("libusb_close").size());
    // Every interface claimed is released again (closing the control channel also releases
    // the event interface, which nobody claimed here).
    std::map<int, int> held;
    for (const vcam::UsbCall& call : vcam::calls()) {
        if (call.function == "libusb_claim_interface" && call.result == 0) ++held[call.interface];
        if (call.function == "libusb_release_interface" && call.result == 0) --held[call.interface];
    }
    for (const auto& [interface, count] : held) EXPECT_EQ(count, 0) << "interface " << interface;
}

// A file of 1001 bytes: announced and written as 1004, in pieces of 256 from the window's
// base, zero-padded, between the length and the start command.
TEST_F(ToolCameraTest, TransferPadsAndWritesAscendingPieces) {
    addCamera();
    const std::vector<uint8_t> bytes = pattern(1001);
    const String name = file("VCam-1_odd.bin", bytes);
    vcam::clearCalls();
    CameraIdentity camera;
    ASSERT_EQ(firmware_upload(name, &camera), UploadOutcome::Started) << printed();
    EXPECT_EQ(camera.guid, guidOf(1));
    EXPECT_EQ(camera.model, "VCam-1");
    EXPECT_EQ(camera.version, "1.0.0");
    EXPECT_EQ(printed(), "Upload 1004 bytes to camera ...\n\rUploading 0% \rUploading 1% \rUploading 2% "
                         "\rUploading 3% \rUploading 100% \n");

    const std::vector<SentCommand> writes = windowWrites();
    ASSERT_EQ(writes.size(), 6u);
    EXPECT_EQ(writes[0].address, FW_SIZE_REG);
    EXPECT_EQ(writes[0].data, (std::vector<uint8_t>{0xEC, 0x03, 0x00, 0x00}));  // 1004
    std::vector<uint8_t> sent;
    const uint32_t sizes[] = {256, 256, 256, 236};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(writes[1 + i].address, FW_DATA_BASE + 256u * i);
        EXPECT_EQ(writes[1 + i].data.size(), sizes[i]);
        sent.insert(sent.end(), writes[1 + i].data.begin(), writes[1 + i].data.end());
    }
    std::vector<uint8_t> padded = bytes;
    padded.resize(1004, 0);
    EXPECT_EQ(sent, padded);
    EXPECT_EQ(writes[5].address, FW_START_REG);
    EXPECT_EQ(writes[5].data, (std::vector<uint8_t>{0xFE, 0xAF, 0x00, 0x00}));
}

TEST_F(ToolCameraTest, ProgressShowsEachValueOnceForLargeImages) {
    addCamera();
    const String name = file("VCam-1_big.bin", pattern(25600));
    ASSERT_EQ(firmware_upload(name), UploadOutcome::Started);
    std::string expected = "Upload 25600 bytes to camera ...\n";
    for (int i = 0; i < 100; ++i) expected += "\rUploading " + std::to_string(i) + "% ";
    expected += "\rUploading 100% \n";
    EXPECT_EQ(printed(), expected);
    EXPECT_EQ(writesTo(FW_DATA_BASE + 25344).size(), 1u);
}

// An empty image would have the camera flash nothing: refused before the camera is opened,
// as are names that are no regular file.
TEST_F(ToolCameraTest, EmptyOrIrregularFilesAreRefusedBeforeTheCameraIsOpened) {
    addCamera();
    const String empty = file("VCam-1_empty.bin", {});
    fs::create_directories(dir / "VCam-1_dir.bin");
    vcam::clearCalls();
    EXPECT_EQ(firmware_upload(empty), UploadOutcome::Refused);
    EXPECT_EQ(firmware_upload(String((dir / "VCam-1_dir.bin").c_str())), UploadOutcome::Refused);
    EXPECT_EQ(printed(), std::string(empty.c_str()) + " is empty; nothing was sent to the camera.\n" +
                             (dir / "VCam-1_dir.bin").string() + " is not a regular file; nothing was sent to the camera.\n");
    EXPECT_TRUE(vcam::calls().empty());
}

// The transfer opens the first camera again; when that is no longer the camera the image
// was chosen for, nothing is written to it.
TEST_F(ToolCameraTest, TransferRefusesACameraOtherThanTheChosenOne) {
    addCameras(2);
    const String name = file("VCam-1_x.bin", pattern(64));
    vcam::clearCalls();
    EXPECT_EQ(firmware_upload(name, nullptr, guidOf(2)), UploadOutcome::Refused);
    EXPECT_EQ(printed(), "Upload 64 bytes to camera ...\nThe first camera is now " + guidOf(1) + ", not " + guidOf(2) +
                             " for which the image was chosen; nothing was sent.\n");
    EXPECT_TRUE(windowWrites().empty());
    EXPECT_EQ(firmware_upload(name, nullptr, guidOf(1)), UploadOutcome::Started);
}

TEST_F(ToolCameraTest, FailedPieceStopsBeforeTheStartCommand) {
    const int id = addCamera();
    vcam::addControlFault(id, fault(vcam::ControlFaultKind::Status, FW_DATA_BASE + 256, -1, 0x8006));
    const String name = file("VCam-1_x.bin", pattern(1000));
    vcam::clearCalls();
    EXPECT_EQ(firmware_upload(name), UploadOutcome::NotSent);
    EXPECT_EQ(printed(), "Upload 1000 bytes to camera ...\n\rUploading 0% \n"
                         "Writing 256 bytes at 0x7F000100 failed (status 0x8006); "
                         "the camera was not told to flash.\n");
    EXPECT_EQ(writesTo(FW_DATA_BASE + 256).size(), size_t(FW_WRITE_ATTEMPTS));
    EXPECT_TRUE(writesTo(FW_DATA_BASE + 512).empty());
    EXPECT_TRUE(writesTo(FW_START_REG).empty());
    // The camera object was closed all the same.
    EXPECT_EQ(testsupport::callsOf("libusb_open").size(), testsupport::callsOf("libusb_close").size());
}

TEST_F(ToolCameraTest, OneLostAnswerIsRetried) {
    const int id = addCamera();
    vcam::addControlFault(id, fault(vcam::ControlFaultKind::NoAck, FW_DATA_BASE + 512, 1));
    vcam::addControlFault(id, fault(vcam::ControlFaultKind::Status, FW_SIZE_REG, 1, 0x8006));
    const String name = file("VCam-1_x.bin", pattern(1000));
    vcam::clearCalls();
    EXPECT_EQ(firmware_upload(name), UploadOutcome::Started) << printed();
    EXPECT_EQ(writesTo(FW_SIZE_REG).size(), 2u);
    EXPECT_EQ(writesTo(FW_DATA_BASE + 512).size(), 2u);
    EXPECT_EQ(writesTo(FW_START_REG).size(), 1u);
}

TEST_F(ToolCameraTest, FailedLengthWriteSendsNoData) {
    const int id = addCamera();
    vcam::addControlFault(id, fault(vcam::ControlFaultKind::Status, FW_SIZE_REG, -1, 0x8002));
    const String name = file("VCam-1_x.bin", pattern(64));
    vcam::clearCalls();
    EXPECT_EQ(firmware_upload(name), UploadOutcome::NotSent);
    EXPECT_EQ(printed(), "Upload 64 bytes to camera ...\n"
                         "Writing the image length to the camera failed; the camera was not told to flash.\n");
    EXPECT_TRUE(writesTo(FW_DATA_BASE).empty());
    EXPECT_TRUE(writesTo(FW_START_REG).empty());
}

TEST_F(ToolCameraTest, OversizedFileIsRefusedBeforeTheCameraIsOpened) {
    addCamera();
    const fs::path big = dir / "VCam-1_huge.bin";
    { std::ofstream(big, std::ios::binary) << ""; }
    std::error_code error;
    fs::resize_file(big, uintmax_t{0x81000001}, error);
    if (error) GTEST_SKIP() << "no sparse file here: " << error.message();
    vcam::clearCalls();
    EXPECT_EQ(firmware_upload(String(big.c_str())), UploadOutcome::NotSent);
    EXPECT_EQ(printed(), big.string() + " is too large for the camera's download window "
                                        "(at most 2164260864 bytes); nothing was sent.\n");
    EXPECT_TRUE(vcam::calls().empty());
}

TEST_F(ToolCameraTest, DepartureFollowsTheUpdatedCameraOnly) {
    const auto ids = addCameras(2);
    const WaitBounds quick{std::chrono::seconds(20), std::chrono::seconds(20), std::chrono::milliseconds(10)};
    std::thread away([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        vcam::unplug(ids[0]);
    });
    std::vector<std::string> others;
    EXPECT_TRUE(wait_for_departure(guidOf(1), quick, &others));
    away.join();
    EXPECT_EQ(others, std::vector<std::string>{guidOf(2)});

    // The other camera being there does not end the reboot wait; ours coming back does.
    std::thread back([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        vcam::replug(ids[0]);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(wait_for_device(guidOf(1), others, quick));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    back.join();
}

TEST_F(ToolCameraTest, WaitsEndAtTheirBound) {
    const auto ids = addCameras(1);
    const WaitBounds brief{std::chrono::milliseconds(300), std::chrono::milliseconds(300),
                           std::chrono::milliseconds(20)};
    EXPECT_FALSE(wait_for_departure(guidOf(1), brief));
    vcam::unplug(ids[0]);
    EXPECT_FALSE(wait_for_device(guidOf(1), {}, brief));
    // A camera that comes back under another identity (a boot loader) ends the wait.
    addCamera(camera(9));
    EXPECT_TRUE(wait_for_device(guidOf(1), {}, brief));
}

}  // namespace
