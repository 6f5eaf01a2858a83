// Discovery on cameras that send malformed configuration descriptors or over-long
// strings: never a read outside what arrived, strings always terminated in their fields.
#include <cstring>
#include <functional>
#include <random>

#include "support/UsbProbe.h"
#include "support/VcamTest.h"

using namespace testsupport;

namespace {

using Bytes = std::vector<uint8_t>;

class CoreDescriptorTest : public VcamTest {
protected:
    void SetUp() override {
        VcamTest::SetUp();
        addCamera();
        regular_ = readWireConfiguration();
        ASSERT_FALSE(regular_.empty());
        info_ = findDescriptor(regular_, 0x24);
        event_ = findDescriptor(regular_, 4, 1);
        ASSERT_GT(info_, 0);
        ASSERT_GT(event_, info_) << "event interface follows the control interface";
        vcam::reset();
    }

    // Plugs in a camera whose GET_DESCRIPTOR(configuration) answers `wire`, discovers, and
    // returns the count. Every string of every listed device must end inside its field.
    uint16_t discoverWith(const Bytes& wire) {
        vcam::CameraConfig config = camera(1);
        config.wireConfigDescriptor = wire;
        addCamera(config);
        const uint16_t count = discover();
        for (uint16_t n = 1; n <= count; ++n) expectTerminated(deviceInfo(n));
        return count;
    }

    static void expectTerminated(const U3V_DEVICE_INFO& info) {
        EXPECT_LT(strnlen(info.DeviceGUID, sizeof info.DeviceGUID), sizeof info.DeviceGUID);
        for (const char* field : {info.VendorName, info.ModelName, info.FamilyName,
                                  info.DeviceVersion, info.ManufacturerInfo, info.SerialNumber,
                                  info.UserDefinedName})
            EXPECT_LT(strnlen(field, 64), 64u);
    }

    // The open messages of the listed camera: tells which interfaces the walk found.
    std::vector<std::string> openTexts() {
        LogCapture::clear();
        EXPECT_EQ(closeDevice(openDevice(guidOf(1), U3V_LOG_INFO)), U3V_OK);
        return LogCapture::texts();
    }

    Bytes regular_;
    int info_ = -1, event_ = -1;
};

TEST_F(CoreDescriptorTest, RegularBytesListTheCamera) {
    EXPECT_EQ(discoverWith(regular_), 1);
    const std::vector<std::string> texts = openTexts();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[1].rfind("Event interface available.", 0), 0u);
}

// Cuts and broken lengths after the device info descriptor: the camera is still listed,
// with what the walk met before the break.
TEST_F(CoreDescriptorTest, BreakAfterDeviceInfoKeepsTheCamera) {
    const size_t event = static_cast<size_t>(event_);
    const std::vector<std::pair<const char*, std::function<void(Bytes&)>>> cases = {
        {"truncated inside the event interface", [&](Bytes& b) { b.resize(event + 4); }},
        {"zero length", [&](Bytes& b) { b[event] = 0; }},
        {"length 1", [&](Bytes& b) { b[event] = 1; }},
        {"length past the end", [&](Bytes& b) { b[event] = 0xFF; }},
    };
    for (const auto& [name, mutate] : cases) {
        SCOPED_TRACE(name);
        vcam::reset();
        Bytes wire = regular_;
        mutate(wire);
        ASSERT_EQ(discoverWith(wire), 1);
        const std::vector<std::string> texts = openTexts();
        ASSERT_EQ(texts.size(), 4u);
        EXPECT_EQ(texts[1], "No Device Event Interface available.");
        EXPECT_EQ(texts[2], "No Device Stream Interface available.");
    }
}

// Without a usable device info descriptor the control interface has no GUID: not listed,
// and the scan goes on to the next camera.
TEST_F(CoreDescriptorTest, NoUsableDeviceInfoSkipsTheCamera) {
    const size_t info = static_cast<size_t>(info_);
    const uint8_t infoLength = regular_[info];
    const std::vector<std::pair<const char*, std::function<void(Bytes&)>>> cases = {
        {"truncated before the device info", [&](Bytes& b) { b.resize(info + 10); }},
        {"empty answer", [&](Bytes& b) { b.clear(); }},
        {"zero length first descriptor", [&](Bytes& b) { b[0] = 0; }},
        {"device info length past the end", [&](Bytes& b) { b[info] = 0xFF; }},
        {"device info removed",
         [&](Bytes& b) { b.erase(b.begin() + info, b.begin() + info + infoLength); }},
        {"device info of 12 bytes",
         [&](Bytes& b) {
             b.erase(b.begin() + info + 12, b.begin() + info + infoLength);
             b[info] = 12;
         }},
    };
    for (const auto& [name, mutate] : cases) {
        SCOPED_TRACE(name);
        vcam::reset();
        SyslogCapture::clear();
        Bytes wire = regular_;
        mutate(wire);
        vcam::CameraConfig broken = camera(1);
        broken.wireConfigDescriptor = wire;
        addCamera(broken);
        addCamera(camera(2));
        ASSERT_EQ(discover(), 1);
        EXPECT_STREQ(deviceInfo(1).DeviceGUID, guidOf(2).c_str());
        bool traced = false;
        for (const std::string& line : SyslogCapture::texts())
            traced |= line.find("without device info descriptor") != std::string::npos;
        EXPECT_TRUE(traced);
    }

    vcam::reset();
    vcam::CameraConfig noInfo = camera(1);
    noInfo.discoveryFault = vcam::DiscoveryFault::NoDeviceInfo;
    addCamera(noInfo);
    EXPECT_EQ(discover(), 0);
}

// Short interface and endpoint descriptors are stepped over, not parsed.
TEST_F(CoreDescriptorTest, ShortInterfaceAndEndpointAreSkipped) {
    const size_t event = static_cast<size_t>(event_);
    Bytes wire = regular_;
    wire[event] = 5;  // the event interface shrinks to 5 bytes; its last 4 become garbage
    wire[event + 5] = 4;
    wire[event + 6] = 0x05;  // a 4-byte "endpoint"
    EXPECT_EQ(discoverWith(wire), 1);
    const std::vector<std::string> texts = openTexts();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[1], "No Device Event Interface available.");

    // Whatever the wire total length field claims, the walk covers what arrived.
    vcam::reset();
    wire = regular_;
    wire[2] = 0xFF;
    wire[3] = 0xFF;
    EXPECT_EQ(discoverWith(wire), 1);
}

TEST_F(CoreDescriptorTest, LongStringsAreCutAndTerminated) {
    vcam::CameraConfig config = camera(1);
    const std::string longest(126, 'x');  // a string descriptor's limit
    config.identity.guid = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    config.identity.vendor = longest;
    config.identity.model = std::string(63, 'm');
    config.identity.family = std::string(64, 'f');
    config.identity.deviceVersion = longest;
    config.identity.manufacturerInfo = longest;
    config.identity.serialNumber = longest;
    config.identity.userDefinedName = longest;
    addCamera(config);
    ASSERT_EQ(discover(), 1);

    const U3V_DEVICE_INFO info = deviceInfo(1);
    expectTerminated(info);
    EXPECT_STREQ(info.DeviceGUID, "ABCDEFGHIJKL");
    EXPECT_EQ(std::string(info.VendorName), std::string(63, 'x'));
    EXPECT_EQ(std::string(info.ModelName), std::string(63, 'm'));
    EXPECT_EQ(std::string(info.FamilyName), std::string(63, 'f'));
    EXPECT_EQ(std::string(info.UserDefinedName), std::string(63, 'x'));

    // The cut GUID is the key.
    EXPECT_EQ(closeDevice(openDevice("ABCDEFGHIJKL")), U3V_OK);
}

// Whatever a camera answers, discovery reads only what arrived and leaves every listed
// device usable: a few hundred mutations of the regular bytes (flipped bytes, lying
// length bytes, cuts), the same ones every run.
TEST_F(CoreDescriptorTest, MutatedConfigurationsNeverBreakDiscovery) {
    std::mt19937 random(20261207);
    auto below = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
    for (int round = 0; round < 300; ++round) {
        Bytes wire = regular_;
        for (size_t edits = 1 + below(4); edits > 0; --edits) {
            switch (below(3)) {
                case 0: wire[below(wire.size())] = static_cast<uint8_t>(below(256)); break;
                case 1: wire[below(wire.size())] = static_cast<uint8_t>(below(3)); break;
                default: wire.resize(1 + below(wire.size())); break;
            }
        }
        SCOPED_TRACE(testing::Message() << "round " << round);
        vcam::reset();
        vcam::CameraConfig config = camera(1);
        config.wireConfigDescriptor = wire;
        addCamera(config);
        uint16_t status = 0;
        const uint16_t count = discover(&status);
        // A mutated string index may name a string the camera does not have.
        ASSERT_TRUE(status == U3V_OK || status == U3V_ERR_STRING_DESCRIPTOR) << std::hex << status;
        if (status != U3V_OK) continue;
        ASSERT_LE(count, 1);
        if (count == 1) {
            const U3V_DEVICE_INFO info = deviceInfo(1);
            expectTerminated(info);
            void* device = nullptr;
            ASSERT_EQ(U3V_OpenDevice(info.DeviceGUID, &device, nullptr, 0), U3V_OK);
            EXPECT_EQ(U3V_CloseDevice(device), U3V_OK);
        }
    }
}

}  // namespace
