// Files as cameras send them (byte-order mark, CRLF, a whole file on a few very long
// lines, the schema namespaces), and the engine's choices on corner cases of real files.
#include <gtest/gtest.h>

#include <cmath>

#include "CameraFile.h"

using testfile::CountingPort;
using testfile::errorOf;

namespace {

std::string features(int n) {
    std::string body = "  <Category Name=\"Root\" NameSpace=\"Standard\">";
    for (int i = 0; i < n; ++i) body += "<pFeature>Feature" + std::to_string(i) + "</pFeature>";
    body += "</Category>";
    for (int i = 0; i < n; ++i) {
        const std::string number = std::to_string(i);
        body.append("<Integer Name=\"Feature").append(number).append("\" NameSpace=\"Custom\"><ToolTip>Feature number ");
        body.append(number).append(" of a long file written on one line.</ToolTip><Visibility>Expert</Visibility>");
        body.append("<Value>").append(number).append("</Value></Integer>");
    }
    return body;
}

TEST(FileShapeTest, ByteOrderMarkCrlfAndVeryLongLinesAreRead) {
    CountingPort port;
    std::string file = "\xEF\xBB\xBF";
    for (char c : testfile::cameraFile(features(2000))) {
        if (c == '\n') file.push_back('\r');
        file.push_back(c);
    }
    ASSERT_GT(file.size(), 200000u);
    auto map = genicam::NodeMap::parse(file, port);
    EXPECT_EQ(map->root()->features().size(), 2000u);
    EXPECT_EQ(map->node("Feature1999").intValue(), 1999);
    EXPECT_EQ(map->modelName(), "TestModel");
}

TEST(FileShapeTest, TheSchemaNamespacesAsTheyOccur) {
    CountingPort port;
    for (const char* ns : {"http://www.genicam.org/GenApi/Version_1_0", "http://www.genicam.org/GenApi/Version_1_1"}) {
        auto map = genicam::NodeMap::parse(testfile::cameraFile(features(3), ns), port);
        EXPECT_EQ(map->node("Feature2").intValue(), 2) << ns;
    }
    // A prefixed namespace instead of the default one.
    const std::string prefixed =
        "<?xml version=\"1.0\"?>\n<g:RegisterDescription ModelName=\"P\" VendorName=\"V\" "
        "xmlns:g=\"http://www.genicam.org/GenApi/Version_1_1\">\n"
        "  <g:Integer Name=\"Width\"><g:Value>64</g:Value></g:Integer>\n</g:RegisterDescription>\n";
    auto map = genicam::NodeMap::parse(prefixed, port);
    EXPECT_EQ(map->node("Width").intValue(), 64);
}

const std::string kCorners =
    "  <SwissKnife Name=\"ExposureMaxFormula\">\n    <pVariable Name=\"R\">LineRate</pVariable>\n"
    "    <Formula>1000000 / R</Formula>\n  </SwissKnife>\n"
    "  <SwissKnife Name=\"Undefined\">\n    <pVariable Name=\"R\">LineRate</pVariable>\n"
    "    <Formula>(R - R) / R</Formula>\n  </SwissKnife>\n"
    "  <Integer Name=\"LineRate\"><Value>0</Value></Integer>\n"
    "  <Float Name=\"ExposureTime\" NameSpace=\"Standard\">\n    <Value>100</Value>\n    <Min>10</Min>\n"
    "    <pMax>Undefined</pMax>\n  </Float>\n"
    "  <Float Name=\"AcquisitionFrameRate\">\n    <Value>10</Value>\n    <Min>1</Min>\n    <pMax>ExposureMaxFormula</pMax>\n"
    "  </Float>\n"
    "  <Integer Name=\"OffsetY\">\n    <pValue>OffsetYReg</pValue>\n    <pInc>OffsetYIncReg</pInc>\n  </Integer>\n" +
    testfile::intReg("OffsetYReg", 0x10000) + testfile::intReg("OffsetYIncReg", 0x10004, "RO") +
    "  <Integer Name=\"FixedStep\"><Value>4</Value><Inc>0</Inc></Integer>\n"
    "  <Converter Name=\"Ratio\">\n    <FormulaTo>FROM</FormulaTo>\n    <FormulaFrom>TO / (TO - TO)</FormulaFrom>\n"
    "    <pValue>RatioRaw</pValue>\n  </Converter>\n"
    "  <Float Name=\"RatioRaw\"><Value>0</Value><Min>0</Min><Max>0</Max></Float>\n";

TEST(FileShapeTest, LimitsThatAreNoNumberRefuseEveryWrite) {
    CountingPort port;
    auto map = genicam::NodeMap::parse(testfile::cameraFile(kCorners), port);
    // A float formula dividing by zero gives what floating point gives.
    EXPECT_TRUE(std::isinf(map->node("ExposureMaxFormula").floatValue()));
    EXPECT_TRUE(std::isnan(map->node("Undefined").floatValue()));
    // An infinite maximum admits any finite value; a NaN maximum admits none.
    map->node("AcquisitionFrameRate").setFloat(1e9);
    EXPECT_EQ(errorOf([&] { map->node("ExposureTime").setFloat(50); }),
              "ExposureTime has a limit that is not a number, so no value can be checked");
    EXPECT_DOUBLE_EQ(map->node("ExposureTime").floatValue(), 100);
    EXPECT_EQ(errorOf([&] { map->node("Ratio").setFloat(0); }),
              "Ratio has a limit that is not a number, so no value can be checked");
    EXPECT_EQ(errorOf([&] { map->node("AcquisitionFrameRate").setFloat(NAN); }),
              "AcquisitionFrameRate: the value must be a finite number");
}

TEST(FileShapeTest, AnIncrementOfZeroFromTheCameraMeansAnyStep) {
    CountingPort port;
    auto map = genicam::NodeMap::parse(testfile::cameraFile(kCorners), port);
    EXPECT_EQ(map->node("OffsetY").intInc(), 1);
    map->node("OffsetY").setInt(3);
    EXPECT_EQ(port.get32(0x10000), 3u);
    port.set32(0x10004, 2);
    EXPECT_EQ(errorOf([&] { map->node("OffsetY").setInt(5); }),
              "OffsetY: 5 is not the minimum 0 plus a multiple of the increment 2");
    // Written so in the file, it is a broken file.
    EXPECT_EQ(errorOf([&] { map->node("FixedStep").intInc(); }), "FixedStep: <Inc> is 0; it must be at least 1");
}

}  // namespace

namespace {

// Each level uses the one below three times: 3^20 evaluations, none of them deep.
TEST(FileShapeTest, ReferencesThatFanOutEndInAnErrorNotAnEndlessEvaluation) {
    std::string body = "  <Integer Name=\"Level0\"><Value>1</Value></Integer>\n";
    for (int i = 1; i <= 20; ++i) {
        const std::string below = "Level" + std::to_string(i - 1);
        body += "  <IntSwissKnife Name=\"Level" + std::to_string(i) + "\"><pVariable Name=\"A\">" + below +
                "</pVariable><Formula>A + A + A</Formula></IntSwissKnife>\n";
    }
    CountingPort port;
    auto map = genicam::NodeMap::parse(testfile::cameraFile(body), port);
    EXPECT_EQ(map->node("Level5").intValue(), 243);
    EXPECT_NE(errorOf([&] { map->node("Level20").intValue(); }).find("steps to evaluate"), std::string::npos);
    EXPECT_EQ(map->node("Level5").intValue(), 243);  // the budget is per use
}

}  // namespace
