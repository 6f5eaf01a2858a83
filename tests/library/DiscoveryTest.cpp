// Discovery and device information through the real library on the virtual camera.
#include <cstdio>
#include <cstring>

#include "support/UsbProbe.h"
#include "support/VcamTest.h"

using namespace testsupport;

namespace {

class DiscoveryTest : public VcamTest {};

TEST_F(DiscoveryTest, ListsCamerasOnlyInBusOrder) {
    EXPECT_EQ(discover(), 0) << "empty bus";

    vcam::addDevice();  // a mouse, not a camera
    EXPECT_EQ(discover(), 0) << "non-camera device only";

    addCamera(camera(1));
    vcam::addDevice();
    addCamera(camera(2));
    ASSERT_EQ(discover(), 2);

    for (uint16_t n = 1; n <= 2; ++n) {
        const U3V_DEVICE_INFO info = deviceInfo(n);
        const vcam::Identity id = camera(n).identity;
        EXPECT_STREQ(info.DeviceGUID, id.guid.c_str());
        EXPECT_STREQ(info.VendorName, id.vendor.c_str());
        EXPECT_STREQ(info.ModelName, id.model.c_str());
        EXPECT_STREQ(info.FamilyName, id.family.c_str());
        EXPECT_STREQ(info.DeviceVersion, id.deviceVersion.c_str());
        EXPECT_STREQ(info.ManufacturerInfo, id.manufacturerInfo.c_str());
        EXPECT_STREQ(info.SerialNumber, id.serialNumber.c_str());
        EXPECT_STREQ(info.UserDefinedName, id.userDefinedName.c_str());
        EXPECT_EQ(info.InUse, 0);
    }
}

// Versions and speed support come from fixed offsets of the device info descriptor:
// compare with the bytes the camera really sends. Without a user-defined name its string
// index (the byte before the speed support) is 0, so the two cannot be confused.
TEST_F(DiscoveryTest, VersionsAndSpeedMatchTheDeviceInfoDescriptor) {
    vcam::CameraConfig config = camera(1);
    config.identity.userDefinedName = "";
    addCamera(config);
    const std::vector<uint8_t> wire = readWireConfiguration();
    const int at = findDescriptor(wire, 0x24);
    ASSERT_GE(at, 0);
    ASSERT_GE(wire.size(), static_cast<size_t>(at) + 20);
    const uint8_t* d = wire.data() + at;
    const auto le32 = [](const uint8_t* p) {
        return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    };

    ASSERT_EQ(discover(), 1);
    const U3V_DEVICE_INFO info = deviceInfo(1);
    EXPECT_EQ(info.GenCPVersion, le32(d + 3));
    EXPECT_EQ(info.U3VVersion, le32(d + 7));
    ASSERT_NE(d[18], d[19]);
    EXPECT_EQ(info.SpeedSupport, d[19]);
}

// Webcams carry the same device class triple as cameras, and their device nodes are often
// not open to the user: only devices with a USB3 Vision control interface are opened.
TEST_F(DiscoveryTest, DevicesWithoutAControlInterfaceAreNotOpened) {
    vcam::DeviceConfig webcam;
    webcam.deviceClass = 0xEF;
    webcam.deviceSubClass = 0x02;
    webcam.deviceProtocol = 0x01;
    webcam.interfaceClass = 0x0E;  // video
    webcam.openFails = true;
    const int webcamId = vcam::addDevice(webcam);
    addCamera(camera(1));
    vcam::clearCalls();

    ASSERT_EQ(discover(), 1);
    EXPECT_STREQ(deviceInfo(1).DeviceGUID, guidOf(1).c_str());
    for (const vcam::UsbCall& call : vcam::calls())
        EXPECT_FALSE(call.function == "libusb_open" && call.device == webcamId);
}

TEST_F(DiscoveryTest, RepeatedDiscoveryGivesEqualInformation) {
    addCamera();
    ASSERT_EQ(discover(), 1);
    const U3V_DEVICE_INFO first = deviceInfo(1);
    ASSERT_EQ(discover(), 1);
    const U3V_DEVICE_INFO second = deviceInfo(1);
    EXPECT_EQ(std::memcmp(&first, &second, sizeof first), 0);
}

TEST_F(DiscoveryTest, CameraHeldByAnotherProgramIsListedInUse) {
    vcam::CameraConfig held = camera(1);
    held.controlHeldElsewhere = true;
    addCamera(held);
    addCamera(camera(2));
    ASSERT_EQ(discover(), 2);
    EXPECT_EQ(deviceInfo(1).InUse, 1);
    EXPECT_EQ(deviceInfo(2).InUse, 0);
}

TEST_F(DiscoveryTest, AbsentUserDefinedNameIsEmpty) {
    vcam::CameraConfig config = camera(1);
    config.identity.userDefinedName = "";
    addCamera(config);
    ASSERT_EQ(discover(), 1);
    EXPECT_STREQ(deviceInfo(1).UserDefinedName, "");
}

// A camera that fails in the middle of the bus ends the scan with its status; the count
// stays that of the last complete discovery, and only the entries found before the
// failure remain reachable.
struct FaultCase {
    vcam::DiscoveryFault fault;
    uint16_t status;
};

class DiscoveryFaultTest : public VcamTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(DiscoveryFaultTest, StopsScanAndKeepsPreviousCount) {
    addCameras(2);
    ASSERT_EQ(discover(), 2);

    vcam::reset();
    addCamera(camera(1));
    vcam::CameraConfig faulty = camera(2);
    faulty.discoveryFault = GetParam().fault;
    if (GetParam().fault == vcam::DiscoveryFault::StringReadFails) {
        // Fail the GUID string, whatever index the camera gives it (same layout as camera 1).
        const std::vector<uint8_t> wire = readWireConfiguration();
        const int at = findDescriptor(wire, 0x24);
        ASSERT_GE(at, 0);
        faulty.failingStringIndex = wire[static_cast<size_t>(at) + 11];
    }
    addCamera(faulty);
    addCamera(camera(3));

    uint16_t status = 0;
    EXPECT_EQ(discover(&status), 2) << "count of the last complete discovery";
    EXPECT_EQ(status, GetParam().status);

    U3V_DEVICE_INFO info{};
    EXPECT_EQ(U3V_GetDeviceInfo(1, &info), U3V_OK);
    EXPECT_STREQ(info.DeviceGUID, guidOf(1).c_str());
    EXPECT_EQ(U3V_GetDeviceInfo(2, &info), U3V_ERR_DEVICE_NOT_FOUND)
        << "the failed scan kept one entry only";

    // A later complete scan sets the count again.
    vcam::reset();
    addCamera(camera(3));
    EXPECT_EQ(discover(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    DiscoveryFaults, DiscoveryFaultTest,
    ::testing::Values(FaultCase{vcam::DiscoveryFault::OpenFails, U3V_ERR_USB_OPEN},
                      FaultCase{vcam::DiscoveryFault::NoConfiguration, U3V_ERR_NO_CONFIGURATION},
                      FaultCase{vcam::DiscoveryFault::NoInterfaces, U3V_ERR_NO_INTERFACES},
                      FaultCase{vcam::DiscoveryFault::ConfigReadFails, U3V_ERR_CONFIG_DESCRIPTOR},
                      FaultCase{vcam::DiscoveryFault::StringReadFails, U3V_ERR_STRING_DESCRIPTOR}),
    [](const ::testing::TestParamInfo<FaultCase>& info) {
        char name[16];
        std::snprintf(name, sizeof name, "Status%04X", info.param.status);
        return std::string(name);
    });

TEST_F(DiscoveryTest, DeviceNumberOutsideTheTableIsNotFound) {
    U3V_DEVICE_INFO info;
    std::memset(&info, 0x5A, sizeof info);
    const U3V_DEVICE_INFO untouched = info;

    ASSERT_EQ(discover(), 0);
    EXPECT_EQ(U3V_GetDeviceInfo(1, &info), U3V_ERR_DEVICE_NOT_FOUND) << "empty table";

    addCameras(2);
    ASSERT_EQ(discover(), 2);
    for (uint16_t n : {0, 3, 0xFFFF})
        EXPECT_EQ(U3V_GetDeviceInfo(n, &info), U3V_ERR_DEVICE_NOT_FOUND) << n;
    EXPECT_EQ(std::memcmp(&info, &untouched, sizeof info), 0);
}

TEST_F(DiscoveryTest, NullOutputPointersAreRefused) {
    addCamera();
    EXPECT_EQ(U3V_DiscoveryDevices(nullptr), U3V_ERR_INVALID_HANDLE);
    ASSERT_EQ(discover(), 1);
    EXPECT_EQ(U3V_GetDeviceInfo(1, nullptr), U3V_ERR_INVALID_HANDLE);
}

// Every endpoint descriptor gives one trace line, ending in exactly one "\r\n", with the
// protocol of its interface.
TEST_F(DiscoveryTest, TracesEveryEndpoint) {
    addCamera();
    const std::vector<EndpointSeen> endpoints = parsedEndpoints();
    ASSERT_FALSE(endpoints.empty());
    SyslogCapture::clear();
    ASSERT_EQ(discover(), 1);

    std::vector<std::string> expected;
    for (const EndpointSeen& e : endpoints) {
        char line[128];
        std::snprintf(line, sizeof line, "Endpoint found (%d)-> %02X, %02X, max: %d\r\n",
                      e.protocol, e.address, e.attributes, e.maxPacketSize);
        expected.push_back(line);
    }
    std::vector<std::string> traced;
    for (const TraceLine& l : SyslogCapture::lines()) {
        EXPECT_EQ(l.priority & 7, 7) << "LOG_DEBUG";
        if (l.text.rfind("Endpoint found", 0) == 0) traced.push_back(l.text);
    }
    EXPECT_EQ(traced, expected);
}

}  // namespace
