// The feature engine on the virtual camera through the library, in this process, so that
// the bus traffic shows what a refused write leaves out.
#include <gtest/gtest.h>

#include "ToolCommon.h"
#include "ToolRunner.h"
#include "support/ControlTestSupport.h"

namespace {

constexpr uint16_t kWriteMem = 0x0802;

std::vector<testsupport::SentCommand> writesSent() {
    std::vector<testsupport::SentCommand> writes;
    for (const testsupport::SentCommand& c : testsupport::sentCommands())
        if (c.commandId == kWriteMem) writes.push_back(c);
    return writes;
}

class FeatureOnCameraTest : public ::testing::Test {
protected:
    void SetUp() override {
        id_ = tooltest::buildWorld({tooltest::camera(1)})[0];
        camera_ = std::make_unique<tool::Camera>("", false);
        port_ = std::make_unique<tool::CameraPort>(*camera_);
        map_ = genicam::NodeMap::parse(camera_->descriptionFile(), *port_);
        vcam::setCallRecord(true);
        vcam::clearCalls();
    }
    void TearDown() override { vcam::setCallRecord(false); }

    int id_ = 0;
    std::unique_ptr<tool::Camera> camera_;
    std::unique_ptr<tool::CameraPort> port_;
    std::unique_ptr<genicam::NodeMap> map_;
};

TEST_F(FeatureOnCameraTest, RefusedWritesSendNothing) {
    const std::pair<std::string, std::string> refused[] = {
        {"Width", "9000"}, {"Width", "0"}, {"PayloadSize", "1"}, {"PixelFormat", "Mono16"},
        {"ExposureTime", "1e10"}, {"DeviceSerialNumber", "x"}, {"DeviceUserID", std::string(65, 'x')},
    };
    for (const auto& [name, value] : refused)
        EXPECT_THROW(map_->node(name).setText(value), genicam::Error) << name << "=" << value;
    EXPECT_TRUE(writesSent().empty());
    EXPECT_EQ(tooltest::peek32(id_, 0x50000), 640u);
    EXPECT_EQ(map_->node("Width").intValue(), 640);
    EXPECT_FALSE(testsupport::sentCommands().empty());  // the record does see traffic
}

TEST_F(FeatureOnCameraTest, WritesAndCommandsReachTheRegisters) {
    map_->node("Width").setText("1024");
    map_->node("ExposureTime").setFloat(2500.4);
    map_->node("TriggerSource").setString("Line0");
    map_->node("AcquisitionStop").execute();
    const auto writes = writesSent();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0].address, 0x50000u);
    EXPECT_EQ(writes[0].data, (std::vector<uint8_t>{0x00, 0x04, 0x00, 0x00}));
    EXPECT_EQ(writes[1].address, 0x50058u);
    EXPECT_EQ(writes[1].data, (std::vector<uint8_t>{0xC4, 0x09, 0x00, 0x00}));  // 2500
    EXPECT_EQ(writes[2].address, 0x40144u);
    EXPECT_EQ(writes[2].data, (std::vector<uint8_t>{0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(writes[3].address, 0x40028u);
    EXPECT_EQ(writes[3].data, (std::vector<uint8_t>{0x01, 0x00, 0x00, 0x00}));
    EXPECT_TRUE(map_->node("AcquisitionStop").isDone());  // the camera clears the bit
}

TEST_F(FeatureOnCameraTest, ValuesAreReadLiveFromTheCamera) {
    const uint32_t gain = 17;
    ASSERT_TRUE(vcam::poke(id_, 0x50064, &gain, 4));
    EXPECT_EQ(map_->node("Gain").valueText(), "17 dB");
    const uint32_t mode = 9;  // no entry has this value
    ASSERT_TRUE(vcam::poke(id_, 0x40004, &mode, 4));
    EXPECT_THROW(map_->node("AcquisitionMode").stringValue(), genicam::Error);
}

}  // namespace
