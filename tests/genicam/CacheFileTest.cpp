// Reading each register once within a cache scope: <Cachable>, <pInvalidator>, and what a
// write drops, counted on the port.
#include <gtest/gtest.h>

#include "CameraFile.h"

using testfile::CountingPort;

namespace {

std::string reg(const std::string& name, uint64_t address, const std::string& cachable, const std::string& extra = "") {
    return testfile::intReg(name, address, "RW",
                            (cachable.empty() ? "" : "    <Cachable>" + cachable + "</Cachable>\n") + extra);
}

const std::string kBody =
    // Width and its maximum share one register block; the maximum depends on the binning.
    "  <Integer Name=\"Width\" NameSpace=\"Standard\">\n    <ToolTip>Width of the image.</ToolTip>\n"
    "    <pValue>WidthReg</pValue>\n    <Min>16</Min>\n    <pMax>WidthMax</pMax>\n    <Inc>16</Inc>\n  </Integer>\n"
    "  <Integer Name=\"WidthMax\" NameSpace=\"Standard\"><pValue>WidthMaxReg</pValue></Integer>\n"
    "  <Integer Name=\"BinningHorizontal\" NameSpace=\"Standard\"><pValue>BinningReg</pValue>"
    "<Min>1</Min><Max>4</Max></Integer>\n"
    "  <Integer Name=\"OffsetX\" NameSpace=\"Standard\"><pValue>OffsetXReg</pValue></Integer>\n"
    "  <Integer Name=\"DeviceTemperature\" NameSpace=\"Standard\"><pValue>TemperatureReg</pValue></Integer>\n"
    "  <Integer Name=\"Gain\" NameSpace=\"Standard\"><pValue>GainReg</pValue></Integer>\n"
    "  <IntSwissKnife Name=\"WidthPlusOffset\">\n    <pVariable Name=\"W\">Width</pVariable>\n"
    "    <pVariable Name=\"O\">OffsetX</pVariable>\n    <Formula>W + O</Formula>\n  </IntSwissKnife>\n" +
    reg("WidthReg", 0x10000, "WriteThrough") +
    reg("WidthMaxReg", 0x10004, "", "    <pInvalidator>BinningHorizontal</pInvalidator>\n") +
    reg("BinningReg", 0x10008, "WriteThrough") + reg("OffsetXReg", 0x1000C, "") +
    reg("TemperatureReg", 0x10010, "NoCache") + reg("GainReg", 0x10014, "WriteAround");

class CacheFileTest : public ::testing::Test {
protected:
    CountingPort port;
    std::unique_ptr<genicam::NodeMap> map = genicam::NodeMap::parse(testfile::cameraFile(kBody), port);
    genicam::Node& node(const std::string& n) { return map->node(n); }

    void SetUp() override {
        port.set32(0x10000, 640);
        port.set32(0x10004, 1280);
        port.set32(0x10008, 1);
        port.set32(0x1000C, 32);
        port.set32(0x10010, 45);
    }
    // What a listing asks of each feature: value, limits, access.
    void listAll() {
        for (const genicam::Node* n : map->nodes()) {
            if (n->interface() != genicam::Interface::Integer) continue;
            n->access();
            n->valueText();
            n->intMin();
            n->intMax();
        }
    }
};

TEST_F(CacheFileTest, AListingReadsEachRegisterOnce) {
    listAll();
    const int uncached = port.reads;
    port.resetCounts();
    map->resetStats();
    {
        genicam::NodeMap::Cache cache(*map);
        listAll();
        listAll();
    }
    const genicam::NodeMap::Stats s = map->stats();
    EXPECT_EQ(s.distinctReads, 6u);
    // Everything but the temperature, which the file says not to keep, is read once.
    const int temperatureReads = 2 * 2;  // its own register and the Integer over it, twice
    EXPECT_EQ(port.reads, 5 + temperatureReads);
    EXPECT_EQ(s.reads, static_cast<uint64_t>(port.reads));
    EXPECT_GT(uncached, port.reads);
}

TEST_F(CacheFileTest, OutsideAScopeEveryReadIsTheCamerasOwn) {
    EXPECT_EQ(node("Width").intValue(), 640);
    port.set32(0x10000, 320);
    EXPECT_EQ(node("Width").intValue(), 320);
    genicam::NodeMap::Cache cache(*map);
    EXPECT_EQ(node("Width").intValue(), 320);
    port.set32(0x10000, 160);
    EXPECT_EQ(node("Width").intValue(), 320);  // kept within the scope
    EXPECT_EQ(node("DeviceTemperature").intValue(), 45);
    port.set32(0x10010, 46);
    EXPECT_EQ(node("DeviceTemperature").intValue(), 46);  // NoCache
}

TEST_F(CacheFileTest, WritesKeepDropOrInvalidateWhatTheyTouch) {
    genicam::NodeMap::Cache cache(*map);
    EXPECT_EQ(node("Width").intMax(), 1280);
    EXPECT_EQ(node("Gain").intValue(), 0);

    node("Width").setInt(800);  // WriteThrough: read back from the cache
    port.resetCounts();
    EXPECT_EQ(node("Width").intValue(), 800);
    EXPECT_EQ(port.reads, 0);

    node("Gain").setInt(7);  // WriteAround: the camera may have changed what it took
    port.set32(0x10014, 6);
    EXPECT_EQ(node("Gain").intValue(), 6);
    EXPECT_EQ(port.reads, 1);

    // Binning halves the maximum width: the maximum names the binning as its invalidator.
    port.set32(0x10004, 640);
    EXPECT_EQ(node("WidthMax").intValue(), 1280);  // still the kept value
    node("BinningHorizontal").setInt(2);
    EXPECT_EQ(node("WidthMax").intValue(), 640);
    EXPECT_EQ(testfile::errorOf([&] { node("Width").setInt(800); }), "Width: 800 is above the maximum 640");
}

TEST_F(CacheFileTest, AFailedWriteLeavesNothingStale) {
    class FailingWrites : public CountingPort {
    public:
        void write(uint64_t, const uint8_t*, size_t) override { throw genicam::Error("the camera refused the write"); }
    } failing;
    failing.set32(0x10000, 640);
    failing.set32(0x10004, 1280);
    auto m = genicam::NodeMap::parse(testfile::cameraFile(kBody), failing);
    genicam::NodeMap::Cache cache(*m);
    EXPECT_EQ(m->node("Width").intValue(), 640);
    EXPECT_THROW(m->node("Width").setInt(320), genicam::Error);
    failing.set32(0x10000, 336);  // what the camera holds after its refusal
    EXPECT_EQ(m->node("Width").intValue(), 336);
}

}  // namespace

namespace {

// Registers that share bytes: a write to one drops what the cache holds of the other.
TEST(CacheOverlapTest, AWriteDropsEveryKeptRegisterItTouches) {
    const std::string body =
        "  <IntReg Name=\"Low\"><Address>0x10000</Address><Length>2</Length><AccessMode>RW</AccessMode>"
        "<pPort>Device</pPort></IntReg>\n"
        "  <IntReg Name=\"High\"><Address>0x10002</Address><Length>2</Length><AccessMode>RW</AccessMode>"
        "<pPort>Device</pPort><Cachable>WriteAround</Cachable></IntReg>\n"
        "  <IntReg Name=\"Word\"><Address>0x10000</Address><Length>4</Length><AccessMode>RW</AccessMode>"
        "<pPort>Device</pPort></IntReg>\n";
    CountingPort port;
    auto map = genicam::NodeMap::parse(testfile::cameraFile(body), port);
    port.set32(0x10000, 0x00020001);
    genicam::NodeMap::Cache cache(*map);
    EXPECT_EQ(map->node("Low").intValue(), 1);
    EXPECT_EQ(map->node("High").intValue(), 2);
    map->node("Word").setInt(0x00040003);
    EXPECT_EQ(map->node("Low").intValue(), 3);  // within the word just written
    EXPECT_EQ(map->node("High").intValue(), 4);
    map->node("High").setInt(5);  // WriteAround: the word is read again
    port.resetCounts();
    EXPECT_EQ(map->node("Word").intValue(), 0x00050003);
    EXPECT_EQ(port.reads, 1);
}

}  // namespace
