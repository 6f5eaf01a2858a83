// Raw Register nodes (a lookup table, a file access buffer), and chunk and event ports
// whose registers read the data attached to the map instead of the camera.
#include <gtest/gtest.h>

#include "CameraFile.h"

using genicam::Access;
using testfile::CountingPort;
using testfile::errorOf;

namespace {

const std::string kRegisters =
    "  <Register Name=\"LUTValueAll\" NameSpace=\"Custom\">\n    <ToolTip>The whole lookup table, "
    "one byte an entry.</ToolTip>\n    <Visibility>Guru</Visibility>\n    <Address>0x10400</Address>\n"
    "    <Length>256</Length>\n    <AccessMode>RW</AccessMode>\n    <pPort>Device</pPort>\n  </Register>\n"
    "  <Register Name=\"FileAccessBuffer\" NameSpace=\"Standard\">\n    <pIsAvailable>FileOpen</pIsAvailable>\n"
    "    <Address>0x10800</Address>\n    <pLength>FileBufferLength</pLength>\n    <AccessMode>RW</AccessMode>\n"
    "    <pPort>Device</pPort>\n  </Register>\n"
    "  <Integer Name=\"FileBufferLength\"><Value>8</Value></Integer>\n"
    "  <Integer Name=\"FileOpen\"><Value>1</Value></Integer>\n"
    "  <Register Name=\"DeviceKey\" NameSpace=\"Custom\">\n    <Address>0x10900</Address>\n    <Length>4</Length>\n"
    "    <AccessMode>WO</AccessMode>\n    <pPort>Device</pPort>\n  </Register>\n";

const std::string kChunks =
    "  <Port Name=\"TimestampChunkPort\" NameSpace=\"Custom\">\n    <ToolTip>Chunk data of the timestamp.</ToolTip>\n"
    "    <ChunkID>0x40000002</ChunkID>\n  </Port>\n"
    "  <Port Name=\"EventExposureEndPort\" NameSpace=\"Custom\">\n    <EventID>9001</EventID>\n  </Port>\n"
    "  <IntReg Name=\"ChunkTimestamp\" NameSpace=\"Standard\">\n    <ToolTip>Time the image was taken.</ToolTip>\n"
    "    <Address>0</Address>\n    <Length>8</Length>\n    <AccessMode>RO</AccessMode>\n"
    "    <pPort>TimestampChunkPort</pPort>\n    <Sign>Unsigned</Sign>\n    <Endianess>LittleEndian</Endianess>\n  </IntReg>\n"
    "  <IntReg Name=\"EventExposureEndFrameID\" NameSpace=\"Standard\">\n    <Address>4</Address>\n"
    "    <Length>4</Length>\n    <AccessMode>RO</AccessMode>\n    <pPort>EventExposureEndPort</pPort>\n"
    "    <Sign>Unsigned</Sign>\n    <Endianess>LittleEndian</Endianess>\n  </IntReg>\n"
    "  <IntReg Name=\"ChunkWritable\" NameSpace=\"Custom\">\n    <Address>0</Address>\n"
    "    <Length>4</Length>\n    <AccessMode>RW</AccessMode>\n    <pPort>TimestampChunkPort</pPort>\n  </IntReg>\n";

class RegisterFileTest : public ::testing::Test {
protected:
    CountingPort port;
    std::unique_ptr<genicam::NodeMap> map = genicam::NodeMap::parse(testfile::cameraFile(kRegisters + kChunks), port);
    genicam::Node& node(const std::string& n) { return map->node(n); }
};

TEST_F(RegisterFileTest, RegisterNodesReadAndWriteTheirBytesWhole) {
    genicam::Node& lut = node("LUTValueAll");
    EXPECT_EQ(lut.interface(), genicam::Interface::Register);
    EXPECT_EQ(lut.byteLength(), 256u);
    for (int i = 0; i < 256; ++i) port.bytes[0x400 + i] = static_cast<uint8_t>(255 - i);
    const std::vector<uint8_t> b = lut.bytes();
    ASSERT_EQ(b.size(), 256u);
    EXPECT_EQ(b[0], 255);
    EXPECT_EQ(b[255], 0);
    EXPECT_EQ(port.reads, 1);
    EXPECT_EQ(lut.valueText(), "FFFEFDFCFBFAF9F8F7F6F5F4F3F2F1F0... (256 bytes)");

    std::vector<uint8_t> ramp(256);
    for (int i = 0; i < 256; ++i) ramp[i] = static_cast<uint8_t>(i);
    lut.setBytes(ramp);
    EXPECT_EQ(port.bytes[0x400 + 17], 17);
    EXPECT_EQ(port.writes, 1);

    node("FileAccessBuffer").setText("01 02 0A0B 0c0d 0e0f");
    EXPECT_EQ(port.get32(0x10800), 0x0B0A0201u);
    EXPECT_EQ(node("FileAccessBuffer").byteLength(), 8u);
    EXPECT_EQ(node("DeviceKey").access(), Access::WO);
    node("DeviceKey").setBytes({1, 2, 3, 4});
    EXPECT_EQ(port.get32(0x10900), 0x04030201u);
}

TEST_F(RegisterFileTest, RegisterWritesOfTheWrongSizeOrAccessSendNothing) {
    const int writes = port.writes;
    EXPECT_EQ(errorOf([&] { node("LUTValueAll").setBytes({1, 2, 3}); }), "LUTValueAll has 256 bytes; 3 were given");
    EXPECT_EQ(errorOf([&] { node("FileAccessBuffer").setText("0102030"); }),
              "FileAccessBuffer: '0102030' has an odd number of hexadecimal digits");
    EXPECT_EQ(errorOf([&] { node("FileAccessBuffer").setText("zz"); }), "FileAccessBuffer: 'zz' is not hexadecimal bytes");
    EXPECT_EQ(errorOf([&] { node("DeviceKey").bytes(); }), "DeviceKey is write-only");
    EXPECT_EQ(errorOf([&] { node("LUTValueAll").intValue(); }), "LUTValueAll (Register) has no integer value");
    EXPECT_EQ(port.writes, writes);
}

TEST_F(RegisterFileTest, ChunkAndEventNodesNeedAttachedData) {
    EXPECT_EQ(node("ChunkTimestamp").access(), Access::NA);
    EXPECT_EQ(node("EventExposureEndFrameID").access(), Access::NA);
    EXPECT_EQ(node("TimestampChunkPort").access(), Access::NA);
    EXPECT_EQ(node("Device").access(), Access::RW);
    EXPECT_EQ(errorOf([&] { node("ChunkTimestamp").intValue(); }), "ChunkTimestamp is not available now");
    EXPECT_EQ(port.reads, 0);  // never the camera's registers at those addresses

    map->attachChunk(0x40000002, {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11});
    EXPECT_EQ(node("ChunkTimestamp").access(), Access::RO);
    EXPECT_EQ(node("ChunkTimestamp").intValue(), 0x1122334455667788);
    EXPECT_EQ(node("EventExposureEndFrameID").access(), Access::NA);  // another port's data
    map->attachEvent(0x9001, {0, 0, 0, 0, 42, 0, 0, 0});
    EXPECT_EQ(node("EventExposureEndFrameID").intValue(), 42);
    EXPECT_EQ(port.reads, 0);

    // Chunk data is read, never written; the file's RW does not make it writable.
    EXPECT_EQ(node("ChunkWritable").access(), Access::RO);
    EXPECT_EQ(errorOf([&] { node("ChunkWritable").setInt(1); }), "ChunkWritable is read-only");

    map->detachChunks();
    EXPECT_EQ(node("ChunkTimestamp").access(), Access::NA);
    EXPECT_EQ(port.writes, 0);
}

TEST_F(RegisterFileTest, ChunkDataShorterThanTheRegisterIsAnErrorNotAnOverread) {
    map->attachChunk(0x40000002, {1, 2, 3, 4});
    EXPECT_EQ(errorOf([&] { node("ChunkTimestamp").intValue(); }),
              "ChunkTimestamp is at bytes 0 to 7 of chunk TimestampChunkPort, which holds 4");
    map->attachEvent(0x9001, {});
    EXPECT_EQ(errorOf([&] { node("EventExposureEndFrameID").intValue(); }),
              "EventExposureEndFrameID is at bytes 4 to 7 of event EventExposureEndPort, which holds 0");
}

TEST_F(RegisterFileTest, ABadChunkIdIsRefusedWhenTheFileIsRead) {
    const std::string body = "  <Port Name=\"P\"><ChunkID>12G4</ChunkID></Port>\n";
    EXPECT_EQ(errorOf([&] { genicam::NodeMap::parse(testfile::cameraFile(body), port); }),
              "P: the chunk ID '12G4' is not a hexadecimal number");
}

}  // namespace
