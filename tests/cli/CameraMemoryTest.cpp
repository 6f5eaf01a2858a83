// Camera memory in pieces, as the tools and the Python module reach it: the firmware window
// is large and writable, so long accesses and one that runs off its end can be seen on the bus.
#include <gtest/gtest.h>

#include <algorithm>

#include "CameraMemory.h"
#include "ToolCommon.h"
#include "ToolRunner.h"
#include "support/ControlTestSupport.h"
#include "vcam/vcam.h"

namespace {

constexpr uint16_t kReadMem = 0x0800, kWriteMem = 0x0802;
constexpr uint64_t kWindow = vcam::kFirmwareData;
const uint64_t kWindowEnd = kWindow + vcam::CameraConfig{}.firmwareWindowSize;

// Whether the commands cover [from, from + length) in order, and which addresses begin one.
bool covers(const std::vector<testsupport::SentCommand>& commands, uint64_t from, size_t length, bool reads,
            std::vector<uint64_t>& starts) {
    uint64_t next = from;
    for (const auto& c : commands) {
        if (c.address != next) return false;
        starts.push_back(c.address);
        next += reads ? c.readLength : c.data.size();
    }
    return next == from + length;
}

bool startsAt(const std::vector<uint64_t>& starts, uint64_t address) {
    return std::find(starts.begin(), starts.end(), address) != starts.end();
}

std::vector<testsupport::SentCommand> sent(uint16_t command) {
    std::vector<testsupport::SentCommand> out;
    for (const testsupport::SentCommand& c : testsupport::sentCommands())
        if (c.commandId == command) out.push_back(c);
    return out;
}

class CameraMemoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        tooltest::buildWorld({tooltest::camera(1)});
        camera_ = std::make_unique<tool::Camera>("", false);
        vcam::setCallRecord(true);
        vcam::clearCalls();
    }
    void TearDown() override { vcam::setCallRecord(false); }
    void* control() const { return camera_->control(); }

    std::unique_ptr<tool::Camera> camera_;
};

TEST_F(CameraMemoryTest, LongAccessesGoInConsecutivePiecesAndRoundTrip) {
    std::vector<uint8_t> data(2 * tool::kMemoryPiece + 5);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
    std::string failed;
    ASSERT_EQ(tool::writeMemory(control(), kWindow, data.data(), data.size(), failed), U3V_OK) << failed;
    // The library cuts each call into packets of its own; every piece still begins one.
    std::vector<uint64_t> starts;
    EXPECT_TRUE(covers(sent(kWriteMem), kWindow, data.size(), false, starts));
    EXPECT_TRUE(startsAt(starts, kWindow + tool::kMemoryPiece));
    EXPECT_TRUE(startsAt(starts, kWindow + 2 * tool::kMemoryPiece));

    std::vector<uint8_t> back(data.size());
    ASSERT_EQ(tool::readMemory(control(), kWindow, back.data(), back.size(), failed), U3V_OK) << failed;
    EXPECT_EQ(back, data);
    starts.clear();
    EXPECT_TRUE(covers(sent(kReadMem), kWindow, data.size(), true, starts));
    EXPECT_TRUE(startsAt(starts, kWindow + 2 * tool::kMemoryPiece));

    // Nothing at all is nothing on the bus.
    vcam::clearCalls();
    EXPECT_EQ(tool::readMemory(control(), kWindow, back.data(), 0, failed), U3V_OK);
    EXPECT_TRUE(sent(kReadMem).empty());
}

TEST_F(CameraMemoryTest, TheFailingPieceIsNamedAndNothingFollowsIt) {
    // Three pieces from one piece before the window's end: the second one is past it.
    const uint64_t at = kWindowEnd - tool::kMemoryPiece;
    std::vector<uint8_t> data(2 * tool::kMemoryPiece + 16, 0xA5);
    std::string failed;
    EXPECT_EQ(tool::readMemory(control(), at, data.data(), data.size(), failed), 0x8003);
    EXPECT_EQ(failed, "reading 32768 bytes at 0x80000000 failed");
    // The first piece, then the refused one: no read starts past it.
    for (const auto& c : sent(kReadMem)) EXPECT_LE(c.address, kWindowEnd);
    // The part after the first piece is left as it was.
    EXPECT_EQ(data.back(), 0xA5);
    EXPECT_EQ(data[tool::kMemoryPiece], 0xA5);

    // A write whose first piece runs off the end: the second is never sent.
    vcam::clearCalls();
    failed.clear();
    EXPECT_EQ(tool::writeMemory(control(), kWindowEnd - 16, data.data(), data.size(), failed), 0x8003);
    EXPECT_EQ(failed, "writing 32768 bytes at 0x7FFFFFF0 failed");
    EXPECT_FALSE(sent(kWriteMem).empty());
    for (const auto& c : sent(kWriteMem)) EXPECT_LT(c.address, kWindowEnd);
}

TEST_F(CameraMemoryTest, ToolMessagesCarryTheStatus) {
    uint8_t b[4] = {};
    try {
        camera_->read(kWindowEnd, b, sizeof b);
        FAIL() << "a read past the window succeeded";
    } catch (const tool::Failure& e) {
        EXPECT_EQ(std::string(e.what()).rfind("reading 4 bytes at 0x80000000 failed: 0x8003", 0), 0u) << e.what();
    }
}

}  // namespace
