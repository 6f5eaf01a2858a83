// The device log (mask, cut, trailing white space) and the log mask exports.
#include "support/VcamTest.h"

using namespace testsupport;

namespace {

class DeviceLogTest : public VcamTest {
protected:
    void SetUp() override {
        VcamTest::SetUp();
        addCamera();
        ASSERT_EQ(discover(), 1);
    }
    // Opens the camera and then an unknown GUID: four information messages, one error.
    std::vector<LogMessage> openBoth(uint8_t mask) {
        LogCapture::clear();
        openDevice(guidOf(1), mask);
        uint16_t status = 0;
        openDevice("UNKNOWN", mask, &status);
        EXPECT_EQ(status, U3V_ERR_DEVICE_NOT_FOUND);
        return LogCapture::messages();
    }
};

TEST_F(DeviceLogTest, MaskSelectsLevels) {
    EXPECT_TRUE(openBoth(0).empty()) << "mask 0 delivers nothing, not even errors";

    std::vector<LogMessage> got = openBoth(U3V_LOG_INFO | U3V_LOG_WARNING);
    ASSERT_EQ(got.size(), 4u);
    for (const LogMessage& m : got) EXPECT_EQ(m.level, U3V_LOG_INFO);

    got = openBoth(7);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got.back(), (LogMessage{U3V_LOG_ERROR, "No device found (UNKNOWN)."}));

    got = openBoth(U3V_LOG_ERROR);
    EXPECT_EQ(got, (std::vector<LogMessage>{{U3V_LOG_ERROR, "No device found (UNKNOWN)."}}));
}

TEST_F(DeviceLogTest, NoCallbackMeansNoMessage) {
    void* device = nullptr;
    EXPECT_EQ(U3V_OpenDevice("UNKNOWN", &device, nullptr, 7), U3V_ERR_DEVICE_NOT_FOUND);
    EXPECT_EQ(U3V_CloseDevice(device), U3V_OK);
    EXPECT_EQ(U3V_OpenDevice(guidOf(1).c_str(), &device, nullptr, 7), U3V_OK);
    EXPECT_EQ(U3V_CloseDevice(device), U3V_OK);
}

TEST_F(DeviceLogTest, LongTextIsCutAt511Characters) {
    const std::string guid(600, 'G');
    uint16_t status = 0;
    openDevice(guid, 7, &status);
    const std::string full = "No device found (" + guid + ").";
    ASSERT_EQ(LogCapture::messages().size(), 1u);
    EXPECT_EQ(LogCapture::texts()[0], full.substr(0, 511));
}

TEST_F(DeviceLogTest, TrailingWhiteSpaceIsRemoved) {
    // The cut at 511 falls inside the white space, which then ends the text.
    const std::string prefix = "No device found (";
    const std::string guid = std::string(511 - prefix.size() - 6, 'G') + " \t\r\n\f\v" + "  tail";
    uint16_t status = 0;
    openDevice(guid, 7, &status);
    ASSERT_EQ(LogCapture::messages().size(), 1u);
    EXPECT_EQ(LogCapture::texts()[0], prefix + std::string(511 - prefix.size() - 6, 'G'));
}

TEST_F(DeviceLogTest, DetailedLogMaskRoundTrip) {
    uint16_t status = 0;
    for (void* device : {openDevice(guidOf(1), 7), openDevice("UNKNOWN", 7, &status)}) {
        uint8_t mask = 0xAA;
        EXPECT_EQ(U3V_GetDetailedLog(device, &mask), U3V_OK);
        EXPECT_EQ(mask, 7);
        for (uint8_t value : {0x00, 0x03, 0xFF}) {
            EXPECT_EQ(U3V_SetDetailedLog(device, value), U3V_OK);
            EXPECT_EQ(U3V_GetDetailedLog(device, &mask), U3V_OK);
            EXPECT_EQ(mask, value);
        }
        EXPECT_EQ(U3V_GetDetailedLog(device, nullptr), U3V_ERR_INVALID_HANDLE);
    }

    uint8_t mask = 0xAA;
    EXPECT_EQ(U3V_SetDetailedLog(nullptr, 7), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_GetDetailedLog(nullptr, &mask), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(mask, 0xAA);
}

}  // namespace
