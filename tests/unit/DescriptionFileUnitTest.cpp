// The description file's pieces that need no camera: the saved copy's name and the
// unpacking of zip archives (built here with libzip).
#include <gtest/gtest.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "control/DescriptionFile.h"

using tessoral::descriptionFilePath;
using tessoral::safeFileNamePart;
using tessoral::unzipFirstMember;

namespace {

struct Member {
    std::string name;
    std::string content;
    bool deflate = true;
};

std::vector<uint8_t> makeArchive(const std::vector<Member>& members) {
    const std::string path = std::filesystem::temp_directory_path() /
                             ("tessoral-unit-" + std::to_string(getpid()) + ".bin");
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    EXPECT_NE(archive, nullptr);
    if (archive == nullptr) return {};
    for (const Member& m : members) {
        zip_source_t* source = zip_source_buffer(archive, m.content.data(), m.content.size(), 0);
        const zip_int64_t index = zip_file_add(archive, m.name.c_str(), source, 0);
        EXPECT_GE(index, 0);
        zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                                 m.deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE, 0);
    }
    EXPECT_EQ(zip_close(archive), 0);
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::filesystem::remove(path);
    return bytes;
}

void putLe32(std::vector<uint8_t>& bytes, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t getLe32(const std::vector<uint8_t>& bytes, size_t at) {
    return uint32_t{bytes.at(at)} | uint32_t{bytes.at(at + 1)} << 8 |
           uint32_t{bytes.at(at + 2)} << 16 | uint32_t{bytes.at(at + 3)} << 24;
}

// Rewrites a field of the first member in both its local header and its central entry.
enum class Field { Crc, UncompressedSize };
void patch(std::vector<uint8_t>& archive, Field field, uint32_t value) {
    const size_t local = field == Field::Crc ? 14 : 22;
    putLe32(archive, local, value);
    const uint8_t central[] = {'P', 'K', 1, 2};
    const auto at = std::search(archive.begin(), archive.end(), std::begin(central), std::end(central));
    ASSERT_NE(at, archive.end());
    putLe32(archive, static_cast<size_t>(at - archive.begin()) + (field == Field::Crc ? 16 : 24), value);
}

struct Unzipped {
    uint16_t status;
    std::string text;
    std::string logged;  // the device log's last message
};

std::string lastLogged;
int logMessage(uint8_t, const char* text) {
    lastLogged = text;
    return 0;
}

// The failure messages go to the device log, never to the program's standard output.
Unzipped unzip(const std::vector<uint8_t>& archive) {
    std::unique_ptr<uint8_t[]> out;
    uint32_t size = 0;
    tessoral::DeviceHandle device;
    device.LogCallback = logMessage;
    device.LogMask = U3V_LOG_ERROR;
    lastLogged.clear();
    testing::internal::CaptureStdout();
    const uint16_t status = unzipFirstMember(archive.data(), archive.size(), out, size, &device);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    Unzipped result{status, {}, lastLogged};
    if (status == 0) {
        result.text.assign(reinterpret_cast<const char*>(out.get()), size);
        EXPECT_EQ(out[size], 0) << "terminated for text users";
    }
    return result;
}

}  // namespace

TEST(DescriptionFileName, DeviceStringsBecomeHarmlessNameParts) {
    const std::pair<const char*, const char*> cases[] = {
        {"Tessoral Virtual", "Tessoral Virtual"},
        {"../..", ".._.."},
        {"a/b\\c", "a_b_c"},
        {"..", "_"},
        {".", "_"},
        {"", "_"},
        {"tab\there\x7f", "tab_here_"},
        {"...", "..."},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(safeFileNamePart(in, 64), out) << in;

    char unterminated[64];
    std::memset(unterminated, 'A', sizeof unterminated);
    EXPECT_EQ(safeFileNamePart(unterminated, sizeof unterminated), std::string(64, 'A'));
}

TEST(DescriptionFileName, PathThatDoesNotFitIsRefusedNotCut) {
    char path[260];
    // "<dir>/v-m.xml" is the directory plus 8 characters; 259 fit beside the terminator.
    const std::string fits(251, 'd');
    ASSERT_TRUE(descriptionFilePath(fits.c_str(), "v", "m", path));
    EXPECT_EQ(std::string(path), fits + "/v-m.xml");
    const std::string tooLong(252, 'd');
    EXPECT_FALSE(descriptionFilePath(tooLong.c_str(), "v", "m", path));

    ASSERT_TRUE(descriptionFilePath("/lib", "../x", "y/..", path));
    EXPECT_EQ(std::string(path), "/lib/.._x-y_...xml");
}

TEST(Unzip, BrokenArchivesFailWithTheirMessage) {
    const std::string extractFailed = "mz_zip_reader_extract_file_to_heap() failed!";
    const std::string xml(4000, 'x');
    const auto good = makeArchive({{"c.xml", xml, true}, {"d.xml", "<d/>", false}});
    ASSERT_EQ(unzip(good).status, 0);
    ASSERT_EQ(unzip(good).text, xml);

    const std::vector<uint8_t> notZip = {'<', '?', 'x', 'm', 'l'};
    EXPECT_EQ(unzip(notZip).logged, "mz_zip_reader_init_file() failed!");
    EXPECT_EQ(unzip(notZip).status, U3V_ERR_XML_UNZIP);

    // An archive of no members: only the end-of-central-directory record.
    std::vector<uint8_t> noMembers(22, 0);
    putLe32(noMembers, 0, 0x06054b50);
    const Unzipped none = unzip(noMembers);
    EXPECT_EQ(none.status, U3V_ERR_XML_UNZIP);
    EXPECT_EQ(none.logged, "mz_zip_reader_file_stat() failed!");

    // Recorded sizes that the data does not bear out, and a bad checksum.
    for (const uint32_t size : {4001u, 3999u, 100u, 0xFFFFFFu}) {
        auto lying = good;
        patch(lying, Field::UncompressedSize, size);
        const Unzipped result = unzip(lying);
        EXPECT_EQ(result.status, U3V_ERR_XML_UNZIP) << size;
        EXPECT_EQ(result.logged, extractFailed) << size;
    }
    auto badCrc = good;
    patch(badCrc, Field::Crc, getLe32(good, 14) ^ 1);
    EXPECT_EQ(unzip(badCrc).status, U3V_ERR_XML_UNZIP);
}

TEST(Unzip, MemberLargerThanTheLibraryAcceptsIsRefused) {
    const std::string huge(tessoral::kMaxUnzippedXmlSize + 1, ' ');
    const Unzipped result = unzip(makeArchive({{"huge.xml", huge, true}}));
    EXPECT_EQ(result.status, U3V_ERR_XML_UNZIP);
    EXPECT_EQ(result.logged, "mz_zip_reader_extract_file_to_heap() failed!");
}
