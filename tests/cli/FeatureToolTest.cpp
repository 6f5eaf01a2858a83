// u3v-feature, run as a program on the virtual camera.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>

#include "ToolRunner.h"

using namespace tooltest;

namespace {

struct Expected {
    std::string type, access, value;
};

// The look-up table as a listing shows a Register: its first 16 bytes in hex and its size.
std::string lut(int id) {
    uint8_t bytes[16] = {};
    EXPECT_TRUE(vcam::peek(id, 0x50100, bytes, sizeof bytes));
    std::string text;
    char hex[3];
    for (uint8_t b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        text += hex;
    }
    return text + "... (256 bytes)";
}

// What the camera holds, feature by feature, read from the camera's memory in this process.
std::map<std::string, Expected> expectedFeatures(int id, const vcam::CameraConfig& config) {
    const vcam::Identity& who = config.identity;
    auto num = [&](uint64_t address) { return std::to_string(peek32(id, address)); };
    auto symbol = [&](uint64_t address, std::vector<std::string> names) {
        const uint32_t v = peek32(id, address);
        return v < names.size() ? names[v] : std::to_string(v);
    };
    return {
        {"DeviceVendorName", {"StringReg", "RO", who.vendor}},
        {"DeviceModelName", {"StringReg", "RO", who.model}},
        {"DeviceFamilyName", {"StringReg", "RO", who.family}},
        {"DeviceVersion", {"StringReg", "RO", who.deviceVersion}},
        {"DeviceManufacturerInfo", {"StringReg", "RO", who.manufacturerInfo}},
        {"DeviceSerialNumber", {"StringReg", "RO", who.serialNumber}},
        {"DeviceUserID", {"StringReg", "RW", who.userDefinedName}},
        {"Width", {"Integer", "RW", num(0x50000)}},
        {"Height", {"Integer", "RW", num(0x50004)}},
        {"PixelFormat", {"Enumeration", "RW", peek32(id, 0x50008) == 0x01080001 ? "Mono8" : "?"}},
        {"PayloadSize", {"Integer", "RO", num(0x5000C)}},
        {"AcquisitionMode", {"Enumeration", "RW", symbol(0x40004, {"Continuous", "SingleFrame", "MultiFrame"})}},
        {"AcquisitionStart", {"Command", "RW", "(command)"}},
        {"AcquisitionStop", {"Command", "RW", "(command)"}},
        {"TriggerMode", {"Enumeration", "RW", symbol(0x40104, {"Off", "On"})}},
        {"TriggerSource", {"Enumeration", "RW", symbol(0x40144, {"Software", "Line0"})}},
        {"TriggerSoftware", {"Command", "RW", "(command)"}},
        {"ExposureTime", {"Converter", "RW", num(0x50058) + " us"}},
        {"AcquisitionFrameCount", {"Integer", "RW", num(0x40008)}},
        {"TLParamsLocked", {"Integer", "RW", num(0x4000C)}},
        // Selectors and what they select: a register per selector value.
        {"GainSelector", {"Enumeration", "RW", symbol(0x5006C, {"AnalogAll", "DigitalAll"})}},
        {"Gain", {"Converter", "RW", num(peek32(id, 0x5006C) == 1 ? 0x50068 : 0x50064) + " dB"}},
        {"LineSelector", {"Enumeration", "RW", symbol(0x40300, {"Line0", "Line1"})}},
        {"LineMode", peek32(id, 0x40300) == 0 ? Expected{"Enumeration", "RO", "Input"}
                                              : Expected{"Enumeration", "RW", symbol(0x40304, {"Input", "Output"})}},
        {"LUTValueAll", {"Register", "RW", lut(id)}},
        {"ChunkModeActive", {"Boolean", "RW", peek32(id, 0x50200) ? "true" : "false"}},
        {"ChunkSelector", {"Enumeration", "RW", symbol(0x50204, {"Timestamp", "FrameID", "Width", "Height", "ExposureTime"})}},
        {"ChunkEnable", {"Boolean", "RW", peek32(id, 0x50210 + 4 * peek32(id, 0x50204)) ? "true" : "false"}},
        // Chunk values need an image's chunk data, which a listing has not.
        {"ChunkTimestamp", {"Integer", "NA", ""}},
        {"ChunkFrameID", {"Integer", "NA", ""}},
        {"ChunkWidth", {"Integer", "NA", ""}},
        {"ChunkHeight", {"Integer", "NA", ""}},
        {"ChunkExposureTime", {"Converter", "NA", ""}},
    };
}

// Every text between `open` and the next `close`, in order.
std::vector<std::string> between(const std::string& text, const std::string& open, const std::string& close) {
    std::vector<std::string> found;
    for (size_t at = text.find(open); at != std::string::npos; at = text.find(open, at)) {
        at += open.size();
        const size_t end = text.find(close, at);
        if (end == std::string::npos) break;
        found.push_back(text.substr(at, end - at));
        at = end + close.size();
    }
    return found;
}

struct FeatureLine {
    std::string name, type, access, value;
};

// "  NAME  TYPE  ACCESS  VALUE" with the columns padded by blanks.
bool parseFeatureLine(const std::string& line, FeatureLine& f) {
    if (line.rfind("  ", 0) != 0 || line.size() < 3 || line[2] == ' ') return false;
    size_t at = 2;
    auto word = [&](std::string& out) {
        const size_t end = line.find(' ', at);
        if (end == std::string::npos) return false;
        out = line.substr(at, end - at);
        at = line.find_first_not_of(' ', end);
        return at != std::string::npos;
    };
    if (!word(f.name) || !word(f.type)) return false;
    f.access = line.substr(at, 2);
    if (f.access != "RW" && f.access != "RO" && f.access != "WO" && f.access != "NA" && f.access != "NI") return false;
    if (line.compare(at + 2, 2, "  ") != 0) return false;
    f.value = line.substr(at + 4);
    while (!f.value.empty() && f.value.back() == ' ') f.value.pop_back();
    return true;
}

void checkListing(const vcam::CameraConfig& config) {
    const std::vector<vcam::CameraConfig> world{config};
    const int id = buildWorld(world)[0];
    std::string xml = storedDescription(id);
    if (config.zippedDescription) xml = unzipSingleMember(xml);
    const std::map<std::string, Expected> expected = expectedFeatures(id, config);

    // Which category holds which feature, from the description file itself.
    std::map<std::string, std::string> categoryOf;
    for (const std::string& c : between(xml, "<Category Name=\"", "</Category>")) {
        const std::string name = c.substr(0, c.find('"'));
        for (const std::string& f : between(c, "<pFeature>", "</pFeature>")) categoryOf[f] = name;
    }
    ASSERT_FALSE(categoryOf.empty());

    const Outcome r = run("u3v-feature", {}, world);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    std::string currentCategory;
    std::set<std::string> listed;
    for (const std::string& line : lines(r.out)) {
        if (!line.empty() && line[0] != ' ') {
            currentCategory = line;
            EXPECT_EQ(categoryOf[line], "Root") << line;
            continue;
        }
        FeatureLine f;
        ASSERT_TRUE(parseFeatureLine(line, f)) << "unexpected line: '" << line << "'";
        listed.insert(f.name);
        EXPECT_EQ(categoryOf[f.name], currentCategory) << f.name;
        auto e = expected.find(f.name);
        if (e == expected.end()) {
            ADD_FAILURE() << "the test knows no value for feature " << f.name;
            continue;
        }
        EXPECT_EQ(f.type, e->second.type) << f.name;
        EXPECT_EQ(f.access, e->second.access) << f.name;
        EXPECT_EQ(f.value, e->second.value) << f.name;
    }
    for (const auto& [feature, holder] : categoryOf) {
        if (holder != "Root") {
            EXPECT_TRUE(listed.count(feature)) << feature << " is not listed";
        }
    }
}

TEST(FeatureToolTest, ListsEveryFeatureOfThePlainDescription) { checkListing(camera(1)); }
TEST(FeatureToolTest, ListsEveryFeatureOfTheZippedDescription) { checkListing(camera(2, true)); }

TEST(FeatureToolTest, ReadsWritesAndExecutesInOrder) {
    const std::vector<vcam::CameraConfig> world{camera(1)};
    const Outcome r = run("u3v-feature", {"Width=1024", "Height=240", "Width", "PayloadSize", "ExposureTime=2500.4",
                                      "TriggerMode=On", "TriggerSource", "AcquisitionStart", "DeviceUserID=left eye"},
                      world);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "Width = 1024\nHeight = 240\nWidth = 1024\nPayloadSize = 245760\nExposureTime = 2500 us\n"
              "TriggerMode = On\nTriggerSource = Software\nAcquisitionStart executed\nDeviceUserID = left eye\n");
    EXPECT_EQ(r.err, "");
}

TEST(FeatureToolTest, SelectorsChunksAndLocksOfTheCamerasOwnFile) {
    const std::vector<vcam::CameraConfig> world{camera(1)};
    const Outcome r = run("u3v-feature",
                          {"GainSelector=DigitalAll", "Gain=7", "GainSelector=AnalogAll", "Gain", "GainSelector=DigitalAll",
                           "Gain", "LineSelector=Line1", "LineMode=Output", "LineSelector=Line0", "LineMode",
                           "LineSelector=Line1", "LineMode", "AcquisitionMode=MultiFrame", "AcquisitionFrameCount=5",
                           "ChunkModeActive=true", "ChunkSelector=FrameID", "ChunkEnable=true", "PayloadSize",
                           "TLParamsLocked=1", "ChunkEnable=false"},
                          world);
    EXPECT_EQ(r.out,
              "GainSelector = DigitalAll\nGain = 7 dB\nGainSelector = AnalogAll\nGain = 0 dB\n"
              "GainSelector = DigitalAll\nGain = 7 dB\nLineSelector = Line1\nLineMode = Output\n"
              "LineSelector = Line0\nLineMode = Input\nLineSelector = Line1\nLineMode = Output\n"
              "AcquisitionMode = MultiFrame\nAcquisitionFrameCount = 5\nChunkModeActive = true\n"
              "ChunkSelector = FrameID\nChunkEnable = true\n"
              "PayloadSize = 307224\nTLParamsLocked = 1\n");  // image, its tag, 8 bytes and a tag
    // With the transport parameters locked, what the payload depends on stays as it is.
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ChunkEnable"), std::string::npos) << r.err;
}

TEST(FeatureToolTest, RefusedWritesSayWhyInOneLine) {
    const std::vector<vcam::CameraConfig> world{camera(1)};
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"Width=9000"}, "Width: 9000 is above the maximum 8192"},
        {{"Height=0"}, "Height: 0 is below the minimum 1"},
        {{"Width=wide"}, "Width: 'wide' is not an integer"},
        {{"PayloadSize=1"}, "PayloadSize is read-only"},
        {{"DeviceModelName=X"}, "DeviceModelName is read-only"},
        {{"PixelFormat=Mono16"}, "PixelFormat has no entry 'Mono16' (its entries: Mono8, RGB8)"},
        {{"ExposureTime=-1"}, "ExposureTime: -1 is below the minimum 0"},
        {{"DeviceUserID=" + std::string(65, 'x')},
         "DeviceUserID: '" + std::string(65, 'x') + "' has 65 characters; the camera holds at most 64"},
        {{"AcquisitionStart=1"}, "AcquisitionStart: a command takes no value: give its name alone to execute it"},
        {{"Shutter"}, "the description file has no feature named 'Shutter'"},
    };
    for (const auto& [args, message] : cases) {
        const Outcome r = run("u3v-feature", args, world);
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_EQ(r.err, "u3v-feature: " + message + "\n");
        EXPECT_EQ(r.out, "");
    }
    const Outcome partial = run("u3v-feature", {"Height=12", "Width=9999", "Height=13"}, world);
    EXPECT_EQ(partial.status, 1);
    EXPECT_EQ(partial.out, "Height = 12\n");  // the first failure stops the rest
}

TEST(FeatureToolTest, DescriptionFromAFile) {
    const std::vector<vcam::CameraConfig> world{camera(1)};
    Scratch scratch;
    // The camera takes widths up to 8192; this description allows less, and says so first.
    writeFile(scratch / "tight.xml",
              "<RegisterDescription ModelName=\"T\" VendorName=\"T\">"
              "<Category Name=\"Root\"><pFeature>Width</pFeature><pFeature>Lut</pFeature>"
              "<pFeature>Ghost</pFeature><pFeature>Lost</pFeature></Category>"
              "<Integer Name=\"Width\"><pValue>WidthReg</pValue><Min>8</Min><Max>1000</Max><Inc>8</Inc></Integer>"
              "<IntReg Name=\"WidthReg\"><Address>0x50000</Address><Length>4</Length><AccessMode>RW</AccessMode>"
              "<pPort>Device</pPort></IntReg>"
              "<ConfRom Name=\"Lut\"><Address>0x60000</Address><Length>64</Length></ConfRom>"
              "<Integer Name=\"Lost\"><pValue>Nowhere</pValue></Integer>"
              "<Port Name=\"Device\"/></RegisterDescription>");
    const std::string tight = (scratch / "tight.xml").string();

    const Outcome refused = run("u3v-feature", {"--xml", tight, "Width=2000"}, world);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "u3v-feature: Width: 2000 is above the maximum 1000\n");
    const Outcome increment = run("u3v-feature", {"--xml", tight, "Width=804"}, world);
    EXPECT_EQ(increment.err, "u3v-feature: Width: 804 is not the minimum 8 plus a multiple of the increment 8\n");
    const Outcome accepted = run("u3v-feature", {"--xml", tight, "Width=800"}, world);
    EXPECT_EQ(accepted.status, 0) << accepted.err;
    EXPECT_EQ(accepted.out, "Width = 800\n");

    // The listing goes on past what it cannot read, then fails.
    const Outcome list = run("u3v-feature", {"--xml", tight}, world);
    EXPECT_EQ(list.status, 1);
    const std::vector<std::string> out = lines(list.out);
    ASSERT_EQ(out.size(), 4u) << list.out;  // the Root's features are the top level
    EXPECT_EQ(out[0], "Width  Integer  RW  640");
    EXPECT_EQ(out[1], "Lut    ConfRom  --  (node type not supported)");
    EXPECT_EQ(out[2], "Ghost  ?            (not in the description file)");
    EXPECT_EQ(out[3], "Lost   Integer      (error: Lost: <pValue> names 'Nowhere', which is not in the description file)");
    EXPECT_EQ(list.err, "u3v-feature: 2 feature(s) could not be read\n");

    writeFile(scratch / "broken.xml", "<RegisterDescription><Integer Name=\"A\"></RegisterDescription>");
    const Outcome broken = run("u3v-feature", {"--xml", (scratch / "broken.xml").string()}, world);
    EXPECT_EQ(broken.status, 1);
    EXPECT_EQ(broken.err.rfind("u3v-feature: the description file is not well-formed XML: line 1: ", 0), 0u)
        << broken.err;
    EXPECT_EQ(lines(broken.err).size(), 1u);

    const Outcome missing = run("u3v-feature", {"--xml", (scratch / "none.xml").string()}, world);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "u3v-feature: cannot open " + (scratch / "none.xml").string() + ": No such file or directory\n");
}

TEST(FeatureToolTest, DeeplyNestedCategoriesEndInAnErrorNotACrash) {
    Scratch scratch;
    std::string xml = "<RegisterDescription><Category Name=\"Root\"><pFeature>C0</pFeature></Category>";
    for (int i = 0; i < 1000; ++i)
        xml += "<Category Name=\"C" + std::to_string(i) + "\"><pFeature>C" + std::to_string(i + 1) + "</pFeature></Category>";
    xml += "<Port Name=\"Device\"/></RegisterDescription>";
    writeFile(scratch / "deep.xml", xml);
    const Outcome r = run("u3v-feature", {"--xml", (scratch / "deep.xml").string()}, {camera(1)});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "u3v-feature: 1 feature(s) could not be read\n");
    EXPECT_NE(r.out.find("C64  Category      (categories nested too deeply)"), std::string::npos);
}

TEST(FeatureToolTest, InfoShowsLimitsAndEntries) {
    const Outcome r = run("u3v-feature", {"--info", "Width", "TriggerMode"}, {camera(1)});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Width\n  type       Integer (Integer)\n  access     RW\n  value      640\n"
                         "  minimum    1\n  maximum    8192\n  increment  1\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  entries    Off, On\n"), std::string::npos) << r.out;
}

}  // namespace

namespace {

// A description given by file, over the camera's RAM at 0x100000: a raw table, a selector
// with indexed values, and a listing that shows its cost.
const char kTableFile[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<RegisterDescription ModelName=\"T\" VendorName=\"T\" xmlns=\"http://www.genicam.org/GenApi/Version_1_1\">\n"
    "  <Category Name=\"Root\"><pFeature>LUTValueAll</pFeature><pFeature>LUTSelector</pFeature>"
    "<pFeature>LUTValue</pFeature><pFeature>LUTEnable</pFeature></Category>\n"
    "  <Register Name=\"LUTValueAll\"><ToolTip>The whole table.</ToolTip><Address>0x100000</Address>"
    "<Length>20</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></Register>\n"
    "  <Enumeration Name=\"LUTSelector\"><EnumEntry Name=\"Luminance\"><Value>0</Value></EnumEntry>"
    "<EnumEntry Name=\"Red\"><Value>1</Value></EnumEntry><Value>0</Value></Enumeration>\n"
    "  <Integer Name=\"LUTValue\"><pIndex>LUTSelector</pIndex><pValueIndexed Index=\"0\">LumReg</pValueIndexed>"
    "<ValueDefault>9</ValueDefault></Integer>\n"
    "  <IntReg Name=\"LumReg\"><Address>0x100000</Address><Length>4</Length><AccessMode>RW</AccessMode>"
    "<pPort>Device</pPort></IntReg>\n"
    "  <Boolean Name=\"LUTEnable\"><pValue>EnableReg</pValue></Boolean>\n"
    "  <MaskedIntReg Name=\"EnableReg\"><Address>0x100000</Address><Length>4</Length><AccessMode>RW</AccessMode>"
    "<pPort>Device</pPort><Bit>0</Bit></MaskedIntReg>\n"
    "  <Port Name=\"Device\"/>\n</RegisterDescription>\n";

TEST(FeatureToolTest, RegistersDumpAsHexAndLoadFromAFile) {
    Scratch scratch;
    writeFile(scratch / "lut.xml", kTableFile);
    std::string table;
    for (int i = 0; i < 20; ++i) table += static_cast<char>(i * 3 + 1);
    writeFile(scratch / "lut.bin", table);
    const std::string xml = (scratch / "lut.xml").string();
    const Outcome r = run("u3v-feature", {"--xml", xml, "LUTValueAll=@" + (scratch / "lut.bin").string(), "LUTValueAll",
                                          "LUTValue"},
                          {camera(1)});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "LUTValueAll: 20 bytes written\n"
              "00000000  01 04 07 0A 0D 10 13 16 19 1C 1F 22 25 28 2B 2E\n"
              "00000010  31 34 37 3A\n"
              "LUTValue = 168231937\n");  // 0x0A070401, the first four bytes

    writeFile(scratch / "short.bin", "abc");
    const Outcome shortFile = run("u3v-feature", {"--xml", xml, "LUTValueAll=@" + (scratch / "short.bin").string()},
                                  {camera(1)});
    EXPECT_EQ(shortFile.status, 1);
    EXPECT_EQ(shortFile.err, "u3v-feature: LUTValueAll has 20 bytes; 3 were given\n");
}

TEST(FeatureToolTest, InfoShowsTheSelectorAndStatsCountTheReads) {
    Scratch scratch;
    writeFile(scratch / "lut.xml", kTableFile);
    const std::string xml = (scratch / "lut.xml").string();
    const Outcome info = run("u3v-feature", {"--xml", xml, "--info", "LUTValue"}, {camera(1)});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("  selector   LUTSelector\n    0: LumReg\n    default: 9\n"), std::string::npos) << info.out;

    // Three features on one register: the listing reads it once.
    const Outcome list = run("u3v-feature", {"--xml", xml, "--stats"}, {camera(1)});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("LUTValueAll  Register     RW  00000000000000000000000000000000... (20 bytes)"),
              std::string::npos)
        << list.out;
    EXPECT_EQ(list.err, "reads: 1\ndistinct registers read: 1\nwrites: 0\n");
}

}  // namespace
