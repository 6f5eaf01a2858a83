// The feature engine on small description files and a register space in memory.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "genicam/NodeMap.h"

using genicam::Access;
using genicam::Error;
using genicam::Interface;
using genicam::NodeMap;

namespace {

// 4 KiB of registers at 0x1000; anything else fails as a camera would.
class MemoryPort : public genicam::Port {
public:
    static constexpr uint64_t kBase = 0x1000;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(4096, 0);
    int writes = 0;
    int reads = 0;

    void read(uint64_t address, uint8_t* data, size_t length) override {
        check(address, length);
        ++reads;
        std::memcpy(data, bytes.data() + (address - kBase), length);
    }
    void write(uint64_t address, const uint8_t* data, size_t length) override {
        check(address, length);
        ++writes;
        std::memcpy(bytes.data() + (address - kBase), data, length);
    }
    void set(uint64_t address, std::vector<uint8_t> b) { std::memcpy(bytes.data() + (address - kBase), b.data(), b.size()); }
    std::vector<uint8_t> at(uint64_t address, size_t n) const {
        return {bytes.begin() + static_cast<long>(address - kBase), bytes.begin() + static_cast<long>(address - kBase + n)};
    }

private:
    static void check(uint64_t address, size_t length) {
        if (address < kBase || address + length > kBase + 4096) throw Error("no register at " + std::to_string(address));
    }
};

std::string doc(const std::string& body) {
    return "<?xml version=\"1.0\"?>\n"
           "<RegisterDescription ModelName=\"M\" VendorName=\"V\" xmlns=\"http://www.genicam.org/GenApi/Version_1_1\">\n" +
           body + "\n<Port Name=\"Device\"/>\n</RegisterDescription>\n";
}

std::string intReg(const std::string& name, uint64_t address, int length = 4, const std::string& access = "RW",
                   const std::string& extra = "") {
    return "<IntReg Name=\"" + name + "\"><Address>" + std::to_string(address) + "</Address><Length>" +
           std::to_string(length) + "</Length><AccessMode>" + access + "</AccessMode><pPort>Device</pPort>" + extra +
           "</IntReg>";
}

class NodeMapTest : public ::testing::Test {
protected:
    MemoryPort port;
    std::unique_ptr<NodeMap> map;

    void load(const std::string& body) { map = NodeMap::parse(doc(body), port); }
    genicam::Node& node(const std::string& name) { return map->node(name); }

    // The message of the Error that f throws; the test fails when none is thrown.
    template <class F>
    std::string errorOf(F f) {
        try {
            f();
        } catch (const Error& e) {
            return e.what();
        }
        ADD_FAILURE() << "no error";
        return {};
    }
};

TEST_F(NodeMapTest, IntRegByteOrderSignAndLength) {
    load(intReg("LE", 0x1000, 4) + intReg("BE", 0x1000, 4, "RW", "<Endianess>BigEndian</Endianess>") +
         intReg("S2", 0x1004, 2, "RW", "<Sign>Signed</Sign>") + intReg("U8", 0x1008, 8) +
         intReg("S8", 0x1008, 8, "RW", "<Sign>Signed</Sign>"));
    port.set(0x1000, {0x01, 0x02, 0x03, 0x04, 0xFE, 0xFF});
    EXPECT_EQ(node("LE").intValue(), 0x04030201);
    EXPECT_EQ(node("BE").intValue(), 0x01020304);
    EXPECT_EQ(node("S2").intValue(), -2);
    EXPECT_EQ(node("S2").intMin(), -32768);
    EXPECT_EQ(node("S2").intMax(), 32767);

    node("BE").setInt(0x0A0B0C0D);
    EXPECT_EQ(port.at(0x1000, 4), (std::vector<uint8_t>{0x0A, 0x0B, 0x0C, 0x0D}));
    node("S2").setInt(-300);
    EXPECT_EQ(port.at(0x1004, 2), (std::vector<uint8_t>{0xD4, 0xFE}));
    node("S8").setInt(-1);
    EXPECT_EQ(node("S8").intValue(), -1);

    const int writes = port.writes;
    EXPECT_EQ(errorOf([&] { node("S2").setInt(40000); }), "S2: 40000 is above the maximum 32767");
    EXPECT_EQ(errorOf([&] { node("LE").setInt(-1); }), "LE: -1 is below the minimum 0");
    EXPECT_EQ(port.writes, writes);
}

TEST_F(NodeMapTest, MaskedIntRegNumbersBitsByByteOrderAndKeepsTheOthers) {
    load("<MaskedIntReg Name=\"LE\"><Address>0x1000</Address><Length>4</Length><AccessMode>RW</AccessMode>"
         "<pPort>Device</pPort><LSB>4</LSB><MSB>7</MSB></MaskedIntReg>"
         "<MaskedIntReg Name=\"BE\"><Address>0x1000</Address><Length>4</Length><AccessMode>RW</AccessMode>"
         "<pPort>Device</pPort><LSB>31</LSB><MSB>24</MSB><Endianess>BigEndian</Endianess></MaskedIntReg>"
         "<MaskedIntReg Name=\"Bit0\"><Address>0x1000</Address><Length>4</Length><AccessMode>RW</AccessMode>"
         "<pPort>Device</pPort><Bit>0</Bit></MaskedIntReg>"
         "<MaskedIntReg Name=\"Signed\"><Address>0x1000</Address><Length>4</Length><AccessMode>RW</AccessMode>"
         "<pPort>Device</pPort><LSB>4</LSB><MSB>7</MSB><Sign>Signed</Sign></MaskedIntReg>"
         "<MaskedIntReg Name=\"Outside\"><Address>0x1000</Address><Length>2</Length><AccessMode>RW</AccessMode>"
         "<pPort>Device</pPort><Bit>16</Bit></MaskedIntReg>");
    port.set(0x1000, {0xA5, 0x00, 0x00, 0x3C});
    EXPECT_EQ(node("LE").intValue(), 0xA);
    EXPECT_EQ(node("BE").intValue(), 0x3C);  // bits 24..31 counted from the top: the last byte
    EXPECT_EQ(node("Bit0").intValue(), 1);
    EXPECT_EQ(node("Signed").intValue(), -6);
    EXPECT_EQ(node("LE").intMax(), 15);

    node("LE").setInt(3);
    EXPECT_EQ(port.at(0x1000, 4), (std::vector<uint8_t>{0x35, 0x00, 0x00, 0x3C}));
    node("BE").setInt(0x81);
    EXPECT_EQ(port.at(0x1000, 4), (std::vector<uint8_t>{0x35, 0x00, 0x00, 0x81}));
    node("Bit0").setInt(0);
    EXPECT_EQ(port.at(0x1000, 1)[0], 0x34);
    EXPECT_EQ(errorOf([&] { node("LE").setInt(16); }), "LE: 16 is above the maximum 15");
    EXPECT_NE(errorOf([&] { node("Outside").intValue(); }).find("outside its 2-byte register"), std::string::npos);
}

TEST_F(NodeMapTest, FloatAndStringRegisters) {
    load("<FloatReg Name=\"F4\"><Address>0x1000</Address><Length>4</Length><AccessMode>RW</AccessMode>"
         "<pPort>Device</pPort></FloatReg>"
         "<FloatReg Name=\"F8\"><Address>0x1008</Address><Length>8</Length><AccessMode>RW</AccessMode>"
         "<pPort>Device</pPort><Endianess>BigEndian</Endianess></FloatReg>"
         "<FloatReg Name=\"F3\"><Address>0x1008</Address><Length>3</Length><AccessMode>RW</AccessMode></FloatReg>"
         "<StringReg Name=\"S\"><Address>0x1010</Address><Length>8</Length><AccessMode>RW</AccessMode>"
         "<pPort>Device</pPort></StringReg>");
    node("F4").setFloat(1.5);
    EXPECT_EQ(port.at(0x1000, 4), (std::vector<uint8_t>{0x00, 0x00, 0xC0, 0x3F}));
    EXPECT_DOUBLE_EQ(node("F4").floatValue(), 1.5);
    node("F8").setFloat(-2.0);
    EXPECT_EQ(port.at(0x1008, 8), (std::vector<uint8_t>{0xC0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_DOUBLE_EQ(node("F8").floatValue(), -2.0);
    EXPECT_NE(errorOf([&] { node("F3").floatValue(); }).find("4 or 8 bytes"), std::string::npos);

    port.set(0x1010, {'a', 'b', 'c', 0, 'x', 'y', 'z', 'w'});
    EXPECT_EQ(node("S").stringValue(), "abc");
    port.set(0x1010, {'1', '2', '3', '4', '5', '6', '7', '8', '!'});
    EXPECT_EQ(node("S").stringValue(), "12345678");  // a full register has no NUL
    node("S").setString("hi");
    EXPECT_EQ(port.at(0x1010, 8), (std::vector<uint8_t>{'h', 'i', 0, 0, 0, 0, 0, 0}));
    const int writes = port.writes;
    EXPECT_NE(errorOf([&] { node("S").setString("too long!"); }).find("at most 8"), std::string::npos);
    EXPECT_EQ(port.writes, writes);
}

TEST_F(NodeMapTest, IntegerLimitsFromElementsOrNodesRefuseWithoutWriting) {
    load("<Integer Name=\"Width\"><pValue>WidthReg</pValue><Min>16</Min><pMax>MaxWidth</pMax><Inc>8</Inc>"
         "<Unit>px</Unit></Integer>" +
         intReg("WidthReg", 0x1000) + intReg("MaxWidthReg", 0x1004, 4, "RO") +
         "<Integer Name=\"MaxWidth\"><pValue>MaxWidthReg</pValue></Integer>"
         "<Integer Name=\"Hex\"><Value>255</Value><Representation>HexNumber</Representation></Integer>");
    port.set(0x1000, {64, 0, 0, 0, 0x00, 0x01, 0, 0});
    EXPECT_EQ(node("Width").intValue(), 64);
    EXPECT_EQ(node("Width").valueText(), "64 px");
    EXPECT_EQ(node("Width").intMax(), 256);
    node("Width").setText("0x80");
    EXPECT_EQ(port.at(0x1000, 1)[0], 0x80);

    const int writes = port.writes;
    EXPECT_EQ(errorOf([&] { node("Width").setInt(8); }), "Width: 8 is below the minimum 16");
    EXPECT_EQ(errorOf([&] { node("Width").setInt(264); }), "Width: 264 is above the maximum 256");
    EXPECT_EQ(errorOf([&] { node("Width").setInt(20); }),
              "Width: 20 is not the minimum 16 plus a multiple of the increment 8");
    EXPECT_EQ(errorOf([&] { node("Width").setText("12x"); }), "Width: '12x' is not an integer");
    EXPECT_EQ(errorOf([&] { node("MaxWidth").setInt(512); }), "MaxWidth is read-only");
    EXPECT_EQ(port.writes, writes);

    EXPECT_EQ(node("Hex").valueText(), "0xFF");
    node("Hex").setInt(-1);  // a value of its own, kept in the map
    EXPECT_EQ(node("Hex").intValue(), -1);
    EXPECT_EQ(port.writes, writes);
}

TEST_F(NodeMapTest, FloatOverAnIntegerRegisterRounds) {
    load("<Float Name=\"Gain\"><pValue>GainReg</pValue><Min>0</Min><Max>48</Max><Unit>dB</Unit></Float>" +
         intReg("GainReg", 0x1000) + "<Float Name=\"Step\"><Value>1</Value><Min>0.5</Min><Inc>0.25</Inc></Float>");
    node("Gain").setText("12.6");
    EXPECT_EQ(port.at(0x1000, 1)[0], 13);
    EXPECT_EQ(node("Gain").valueText(), "13 dB");
    EXPECT_NE(errorOf([&] { node("Gain").setFloat(48.5); }).find("above the maximum 48"), std::string::npos);
    EXPECT_NE(errorOf([&] { node("Gain").setText("nan"); }).find("not a number"), std::string::npos);
    node("Step").setFloat(1.75);
    EXPECT_NE(errorOf([&] { node("Step").setFloat(1.8); }).find("increment 0.25"), std::string::npos);
}

TEST_F(NodeMapTest, BooleanEnumerationCommandAndString) {
    load("<Boolean Name=\"Flag\"><pValue>FlagReg</pValue><OnValue>5</OnValue><OffValue>2</OffValue></Boolean>" +
         intReg("FlagReg", 0x1000) +
         "<Enumeration Name=\"Mode\">"
         "<EnumEntry Name=\"EnumEntry_Mode_Off\"><Value>0</Value></EnumEntry>"
         "<EnumEntry Name=\"Mode_On\"><Value>1</Value></EnumEntry>"
         "<EnumEntry Name=\"Strange\"><Value>7</Value><Symbolic>Burst</Symbolic><pIsAvailable>Never</pIsAvailable></EnumEntry>"
         "<pValue>ModeReg</pValue></Enumeration>" +
         intReg("ModeReg", 0x1004) + "<Integer Name=\"Never\"><Value>0</Value></Integer>" +
         "<Command Name=\"Go\"><pValue>GoReg</pValue><CommandValue>3</CommandValue></Command>" + intReg("GoReg", 0x1008) +
         "<String Name=\"Label\"><Value>plain</Value></String>"
         "<String Name=\"Remote\"><pValue>RemoteReg</pValue></String>"
         "<StringReg Name=\"RemoteReg\"><Address>0x1010</Address><Length>4</Length><AccessMode>RO</AccessMode></StringReg>");
    port.set(0x1000, {5});
    EXPECT_TRUE(node("Flag").boolValue());
    node("Flag").setText("false");
    EXPECT_EQ(port.at(0x1000, 1)[0], 2);
    EXPECT_EQ(node("Flag").valueText(), "false");
    port.set(0x1000, {9});
    EXPECT_NE(errorOf([&] { node("Flag").boolValue(); }).find("neither the on value 5 nor the off value 2"),
              std::string::npos);

    EXPECT_EQ(node("Mode").stringValue(), "Off");
    EXPECT_EQ(node("Mode").entries(), (std::vector<std::string>{"Off", "On"}));
    node("Mode").setString("On");
    EXPECT_EQ(port.at(0x1004, 1)[0], 1);
    const int writes = port.writes;
    EXPECT_EQ(errorOf([&] { node("Mode").setString("Sideways"); }),
              "Mode has no entry 'Sideways' (its entries: Off, On)");
    EXPECT_EQ(errorOf([&] { node("Mode").setString("Burst"); }), "Mode: entry Burst is not available now");
    EXPECT_EQ(errorOf([&] { node("Mode").setInt(7); }), "Mode: entry Burst is not available now");
    EXPECT_EQ(port.writes, writes);
    port.set(0x1004, {4});
    EXPECT_EQ(errorOf([&] { node("Mode").stringValue(); }), "Mode: the camera holds 4, which is the value of no entry");

    EXPECT_TRUE(node("Go").isDone());
    node("Go").execute();
    EXPECT_EQ(port.at(0x1008, 1)[0], 3);
    EXPECT_FALSE(node("Go").isDone());  // the camera has not cleared it
    EXPECT_NE(errorOf([&] { node("Go").setText("1"); }).find("give its name alone"), std::string::npos);

    EXPECT_EQ(node("Label").stringValue(), "plain");
    port.set(0x1010, {'a', 'b'});
    EXPECT_EQ(node("Remote").stringValue(), "ab");
    EXPECT_EQ(errorOf([&] { node("Remote").setString("x"); }), "Remote is read-only");
}

TEST_F(NodeMapTest, AvailabilityLockingAndImposedAccess) {
    load("<Integer Name=\"Exposure\"><pValue>ExposureReg</pValue><pIsAvailable>Auto</pIsAvailable>"
         "<pIsLocked>Running</pIsLocked></Integer>" +
         intReg("ExposureReg", 0x1000) + intReg("Auto", 0x1004) + intReg("Running", 0x1008) +
         "<Integer Name=\"Secret\"><pValue>ExposureReg</pValue><pIsImplemented>Auto</pIsImplemented></Integer>"
         "<Integer Name=\"Fixed\"><pValue>ExposureReg</pValue><ImposedAccessMode>RO</ImposedAccessMode></Integer>"
         "<Integer Name=\"Blind\"><pValue>WriteOnly</pValue></Integer>" +
         intReg("WriteOnly", 0x100C, 4, "WO"));
    EXPECT_EQ(node("Exposure").access(), Access::NA);
    EXPECT_EQ(node("Secret").access(), Access::NI);
    EXPECT_EQ(errorOf([&] { node("Exposure").intValue(); }), "Exposure is not available now");
    EXPECT_EQ(errorOf([&] { node("Exposure").setInt(1); }), "Exposure is not available now");
    EXPECT_EQ(errorOf([&] { node("Secret").intValue(); }), "Secret is not implemented");

    port.set(0x1004, {1});
    EXPECT_EQ(node("Exposure").access(), Access::RW);
    node("Exposure").setInt(100);
    port.set(0x1008, {1});
    EXPECT_EQ(node("Exposure").access(), Access::RO);
    const int writes = port.writes;
    EXPECT_EQ(errorOf([&] { node("Exposure").setInt(200); }), "Exposure is locked");
    EXPECT_EQ(node("Exposure").intValue(), 100);

    EXPECT_EQ(node("Fixed").access(), Access::RO);
    EXPECT_EQ(errorOf([&] { node("Fixed").setInt(1); }), "Fixed is read-only");
    EXPECT_EQ(node("Blind").access(), Access::WO);
    EXPECT_EQ(errorOf([&] { node("Blind").intValue(); }), "Blind is write-only");
    EXPECT_EQ(port.writes, writes);
    node("Blind").setInt(9);
    EXPECT_EQ(port.at(0x100C, 1)[0], 9);
}

TEST_F(NodeMapTest, ConvertersAndSwissKnives) {
    // A gain in dB over a raw register holding tenths of a dB plus 100, falling raw limits.
    load("<Converter Name=\"Gain\"><pVariable Name=\"OFF\">Offset</pVariable>"
         "<FormulaTo>FROM * 10 + OFF</FormulaTo><FormulaFrom>(TO - OFF) / 10</FormulaFrom>"
         "<pValue>GainRaw</pValue><Unit>dB</Unit><Slope>Increasing</Slope></Converter>"
         "<Integer Name=\"GainRaw\"><pValue>GainReg</pValue><Min>100</Min><Max>400</Max></Integer>" +
         intReg("GainReg", 0x1000) + "<Integer Name=\"Offset\"><Value>100</Value></Integer>" +
         "<IntConverter Name=\"Inverted\"><FormulaTo>1000 - FROM</FormulaTo><FormulaFrom>1000 - TO</FormulaFrom>"
         "<pValue>GainRaw</pValue></IntConverter>"
         "<IntSwissKnife Name=\"Area\"><pVariable Name=\"W\">GainRaw</pVariable><Constant Name=\"H\">0x10</Constant>"
         "<Expression Name=\"SIDE\">W.Max - W.Min</Expression><Formula>W * H + SIDE</Formula></IntSwissKnife>"
         "<SwissKnife Name=\"Half\"><pVariable Name=\"G\">Gain</pVariable><Formula>G / 2</Formula></SwissKnife>"
         "<IntSwissKnife Name=\"Broken\"><Formula>1 +* 2</Formula></IntSwissKnife>"
         "<IntSwissKnife Name=\"Zero\"><Formula>1 / 0</Formula></IntSwissKnife>"
         "<IntSwissKnife Name=\"Stranger\"><Formula>Q + 1</Formula></IntSwissKnife>");
    port.set(0x1000, {0x2C, 0x01});  // 300
    EXPECT_DOUBLE_EQ(node("Gain").floatValue(), 20.0);
    EXPECT_EQ(node("Gain").valueText(), "20 dB");
    EXPECT_DOUBLE_EQ(node("Gain").floatMin(), 0.0);
    EXPECT_DOUBLE_EQ(node("Gain").floatMax(), 30.0);
    node("Gain").setFloat(12.5);
    EXPECT_EQ(port.at(0x1000, 2), (std::vector<uint8_t>{0xE1, 0x00}));  // 225
    const int writes = port.writes;
    EXPECT_EQ(errorOf([&] { node("Gain").setFloat(31); }), "Gain: 31 is above the maximum 30");
    EXPECT_EQ(port.writes, writes);

    EXPECT_EQ(node("Inverted").intValue(), 775);
    EXPECT_EQ(node("Inverted").intMin(), 600);  // the slope falls: limits swap
    EXPECT_EQ(node("Inverted").intMax(), 900);
    node("Inverted").setInt(700);
    EXPECT_EQ(node("GainRaw").intValue(), 300);
    EXPECT_EQ(node("Inverted").access(), Access::RW);

    EXPECT_EQ(node("Area").intValue(), 300 * 16 + 300);
    EXPECT_EQ(node("Area").access(), Access::RO);
    EXPECT_EQ(errorOf([&] { node("Area").setInt(1); }), "Area is read-only");
    EXPECT_DOUBLE_EQ(node("Half").floatValue(), 10.0);
    EXPECT_NE(errorOf([&] { node("Broken").intValue(); }).find("Broken: formula \"1 +* 2\""), std::string::npos);
    EXPECT_EQ(errorOf([&] { node("Zero").intValue(); }), "Zero: formula divides by zero");
    EXPECT_NE(errorOf([&] { node("Stranger").intValue(); }).find("uses 'Q'"), std::string::npos);
}

TEST_F(NodeMapTest, AddressesFromNodesIndexesAndStructEntries) {
    load("<IntReg Name=\"Indexed\"><Address>0x1000</Address><pAddress>Base</pAddress>"
         "<pIndex Offset=\"8\">Selector</pIndex><Length>2</Length><AccessMode>RW</AccessMode></IntReg>"
         "<IntSwissKnife Name=\"Base\"><Formula>0x10</Formula></IntSwissKnife>"
         "<Integer Name=\"Selector\"><Value>2</Value></Integer>"
         "<StructReg Comment=\"status\"><Address>0x1020</Address><Length>4</Length><AccessMode>RO</AccessMode>"
         "<pPort>Device</pPort><Endianess>LittleEndian</Endianess>"
         "<StructEntry Name=\"Ready\"><Bit>0</Bit></StructEntry>"
         "<StructEntry Name=\"Temperature\"><LSB>8</LSB><MSB>15</MSB><AccessMode>RW</AccessMode></StructEntry>"
         "</StructReg>"
         "<Group Comment=\"grouped\"><Integer Name=\"Inside\"><Value>3</Value></Integer></Group>");
    port.set(0x1020, {0x01});  // 0x1000 + 0x10 + 2 * 8
    EXPECT_EQ(node("Indexed").intValue(), 1);
    node("Selector").setInt(0);
    port.set(0x1010, {0x34, 0x12});
    EXPECT_EQ(node("Indexed").intValue(), 0x1234);

    port.set(0x1020, {0x01, 0x2A});
    EXPECT_EQ(node("Ready").intValue(), 1);
    EXPECT_EQ(node("Ready").access(), Access::RO);
    EXPECT_EQ(node("Temperature").intValue(), 42);
    node("Temperature").setInt(7);
    EXPECT_EQ(port.at(0x1020, 2), (std::vector<uint8_t>{0x01, 0x07}));
    EXPECT_EQ(node("Inside").intValue(), 3);
}

TEST_F(NodeMapTest, CategoriesAndUnsupportedNodes) {
    load("<Category Name=\"Root\"><pFeature>Image</pFeature><pFeature>Lut</pFeature></Category>"
         "<Category Name=\"Image\"><pFeature>Width</pFeature></Category>"
         "<Integer Name=\"Width\"><Value>5</Value></Integer>"
         "<ConfRom Name=\"Lut\"><Address>0x1000</Address><Length>16</Length></ConfRom>");
    ASSERT_NE(map->root(), nullptr);
    EXPECT_EQ(map->root()->features(), (std::vector<std::string>{"Image", "Lut"}));
    EXPECT_EQ(map->modelName(), "M");
    EXPECT_EQ(map->vendorName(), "V");
    const genicam::Node& lut = node("Lut");
    EXPECT_EQ(lut.type(), "ConfRom");
    EXPECT_EQ(lut.interface(), Interface::Unsupported);
    EXPECT_EQ(errorOf([&] { lut.intValue(); }), "Lut is a ConfRom node, which is not supported");
    EXPECT_EQ(errorOf([&] { node("Lut").setText("1"); }), "Lut is a ConfRom node, which is not supported");
    EXPECT_EQ(port.reads + port.writes, 0);
    EXPECT_EQ(errorOf([&] { map->node("Height"); }), "the description file has no feature named 'Height'");
}

TEST_F(NodeMapTest, MalformedFilesAreClearErrors) {
    auto parseError = [&](const std::string& xml) {
        return errorOf([&] { NodeMap::parse(xml, port); });
    };
    EXPECT_NE(parseError("").find("not well-formed XML"), std::string::npos);
    EXPECT_NE(parseError(doc("<Integer Name=\"A\"><Value>1</Value></Intger>")).find("not well-formed XML: line 3"),
              std::string::npos);
    EXPECT_EQ(parseError("<?xml version=\"1.0\"?><Other/>"),
              "the description file's root element is <Other>, not <RegisterDescription>");
    EXPECT_EQ(parseError(doc("<Integer Name=\"A\"><Value>1</Value></Integer><Float Name=\"A\"/>")),
              "the description file names two nodes 'A'");
    EXPECT_NE(parseError(std::string("\x00\x01\x02", 3)).find("not well-formed"), std::string::npos);
}

TEST_F(NodeMapTest, ExternalEntitiesAreNotLoaded) {
    map = NodeMap::parse("<?xml version=\"1.0\"?>\n<!DOCTYPE RegisterDescription [\n"
                         "<!ENTITY secret SYSTEM \"file:///etc/passwd\">]>\n"
                         "<RegisterDescription><String Name=\"S\"><Value>&secret;</Value></String></RegisterDescription>",
                         port);
    EXPECT_EQ(node("S").stringValue().find("root"), std::string::npos);
}

TEST_F(NodeMapTest, DanglingReferencesAndLoopsAreErrorsNotCrashes) {
    load("<Integer Name=\"Lost\"><pValue>Nowhere</pValue></Integer>"
         "<Integer Name=\"Empty\"/>"
         "<Integer Name=\"A\"><pValue>B</pValue></Integer>"
         "<Integer Name=\"B\"><pValue>A</pValue></Integer>"
         "<IntSwissKnife Name=\"Echo\"><Expression Name=\"X\">Y</Expression><Expression Name=\"Y\">X</Expression>"
         "<Formula>X</Formula></IntSwissKnife>"
         "<IntReg Name=\"NoPort\"><Address>0x1000</Address><Length>4</Length><pPort>Elsewhere</pPort></IntReg>"
         "<IntReg Name=\"NotAPort\"><Address>0x1000</Address><Length>4</Length><pPort>Empty</pPort></IntReg>"
         "<IntReg Name=\"Far\"><Address>0x9000</Address><Length>4</Length></IntReg>"
         "<IntReg Name=\"Long\"><Address>0x1000</Address><Length>9</Length></IntReg>"
         "<IntReg Name=\"Garbled\"><Address>0x1000x</Address><Length>4</Length></IntReg>"
         "<Enumeration Name=\"Choice\"><EnumEntry Name=\"Choice_A\"><Value>0</Value></EnumEntry>"
         "<pValue>Missing</pValue></Enumeration>"
         "<Category Name=\"Loop\"><pFeature>Loop</pFeature></Category>");
    EXPECT_EQ(errorOf([&] { node("Lost").intValue(); }),
              "Lost: <pValue> names 'Nowhere', which is not in the description file");
    EXPECT_EQ(errorOf([&] { node("Empty").intValue(); }), "Empty has neither <Value> nor <pValue>");
    EXPECT_NE(errorOf([&] { node("A").intValue(); }).find("references run in a loop"), std::string::npos);
    EXPECT_NE(errorOf([&] { node("A").setInt(1); }).find("references run in a loop"), std::string::npos);
    EXPECT_NE(errorOf([&] { node("A").intMax(); }).find("references run in a loop"), std::string::npos);
    EXPECT_NE(errorOf([&] { node("Echo").intValue(); }).find("references run in a loop"), std::string::npos);
    EXPECT_EQ(errorOf([&] { node("NoPort").intValue(); }),
              "NoPort: <pPort> names 'Elsewhere', which is not in the description file");
    EXPECT_EQ(errorOf([&] { node("NotAPort").intValue(); }), "NotAPort: <pPort> names 'Empty', which is no Port");
    EXPECT_EQ(errorOf([&] { node("Far").intValue(); }), "no register at 36864");
    EXPECT_EQ(errorOf([&] { node("Long").intValue(); }), "Long: <Length> is 9; it must be 1 to 8");
    EXPECT_EQ(errorOf([&] { node("Garbled").intValue(); }), "Garbled: <Address> holds '0x1000x', which is not an integer");
    EXPECT_NE(errorOf([&] { node("Choice").stringValue(); }).find("names 'Missing'"), std::string::npos);
    EXPECT_EQ(node("Loop").features(), (std::vector<std::string>{"Loop"}));  // listing guards itself
    EXPECT_EQ(port.writes, 0);
}

}  // namespace
