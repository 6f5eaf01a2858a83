// u3v-xml and u3v-reg, run as programs on the virtual camera.
#include <gtest/gtest.h>

#include "ToolRunner.h"

using namespace tooltest;

namespace {

TEST(XmlToolTest, PlainDescriptionAsTheCameraStoresIt) {
    const std::vector<vcam::CameraConfig> world{camera(1)};
    const std::string stored = storedDescription(buildWorld(world)[0]);
    ASSERT_NE(stored.find("<RegisterDescription"), std::string::npos);

    const Outcome plain = run("u3v-xml", {}, world);
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.out, stored);
    EXPECT_EQ(plain.err, "");
    const Outcome raw = run("u3v-xml", {"--raw"}, world);
    EXPECT_EQ(raw.status, 0) << raw.err;
    EXPECT_EQ(raw.out, stored);
}

TEST(XmlToolTest, ZippedDescriptionUnpackedOrRaw) {
    const std::vector<vcam::CameraConfig> world{camera(1, true)};
    const std::string stored = storedDescription(buildWorld(world)[0]);
    const std::string xml = unzipSingleMember(stored);
    ASSERT_NE(xml.find("<RegisterDescription"), std::string::npos);

    Scratch scratch;
    const Outcome plain = run("u3v-xml", {"--output", (scratch / "d.xml").string()}, world);
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(plain.out, "");
    EXPECT_EQ(readFile(scratch / "d.xml"), xml);

    const Outcome raw = run("u3v-xml", {"--raw", "-o", (scratch / "d.zip").string()}, world);
    EXPECT_EQ(raw.status, 0) << raw.err;
    const std::string zip = readFile(scratch / "d.zip");
    EXPECT_EQ(zip, stored);
    EXPECT_EQ(unzipSingleMember(zip), xml);

    const Outcome unwritable = run("u3v-xml", {"--output", (scratch / "no/such/dir.xml").string()}, world);
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_EQ(lines(unwritable.err).size(), 1u);
    EXPECT_NE(unwritable.err.find("cannot create"), std::string::npos);
}

TEST(XmlToolTest, CameraChosenByGuidOrSerialNumber) {
    const std::vector<vcam::CameraConfig> world{camera(1), camera(2, true), camera(3)};
    const std::vector<int> ids = buildWorld(world);
    const std::string second = unzipSingleMember(storedDescription(ids[1]));
    const std::string third = storedDescription(ids[2]);
    ASSERT_NE(second, third);

    const Outcome byGuid = run("u3v-xml", {"--camera", "TT0000000002"}, world);
    EXPECT_EQ(byGuid.status, 0) << byGuid.err;
    EXPECT_EQ(byGuid.out, second);
    const Outcome bySerial = run("u3v-xml", {"--camera", "SN-00003"}, world);
    EXPECT_EQ(bySerial.status, 0) << bySerial.err;
    EXPECT_EQ(bySerial.out, third);
    const Outcome first = run("u3v-xml", {}, world);
    EXPECT_EQ(first.out, storedDescription(ids[0]));
}

TEST(RegToolTest, WritesReadBackInOrder) {
    const std::vector<vcam::CameraConfig> world{camera(1)};
    const int id = buildWorld(world)[0];
    const uint32_t width = peek32(id, 0x50000), height = peek32(id, 0x50004);

    const Outcome r = run("u3v-reg", {"0x50000", "0x50000=1024", "0x50000", "0x5000C", "327684=0x7", "0x50004"}, world);
    EXPECT_EQ(r.status, 0) << r.err;
    char expected[256];
    std::snprintf(expected, sizeof expected,
                  "0x00050000 = 0x%08X (%u)\n"
                  "0x00050000 = 0x00000400 (1024)\n"
                  "0x0005000C = 0x%08X (%u)\n"
                  "0x00050004 = 0x00000007 (7)\n",
                  width, width, 1024 * height, 1024 * height);
    EXPECT_EQ(r.out, expected);

    const Outcome wide = run("u3v-reg", {"--size", "8", "0x1D0", "--size", "2", "0x50000=0xFFFF", "0x50000"}, world);
    EXPECT_EQ(wide.status, 1);  // 65535 is beyond the camera's widest image
    EXPECT_NE(wide.err.find("0x8002"), std::string::npos) << wide.err;
    const Outcome manifest = run("u3v-reg", {"--size", "8", "0x1D0"}, world);
    char pointer[64];
    uint8_t raw[8];
    vcam::peek(id, 0x1D0, raw, 8);
    uint64_t p = 0;
    for (int i = 0; i < 8; ++i) p |= uint64_t{raw[i]} << (8 * i);
    std::snprintf(pointer, sizeof pointer, "0x000001D0 = 0x%016llX (%llu)\n", static_cast<unsigned long long>(p),
                  static_cast<unsigned long long>(p));
    EXPECT_EQ(manifest.out, pointer);
}

TEST(RegToolTest, DumpAndSaveMemory) {
    const std::vector<vcam::CameraConfig> world{camera(1)};
    const int id = buildWorld(world)[0];

    const Outcome dump = run("u3v-reg", {"--dump", "0x4", "20"}, world);
    EXPECT_EQ(dump.status, 0) << dump.err;
    EXPECT_EQ(dump.out,
              "00000004  41 63 6d 65 20 26 20 3c  4f 70 74 69 63 73 3e 00  |Acme & <Optics>.|\n"
              "00000014  00 00 00 00                                       |....|\n");

    Scratch scratch;
    const std::string stored = storedDescription(id);
    uint8_t pointer[8], entry[72];
    vcam::peek(id, 0x1D0, pointer, 8);
    uint64_t table = 0;
    for (int i = 0; i < 8; ++i) table |= uint64_t{pointer[i]} << (8 * i);
    vcam::peek(id, table, entry, 72);
    uint64_t file = 0;
    for (int i = 0; i < 8; ++i) file |= uint64_t{entry[16 + i]} << (8 * i);
    const Outcome save = run("u3v-reg", {"--save", std::to_string(file), std::to_string(stored.size()),
                                     (scratch / "saved").string()}, world);
    EXPECT_EQ(save.status, 0) << save.err;
    EXPECT_EQ(readFile(scratch / "saved"), stored);

    writeFile(scratch / "patch", "abcd");
    const Outcome load = run("u3v-reg", {"--load", std::to_string(file), (scratch / "patch").string()}, world);
    EXPECT_EQ(load.status, 1);  // the description file is read-only
    EXPECT_NE(load.err.find("0x8004"), std::string::npos) << load.err;
}

TEST(RegToolTest, FailuresAreOneLineAndNonZero) {
    const std::vector<vcam::CameraConfig> world{camera(1)};
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {{"0x60000"}, 1, "u3v-reg: reading 4 bytes at 0x60000 failed: 0x8003"},
        {{"0x5000C=1"}, 1, "u3v-reg: writing 4 bytes at 0x5000C failed: 0x8004"},
        {{"--size", "1", "0x50000=256"}, 2, "u3v-reg: value 256 does not fit 1 bytes"},
        {{"--size", "3", "0x50000"}, 2, "u3v-reg: --size must be 1, 2, 4 or 8"},
        {{"0x5000G"}, 2, "u3v-reg: address '0x5000G' is not a number"},
        {{}, 2, "u3v-reg: no ADDRESS given"},
        {{"--dump", "0x0", "0"}, 2, "u3v-reg: length must be 1 to"},
        {{"--dump", "0xFFFFFFFFFFFFFFFF", "2"}, 2, "u3v-reg: the range runs past the end"},
        {{"--dump", "0x0"}, 2, "u3v-reg: expected 2 arguments"},
        {{"--camera"}, 2, "u3v-reg: --camera needs a value"},
    };
    for (const Case& c : cases) {
        const Outcome r = run("u3v-reg", c.args, world);
        EXPECT_EQ(r.status, c.status) << c.message;
        EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
        EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
