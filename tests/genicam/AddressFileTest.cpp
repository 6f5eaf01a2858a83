// Register addresses of several terms, as some cameras write their whole register map:
// a base <Address>, an offset <Address>, an inline <IntSwissKnife>, <pAddress> nodes and
// <pIndex> steps, all added.
#include <gtest/gtest.h>

#include "CameraFile.h"

using testfile::CountingPort;
using testfile::errorOf;

namespace {

// The feature table starts at a base the camera reports; each feature has a block of
// 0x10 bytes: an "inquiry" word saying whether it is present, then its value.
const std::string kBody =
    testfile::intReg("FeatureTableBase", 0x10000, "RO") +
    "  <IntReg Name=\"GainInquiryReg\" NameSpace=\"Custom\">\n    <ToolTip>Gain presence.</ToolTip>\n"
    "    <Address>0x0</Address>\n    <Address>0x40</Address>\n"
    "    <IntSwissKnife>\n      <pVariable Name=\"BASE\">FeatureTableBase</pVariable>\n"
    "      <Formula>BASE * 4</Formula>\n    </IntSwissKnife>\n"
    "    <Length>4</Length>\n    <AccessMode>RO</AccessMode>\n    <pPort>Device</pPort>\n"
    "    <Sign>Unsigned</Sign>\n    <Endianess>LittleEndian</Endianess>\n  </IntReg>\n"
    "  <Integer Name=\"GainPresent\"><pValue>GainInquiryReg</pValue></Integer>\n"
    "  <IntReg Name=\"GainReg\" NameSpace=\"Custom\">\n    <pIsAvailable>GainPresent</pIsAvailable>\n"
    "    <Address>0x44</Address>\n"
    "    <IntSwissKnife>\n      <pVariable Name=\"BASE\">FeatureTableBase</pVariable>\n"
    "      <Formula>BASE * 4</Formula>\n    </IntSwissKnife>\n"
    "    <pAddress>BankOffset</pAddress>\n    <pIndex Offset=\"0x100\">Bank</pIndex>\n"
    "    <Length>4</Length>\n    <AccessMode>RW</AccessMode>\n    <pPort>Device</pPort>\n"
    "    <Sign>Unsigned</Sign>\n    <Endianess>LittleEndian</Endianess>\n  </IntReg>\n"
    "  <Integer Name=\"BankOffset\"><Value>0x8</Value></Integer>\n"
    "  <Integer Name=\"Bank\"><Value>0</Value><Min>0</Min><Max>3</Max></Integer>\n"
    "  <Integer Name=\"Gain\" NameSpace=\"Standard\">\n    <ToolTip>Gain of the sensor.</ToolTip>\n"
    "    <pValue>GainReg</pValue>\n  </Integer>\n";

TEST(AddressFileTest, EveryTermOfAnAddressIsAdded) {
    CountingPort port;
    auto map = genicam::NodeMap::parse(testfile::cameraFile(kBody), port);
    port.set32(0x10000, 0x4400);  // the table at 4 * 0x4400 = 0x11000
    port.set32(0x11040, 0);
    EXPECT_EQ(map->node("Gain").access(), genicam::Access::NA);  // inquiry at 0x11000 + 0x40
    port.set32(0x11040, 1);
    EXPECT_EQ(map->node("Gain").access(), genicam::Access::RW);

    port.set32(0x11044 + 8, 77);  // + BankOffset
    EXPECT_EQ(map->node("Gain").intValue(), 77);
    map->node("Bank").setInt(2);
    port.set32(0x11044 + 8 + 0x200, 78);
    EXPECT_EQ(map->node("Gain").intValue(), 78);
    map->node("Gain").setInt(5);
    EXPECT_EQ(port.get32(0x11044 + 8 + 0x200), 5u);

    // The inline formulas are no features.
    EXPECT_EQ(map->find("IntSwissKnife"), nullptr);
}

TEST(AddressFileTest, AnInlineFormulaThatFailsSaysSo) {
    CountingPort port;
    const std::string body =
        "  <IntReg Name=\"Odd\">\n    <Address>0x10000</Address>\n"
        "    <IntSwissKnife>\n      <Formula>1 / 0</Formula>\n    </IntSwissKnife>\n"
        "    <Length>4</Length>\n    <AccessMode>RO</AccessMode>\n    <pPort>Device</pPort>\n  </IntReg>\n";
    auto map = genicam::NodeMap::parse(testfile::cameraFile(body), port);
    EXPECT_EQ(errorOf([&] { map->node("Odd").intValue(); }), "Odd#Address1: formula divides by zero");
    EXPECT_EQ(port.reads, 0);
}

}  // namespace
