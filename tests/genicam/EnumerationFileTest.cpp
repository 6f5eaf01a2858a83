// Enumerations as cameras write them: entry names local to their enumeration, shared
// between enumerations and with features, and the older prefixed convention.
#include <gtest/gtest.h>

#include "CameraFile.h"

using testfile::CountingPort;
using testfile::errorOf;

namespace {

std::string entry(const std::string& name, int value, const std::string& extra = "") {
    return "    <EnumEntry Name=\"" + name + "\" NameSpace=\"Standard\">\n      <ToolTip>Selects " + name +
           ".</ToolTip>\n      <DisplayName>" + name + "</DisplayName>\n      <Value>" + std::to_string(value) +
           "</Value>\n" + extra + "    </EnumEntry>\n";
}

std::string enumeration(const std::string& name, const std::string& entries, const std::string& reg) {
    return "  <Enumeration Name=\"" + name + "\" NameSpace=\"Standard\">\n    <ToolTip>" + name +
           " of the camera.</ToolTip>\n    <Visibility>Beginner</Visibility>\n" + entries + "    <pValue>" + reg +
           "</pValue>\n  </Enumeration>\n";
}

const std::string kBody =
    "  <Category Name=\"Root\" NameSpace=\"Standard\">\n    <pFeature>AcquisitionControl</pFeature>\n"
    "    <pFeature>ExposureTime</pFeature>\n  </Category>\n"
    "  <Category Name=\"AcquisitionControl\" NameSpace=\"Standard\">\n    <pFeature>TriggerMode</pFeature>\n"
    "    <pFeature>ExposureAuto</pFeature>\n    <pFeature>TestPattern</pFeature>\n    <pFeature>ExposureMode</pFeature>\n  </Category>\n" +
    enumeration("TriggerMode", entry("Off", 0) + entry("On", 1), "TriggerModeReg") +
    enumeration("ExposureAuto", entry("Off", 0) + entry("Once", 1) + entry("Continuous", 2), "ExposureAutoReg") +
    // An entry named as a feature, and one whose symbolic differs from its Name.
    enumeration("ExposureMode",
                entry("Off", 0) + entry("ExposureTime", 1) +
                    entry("TriggerWidth", 2, "      <Symbolic>TriggerWidth</Symbolic>\n      <pIsAvailable>WidthOk</pIsAvailable>\n"),
                "ExposureModeReg") +
    // The older convention, with prefixes, in the same file.
    enumeration("TestPattern",
                entry("EnumEntry_TestPattern_Off", 0) + entry("EnumEntry_TestPattern_GreyRamp", 3) +
                    entry("EnumEntry_TestPattern_Bars", 5, "      <Symbolic>ColorBars</Symbolic>\n"),
                "TestPatternReg") +
    "  <Float Name=\"ExposureTime\" NameSpace=\"Standard\">\n    <ToolTip>Exposure time in microseconds.</ToolTip>\n"
    "    <Value>1000</Value>\n    <Unit>us</Unit>\n  </Float>\n"
    "  <Integer Name=\"WidthOk\"><Value>0</Value></Integer>\n" +
    testfile::intReg("TriggerModeReg", 0x10000) + testfile::intReg("ExposureAutoReg", 0x10004) +
    testfile::intReg("ExposureModeReg", 0x10008) + testfile::intReg("TestPatternReg", 0x1000C);

class EnumerationFileTest : public ::testing::Test {
protected:
    CountingPort port;
};

TEST_F(EnumerationFileTest, ShortNamesSharedAcrossEnumerationsAndFeatures) {
    auto map = genicam::NodeMap::parse(testfile::cameraFile(kBody), port);
    // "ExposureTime" stays the Float, though an entry has that name too.
    EXPECT_EQ(map->node("ExposureTime").interface(), genicam::Interface::Float);
    EXPECT_EQ(map->node("ExposureTime").valueText(), "1000 us");

    EXPECT_EQ(map->node("TriggerMode").entries(), (std::vector<std::string>{"Off", "On"}));
    EXPECT_EQ(map->node("ExposureAuto").entries(), (std::vector<std::string>{"Off", "Once", "Continuous"}));
    EXPECT_EQ(map->node("ExposureMode").entries(), (std::vector<std::string>{"Off", "ExposureTime"}));

    map->node("TriggerMode").setString("On");
    map->node("ExposureAuto").setString("Continuous");
    map->node("ExposureMode").setString("ExposureTime");
    EXPECT_EQ(port.get32(0x10000), 1u);
    EXPECT_EQ(port.get32(0x10004), 2u);
    EXPECT_EQ(port.get32(0x10008), 1u);
    EXPECT_EQ(map->node("TriggerMode").stringValue(), "On");
    EXPECT_EQ(map->node("ExposureAuto").stringValue(), "Continuous");
    map->node("ExposureAuto").setString("Off");  // "Off" of this enumeration, not TriggerMode's
    EXPECT_EQ(port.get32(0x10004), 0u);
    EXPECT_EQ(port.get32(0x10000), 1u);

    EXPECT_EQ(errorOf([&] { map->node("ExposureMode").setString("TriggerWidth"); }),
              "ExposureMode: entry TriggerWidth is not available now");
    EXPECT_EQ(errorOf([&] { map->node("TriggerMode").setString("Once"); }),
              "TriggerMode has no entry 'Once' (its entries: Off, On)");
}

TEST_F(EnumerationFileTest, PrefixedEntriesAndSymbolicElementStillWork) {
    auto map = genicam::NodeMap::parse(testfile::cameraFile(kBody), port);
    genicam::Node& pattern = map->node("TestPattern");
    EXPECT_EQ(pattern.entries(), (std::vector<std::string>{"Off", "GreyRamp", "ColorBars"}));
    pattern.setString("GreyRamp");
    EXPECT_EQ(port.get32(0x1000C), 3u);
    pattern.setString("EnumEntry_TestPattern_Bars");  // the full name is accepted too
    EXPECT_EQ(pattern.stringValue(), "ColorBars");
    // Entries are found under their enumeration, never as features.
    EXPECT_EQ(map->find("Off"), nullptr);
    ASSERT_NE(map->find("EnumEntry_TriggerMode_On"), nullptr);
    EXPECT_EQ(map->node("EnumEntry_TriggerMode_On").intValue(), 1);
}

TEST_F(EnumerationFileTest, TwoEntriesOfOneNameInOneEnumerationAreRefused) {
    const std::string body = enumeration("TriggerMode", entry("Off", 0) + entry("Off", 1), "TriggerModeReg") +
                             testfile::intReg("TriggerModeReg", 0x10000);
    EXPECT_EQ(errorOf([&] { genicam::NodeMap::parse(testfile::cameraFile(body), port); }),
              "the enumeration TriggerMode names two entries 'Off'");
}

}  // namespace
