// Values chosen by a selector: <pIndex> with indexed values and defaults, for Integer and
// Float nodes and for register addresses, as camera files write the trigger, line and
// counter features.
#include <gtest/gtest.h>

#include "CameraFile.h"

using testfile::CountingPort;
using testfile::errorOf;

namespace {

const std::string kSelector =
    "  <Enumeration Name=\"TriggerSelector\" NameSpace=\"Standard\">\n"
    "    <ToolTip>Selects the trigger to configure.</ToolTip>\n    <Visibility>Beginner</Visibility>\n"
    "    <EnumEntry Name=\"FrameStart\" NameSpace=\"Standard\"><Value>0</Value></EnumEntry>\n"
    "    <EnumEntry Name=\"LineStart\" NameSpace=\"Standard\"><Value>1</Value></EnumEntry>\n"
    "    <EnumEntry Name=\"AcquisitionStart\" NameSpace=\"Standard\"><Value>2</Value></EnumEntry>\n"
    "    <EnumEntry Name=\"ExposureActive\" NameSpace=\"Standard\"><Value>7</Value></EnumEntry>\n"
    "    <pValue>TriggerSelectorReg</pValue>\n"
    "    <pSelected>TriggerDelay</pSelected>\n    <pSelected>TriggerDelayRaw</pSelected>\n"
    "  </Enumeration>\n" +
    testfile::intReg("TriggerSelectorReg", 0x10000);

const std::string kBody = kSelector +
    // Each trigger's delay in its own register, and one default for the others.
    "  <Integer Name=\"TriggerDelayRaw\" NameSpace=\"Custom\">\n    <ToolTip>Raw delay in ticks.</ToolTip>\n"
    "    <Visibility>Guru</Visibility>\n    <pIndex>TriggerSelector</pIndex>\n"
    "    <pValueIndexed Index=\"0\">FrameStartDelayReg</pValueIndexed>\n"
    "    <pValueIndexed Index=\"1\">LineStartDelayReg</pValueIndexed>\n"
    "    <pValueDefault>OtherDelayReg</pValueDefault>\n    <Min>0</Min>\n    <Max>100000</Max>\n  </Integer>\n" +
    testfile::intReg("FrameStartDelayReg", 0x10010) + testfile::intReg("LineStartDelayReg", 0x10014) +
    testfile::intReg("OtherDelayReg", 0x10018) +
    // Literal values by index, no default: the selector value 7 has none.
    "  <Float Name=\"TriggerDelay\" NameSpace=\"Standard\">\n    <ToolTip>Delay in microseconds.</ToolTip>\n"
    "    <pIndex>TriggerSelector</pIndex>\n    <ValueIndexed Index=\"0\">1.5</ValueIndexed>\n"
    "    <ValueIndexed Index=\"1\">2.25</ValueIndexed>\n    <ValueIndexed Index=\"2\">4</ValueIndexed>\n"
    "    <Min>0</Min>\n    <Max>1000</Max>\n    <Unit>us</Unit>\n  </Float>\n"
    // A literal default.
    "  <Integer Name=\"TriggerCount\" NameSpace=\"Custom\">\n    <pIndex>TriggerSelector</pIndex>\n"
    "    <ValueIndexed Index=\"2\">10</ValueIndexed>\n    <ValueDefault>1</ValueDefault>\n  </Integer>\n"
    // A register per selector value, 0x20 bytes apart.
    "  <IntReg Name=\"TriggerSourceReg\" NameSpace=\"Custom\">\n    <Address>0x10100</Address>\n"
    "    <pIndex Offset=\"0x20\">TriggerSelector</pIndex>\n    <Length>4</Length>\n    <AccessMode>RW</AccessMode>\n"
    "    <pPort>Device</pPort>\n    <Sign>Unsigned</Sign>\n    <Endianess>LittleEndian</Endianess>\n  </IntReg>\n";

class SelectorFileTest : public ::testing::Test {
protected:
    CountingPort port;
    std::unique_ptr<genicam::NodeMap> map = genicam::NodeMap::parse(testfile::cameraFile(kBody), port);
    genicam::Node& node(const std::string& n) { return map->node(n); }
};

TEST_F(SelectorFileTest, IndexedNodesFollowTheSelectorAndFallBackToTheDefault) {
    port.set32(0x10010, 11);
    port.set32(0x10014, 22);
    port.set32(0x10018, 33);
    EXPECT_EQ(node("TriggerDelayRaw").intValue(), 11);
    node("TriggerSelector").setString("LineStart");
    EXPECT_EQ(node("TriggerDelayRaw").intValue(), 22);
    node("TriggerSelector").setString("AcquisitionStart");
    EXPECT_EQ(node("TriggerDelayRaw").intValue(), 33);  // no entry of its own: the default

    node("TriggerSelector").setString("LineStart");
    node("TriggerDelayRaw").setInt(500);
    EXPECT_EQ(port.get32(0x10014), 500u);
    EXPECT_EQ(port.get32(0x10010), 11u);
    EXPECT_EQ(node("TriggerDelayRaw").access(), genicam::Access::RW);
    const int writes = port.writes;
    EXPECT_EQ(errorOf([&] { node("TriggerDelayRaw").setInt(100001); }),
              "TriggerDelayRaw: 100001 is above the maximum 100000");
    EXPECT_EQ(port.writes, writes);
}

TEST_F(SelectorFileTest, LiteralIndexedValuesAreKeptPerIndex) {
    EXPECT_DOUBLE_EQ(node("TriggerDelay").floatValue(), 1.5);
    EXPECT_EQ(node("TriggerCount").intValue(), 1);
    node("TriggerSelector").setString("AcquisitionStart");
    EXPECT_DOUBLE_EQ(node("TriggerDelay").floatValue(), 4.0);
    EXPECT_EQ(node("TriggerCount").intValue(), 10);
    node("TriggerDelay").setFloat(8.5);
    node("TriggerSelector").setString("FrameStart");
    EXPECT_DOUBLE_EQ(node("TriggerDelay").floatValue(), 1.5);  // index 0 kept its own
    node("TriggerSelector").setString("AcquisitionStart");
    EXPECT_DOUBLE_EQ(node("TriggerDelay").floatValue(), 8.5);

    node("TriggerSelector").setString("ExposureActive");
    EXPECT_EQ(errorOf([&] { node("TriggerDelay").floatValue(); }),
              "TriggerDelay has no value for index 7 of TriggerSelector and no <ValueDefault>");
}

TEST_F(SelectorFileTest, RegisterAddressesStepWithTheSelector) {
    port.set32(0x10100, 3);
    port.set32(0x10120, 4);
    port.set32(0x10100 + 7 * 0x20, 9);
    EXPECT_EQ(node("TriggerSourceReg").intValue(), 3);
    node("TriggerSelector").setString("LineStart");
    EXPECT_EQ(node("TriggerSourceReg").intValue(), 4);
    node("TriggerSelector").setString("ExposureActive");
    EXPECT_EQ(node("TriggerSourceReg").intValue(), 9);
    node("TriggerSourceReg").setInt(5);
    EXPECT_EQ(port.get32(0x10100 + 7 * 0x20), 5u);
}

TEST_F(SelectorFileTest, TheSelectorAndItsIndexedValuesAreShown) {
    EXPECT_EQ(node("TriggerDelayRaw").selector(), "TriggerSelector");
    EXPECT_EQ(node("TriggerDelayRaw").indexedValues(),
              (std::vector<std::string>{"0: FrameStartDelayReg", "1: LineStartDelayReg", "default: OtherDelayReg"}));
    EXPECT_EQ(node("TriggerCount").indexedValues(), (std::vector<std::string>{"2: 10", "default: 1"}));
    EXPECT_EQ(node("TriggerSelector").selector(), "");
    // Not indexed itself, but named by the selector's <pSelected>.
    EXPECT_EQ(node("TriggerSourceReg").selector(), "");
    EXPECT_EQ(node("TriggerDelay").selector(), "TriggerSelector");
    EXPECT_EQ(node("OtherDelayReg").selector(), "");
}

TEST_F(SelectorFileTest, APSelectedNamesTheSelectorOfANodeWithoutAnIndex) {
    const std::string body = kSelector +
        "  <Integer Name=\"TriggerDelay\">\n    <ToolTip>Delay of the selected trigger.</ToolTip>\n"
        "    <pValue>DelayReg</pValue>\n  </Integer>\n" + testfile::intReg("DelayReg", 0x10040);
    auto m = genicam::NodeMap::parse(testfile::cameraFile(body), port);
    EXPECT_EQ(m->node("TriggerDelay").selector(), "TriggerSelector");
    EXPECT_EQ(m->node("DelayReg").selector(), "");
}

TEST_F(SelectorFileTest, AnIndexWithoutANumberIsRefusedWhenTheFileIsRead) {
    const std::string body = kSelector +
        "  <Integer Name=\"Bad\">\n    <pIndex>TriggerSelector</pIndex>\n"
        "    <ValueIndexed Index=\"one\">1</ValueIndexed>\n  </Integer>\n";
    EXPECT_EQ(errorOf([&] { genicam::NodeMap::parse(testfile::cameraFile(body), port); }),
              "Bad: <ValueIndexed> has no integer Index attribute");
}

}  // namespace
