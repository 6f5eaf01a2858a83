// The description file through the real library on the virtual camera: reading it via
// the manifest (chunks, retries, zip, saved copy) and writing a new one.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/ControlTestSupport.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr uint64_t kFile = 0x100000;      // camera RAM
constexpr uint64_t kManifest = 0x1F0000;  // camera RAM

std::vector<uint8_t> textOf(const std::string& s) { return {s.begin(), s.end()}; }

// length bytes of XML-looking text, different for each seed.
std::vector<uint8_t> xmlOf(size_t length, int seed) {
    const std::string tail = "</x>";
    std::string s = "<?xml version=\"1.0\"?><x>";
    while (s.size() + tail.size() < length) s += static_cast<char>('a' + (seed + s.size()) % 26);
    s += tail;
    s.resize(length);
    return textOf(s);
}

bool logged(uint8_t level, const std::string& text) {
    const auto messages = LogCapture::messages();
    return std::find(messages.begin(), messages.end(), LogMessage{level, text}) != messages.end();
}

// Pieces of the file read after the two manifest reads.
std::vector<SentCommand> chunkReads() {
    auto commands = sentCommands();
    EXPECT_GE(commands.size(), 2u);
    if (commands.size() < 2) return {};
    EXPECT_EQ(commands[0].address, 0x01D0u);
    EXPECT_EQ(commands[0].readLength, 8);
    EXPECT_EQ(commands[1].readLength, 72);
    return {commands.begin() + 2, commands.end()};
}

std::vector<int32_t>& progressValues() {
    static std::vector<int32_t> values;
    return values;
}
int recordProgress(int32_t value) {
    progressValues().push_back(value);
    return 0;
}

std::string sha1sumOf(const fs::path& path) {
    const std::string command = "sha1sum '" + path.string() + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return {};
    char line[128] = {};
    const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
    pclose(pipe);
    return got ? std::string(line, 40) : std::string();
}

std::string hex(const uint8_t* bytes, size_t length) {
    std::string out;
    char two[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        out += two;
    }
    return out;
}

class DescriptionFileTest : public ControlTest {
protected:
    void* openCamera(const vcam::CameraConfig& config = camera(1)) {
        plugCamera(config);
        return openControl();
    }

    void plantFile(const std::vector<uint8_t>& bytes, bool zipped = false, uint64_t count = 1) {
        poke(kFile, bytes);
        plantManifest(kManifest, count, kFile, bytes.size(), zipped);
    }

    // An archive made by the zip tool from the members, in the order given.
    std::vector<uint8_t> zipArchive(const std::vector<std::pair<std::string, std::string>>& members) {
        const fs::path dir = scratch() / "archive";
        fs::create_directories(dir);
        std::string names;
        for (const auto& [name, content] : members) {
            writeFile(dir / name, textOf(content));
            names += " '" + name + "'";
        }
        const std::string command = "cd '" + dir.string() + "' && zip -q -X out.bin" + names;
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return readFile(dir / "out.bin");
    }

    static fs::path savedCopy(const std::string& vendor, const std::string& model) {
        return fs::path(TESSORAL_LIBRARY_DIR) / (vendor + "-" + model + ".xml");
    }

    std::vector<uint8_t> manifestTable() { return peek(kManifest, 72); }
};

}  // namespace

TEST_F(DescriptionFileTest, FileIsReadInWordAlignedChunksOf256) {
    void* control = openCamera();
    const std::vector<std::pair<size_t, std::vector<uint16_t>>> cases = {
        {1000, {256, 256, 256, 232}},
        {1001, {256, 256, 256, 236}},  // 233 rounded up to whole words
    };
    for (const auto& [length, chunks] : cases) {
        SCOPED_TRACE(length);
        vcam::clearCalls();
        LogCapture::clear();
        const std::vector<uint8_t> file = xmlOf(length, static_cast<int>(length));
        ASSERT_EQ(file.size(), length);
        plantFile(file);

        uint8_t* buffer = nullptr;
        uint32_t size = 0;
        ASSERT_EQ(U3V_ReadXml(control, &buffer, &size, 0), U3V_OK);
        ASSERT_EQ(size, length);
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + size), file);

        const auto reads = chunkReads();
        std::vector<uint16_t> lengths;
        uint64_t expectedAddress = kFile;
        for (const SentCommand& c : reads) {
            lengths.push_back(c.readLength);
            EXPECT_EQ(c.address, expectedAddress);
            expectedAddress += c.readLength;
        }
        EXPECT_EQ(lengths, chunks);
        char info[64];
        std::snprintf(info, sizeof info, "Read %zu bytes from xml memory %llX", length,
                      static_cast<unsigned long long>(kFile));
        EXPECT_TRUE(logged(U3V_LOG_INFO, info));
        EXPECT_TRUE(logged(U3V_LOG_INFO, "Read xml memory successfully."));
    }
}

TEST_F(DescriptionFileTest, FourFailedChunksAreRetriedAndTheFifthEndsTheRead) {
    void* control = openCamera();
    const std::vector<uint8_t> file = xmlOf(1000, 3);
    plantFile(file);
    auto failAt = [&](uint64_t address, int count) {
        vcam::ControlFault fault;
        fault.kind = vcam::ControlFaultKind::WrongRequestId;
        fault.address = address;
        fault.count = count;
        vcam::addControlFault(camera_, fault);
    };
    failAt(kFile, 1);
    failAt(kFile + 256, 2);
    failAt(kFile + 768, 1);

    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    ASSERT_EQ(U3V_ReadXml(control, &buffer, &size, 0), U3V_OK);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + size), file);
    std::vector<uint64_t> addresses;
    for (const SentCommand& c : chunkReads()) addresses.push_back(c.address - kFile);
    EXPECT_EQ(addresses, (std::vector<uint64_t>{0, 0, 256, 256, 256, 512, 768, 768}));
    const auto texts = LogCapture::texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "U3V_ReadXml: C00A"), 4);

    vcam::clearCalls();
    LogCapture::clear();
    failAt(kFile, 2);
    failAt(kFile + 512, 3);
    uint8_t* before = buffer;
    EXPECT_EQ(U3V_ReadXml(control, &buffer, &size, 0), U3V_ERR_XML_READ);
    EXPECT_EQ(buffer, before) << "out arguments untouched on failure";
    EXPECT_EQ(size, 1000u);
    EXPECT_EQ(LogCapture::texts().back(), "U3V_ReadXml: C00C");
    // Chunk 0 fails twice, chunk 1 goes, chunk 2 fails three times: that was the fifth.
    EXPECT_EQ(chunkReads().size(), 7u);
}

TEST_F(DescriptionFileTest, ManifestEntriesThatAreOddOrUntrusted) {
    void* control = openCamera();
    uint8_t* buffer = nullptr;
    uint32_t size = 0;

    // Count 0 with a filled-in first entry: read as if the count were 1.
    const std::vector<uint8_t> file = xmlOf(100, 1);
    plantFile(file, false, 0);
    ASSERT_EQ(U3V_ReadXml(control, &buffer, &size, 0), U3V_OK);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + size), file);
    EXPECT_TRUE(logged(U3V_LOG_WARNING, "Manifest table count == 0, using defaut table."));

    struct Case {
        uint64_t size;
        uint16_t expected;
    };
    const Case cases[] = {
        {0, U3V_ERR_XML_EMPTY},
        {(16u << 20) + 1, U3V_ERR_XML_READ},      // more than any description file
        {0xFFFFFFFFu, U3V_ERR_XML_READ},
        {(uint64_t{1} << 32) + 16, U3V_ERR_XML_READ},  // not cut down to its low 16
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        vcam::clearCalls();
        LogCapture::clear();
        plantManifest(kManifest, 1, kFile, c.size, false);
        uint8_t* out = nullptr;
        uint32_t outSize = 5;
        EXPECT_EQ(U3V_ReadXml(control, &out, &outSize, 0), c.expected);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(outSize, 5u);
        EXPECT_TRUE(chunkReads().empty()) << "refused before reading or allocating";
        char text[32];
        std::snprintf(text, sizeof text, "U3V_ReadXml: %04X", c.expected);
        EXPECT_TRUE(logged(U3V_LOG_ERROR, text));
    }

    // A manifest that cannot be read ends the call with the transaction's status.
    vcam::ControlFault fault;
    fault.kind = vcam::ControlFaultKind::WrongPrefix;
    fault.address = kManifest;
    vcam::addControlFault(camera_, fault);
    LogCapture::clear();
    EXPECT_EQ(U3V_ReadXml(control, &buffer, &size, 0), U3V_ERR_ACK_PREFIX);
    EXPECT_TRUE(logged(U3V_LOG_ERROR, "U3V_ReadXml: C008"));
}

TEST_F(DescriptionFileTest, ZippedFileIsSavedAsTheArchiveAndHandedOutUnzipped) {
    void* control = openCamera();
    const std::string first = "<?xml version=\"1.0\"?><RegisterDescription>first</RegisterDescription>";
    // The first member wins, whatever its name.
    const std::vector<uint8_t> archive =
        zipArchive({{"z-first.xml", first}, {"a-second.xml", "<?xml version=\"1.0\"?><b/>"}});
    plantFile(archive, true);
    const fs::path saved = savedCopy("Tessoral Virtual", "VCam-1");
    fs::remove(saved);

    testing::internal::CaptureStdout();
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    const uint16_t status = U3V_ReadXml(control, &buffer, &size, 1);
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, U3V_OK);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer), size), first);
    EXPECT_EQ(printed, "");
    ASSERT_TRUE(fs::exists(saved));
    EXPECT_EQ(readFile(saved), archive);
    fs::remove(saved);

    // Not an archive at all although the manifest says so.
    plantFile(xmlOf(300, 2), true);
    LogCapture::clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(U3V_ReadXml(control, &buffer, &size, 0), U3V_ERR_XML_UNZIP);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "the program's output is its own";
    EXPECT_TRUE(logged(U3V_LOG_ERROR, "mz_zip_reader_init_file() failed!"));
    const std::vector<std::string> trace = SyslogCapture::texts();
    EXPECT_NE(std::find(trace.begin(), trace.end(), "mz_zip_reader_init_file() failed!\r\n"),
              trace.end());
    EXPECT_TRUE(logged(U3V_LOG_ERROR, "U3V_ReadXml: C01D"));
    EXPECT_FALSE(fs::exists(saved)) << "nothing saved without being asked";
}

// Vendor and model come from the device: whatever they say, the copy lands in the
// library's own directory.
TEST_F(DescriptionFileTest, UnsafeVendorAndModelNamesStayInTheLibraryDirectory) {
    struct Case {
        std::string vendor, model, expectedName;
    };
    const Case cases[] = {
        {"../../evil", "x", ".._.._evil-x.xml"},
        {"a", "..\\b/c", "a-.._b_c.xml"},
        {"..", ".", "_-_.xml"},
        {"tab\there", "", "tab_here-_.xml"},
    };
    const fs::path libraryDir = TESSORAL_LIBRARY_DIR;
    const fs::path escaped = libraryDir / ".." / ".." / "evil-x.xml";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.vendor);
        vcam::reset();
        vcam::CameraConfig config = camera(1);
        config.identity.vendor = c.vendor;
        config.identity.model = c.model;
        void* control = openCamera(config);
        const std::vector<uint8_t> file = xmlOf(64, 4);
        plantFile(file);
        const fs::path expected = libraryDir / c.expectedName;
        fs::remove(expected);

        uint8_t* buffer = nullptr;
        uint32_t size = 0;
        ASSERT_EQ(U3V_ReadXml(control, &buffer, &size, 1), U3V_OK);
        ASSERT_TRUE(fs::exists(expected)) << expected;
        EXPECT_EQ(readFile(expected), file);
        fs::remove(expected);
        EXPECT_FALSE(fs::exists(escaped));
        EXPECT_EQ(closeControl(control), U3V_OK);
        EXPECT_EQ(closeDevice(device_), U3V_OK);
    }
}

TEST_F(DescriptionFileTest, WritingSendsChunksProgressAndAManifestWithTheDigest) {
    void* control = openCamera();
    const fs::path path = scratch() / "camera.xml";
    const std::vector<uint8_t> file = xmlOf(1300, 7);
    writeFile(path, file);
    progressValues().clear();

    ASSERT_EQ(U3V_WriteXml(control, path.c_str(), kFile, kManifest, 0x01020003, 0x0102,
                           &recordProgress),
              U3V_OK);
    EXPECT_EQ(progressValues(), (std::vector<int32_t>{0, 49, 98}));

    const auto commands = sentCommands();
    ASSERT_EQ(commands.size(), 4u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(commands[i].address, kFile + 512 * i);
        ASSERT_EQ(commands[i].data.size(), 512u);
    }
    // Past the file's end the last chunk carries zeros.
    EXPECT_TRUE(std::all_of(commands[2].data.begin() + 276, commands[2].data.end(),
                            [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(peek(kFile, 1300), file);

    EXPECT_EQ(commands[3].address, kManifest);
    const std::vector<uint8_t> table = manifestTable();
    EXPECT_EQ(commands[3].data, table);
    EXPECT_EQ(le64(&table[0]), 1u);
    EXPECT_EQ(le32(&table[8]), 0x01020003u);
    EXPECT_EQ(le32(&table[12]), 0x01020000u) << "schema 1.2, not zipped";
    EXPECT_EQ(le64(&table[16]), kFile);
    EXPECT_EQ(le64(&table[24]), 1300u);
    EXPECT_EQ(hex(&table[32], 20), sha1sumOf(path));
    EXPECT_TRUE(std::all_of(table.begin() + 52, table.end(), [](uint8_t b) { return b == 0; }));

    // And it reads back through that manifest.
    pokeLe64(0x01D0, kManifest);
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    ASSERT_EQ(U3V_ReadXml(control, &buffer, &size, 0), U3V_OK);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + size), file);
}

TEST_F(DescriptionFileTest, WritingWholeBlocksSendsNoExtraChunk) {
    void* control = openCamera();
    struct Case {
        size_t length;
        std::vector<int32_t> progress;
    };
    for (const Case& c : {Case{1024, {0, 49}}, Case{100, {0}}}) {
        SCOPED_TRACE(c.length);
        vcam::clearCalls();
        progressValues().clear();
        const fs::path path = scratch() / "block.xml";
        writeFile(path, xmlOf(c.length, 1));
        ASSERT_EQ(fs::file_size(path), c.length);

        ASSERT_EQ(U3V_WriteXml(control, path.c_str(), kFile, kManifest, 1, 0x0101, &recordProgress),
                  U3V_OK);
        EXPECT_EQ(progressValues(), c.progress);
        const auto commands = sentCommands();
        ASSERT_EQ(commands.size(), (c.length + 511) / 512 + 1);
        EXPECT_EQ(commands.back().address, kManifest);
        const auto table = manifestTable();
        EXPECT_EQ(le64(&table[24]), c.length);
        EXPECT_EQ(hex(&table[32], 20), sha1sumOf(path));
    }
}

// Only a file read whole gets a new manifest: an empty file (it would leave the camera
// without a description), a directory, or a file that gives other bytes than its length
// says are refused before anything is sent, and the camera keeps its old manifest.
TEST_F(DescriptionFileTest, WritingRefusesWhatCannotBeReadWhole) {
    void* control = openCamera();
    const fs::path empty = scratch() / "empty.xml";
    writeFile(empty, {});
    fs::create_directories(scratch() / "folder.xml");
    struct Case {
        std::string path;
        uint16_t status;
    };
    for (const Case& c : {Case{empty.string(), U3V_ERR_XML_EMPTY},
                          Case{(scratch() / "folder.xml").string(), U3V_ERR_XML_FILE_OPEN},
                          Case{"/proc/self/status", U3V_ERR_XML_FILE_OPEN}}) {
        SCOPED_TRACE(c.path);
        poke(kManifest, std::vector<uint8_t>(72, 0x5A));
        vcam::clearCalls();
        LogCapture::clear();
        EXPECT_EQ(U3V_WriteXml(control, c.path.c_str(), kFile, kManifest, 1, 0x0101, nullptr),
                  c.status);
        EXPECT_TRUE(sentCommands().empty());
        EXPECT_EQ(manifestTable(), std::vector<uint8_t>(72, 0x5A));
        char text[32];
        std::snprintf(text, sizeof text, "U3V_WriteXml: %04X", c.status);
        EXPECT_EQ(LogCapture::texts(), (std::vector<std::string>{text}));
    }
}

// A zipped description must hold a description: an empty first member, or a directory,
// is as empty as a manifest size of 0.
TEST_F(DescriptionFileTest, ZippedDescriptionWithoutContentIsEmpty) {
    void* control = openCamera();
    const fs::path dir = scratch() / "members";
    fs::create_directories(dir / "folder");
    writeFile(dir / "empty.xml", {});
    writeFile(dir / "real.xml", xmlOf(100, 1));
    for (const std::string first : {"empty.xml", "folder"}) {
        SCOPED_TRACE(first);
        fs::remove(dir / "out.bin");
        const std::string command =
            "cd '" + dir.string() + "' && zip -q -X out.bin " + first + " real.xml";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        plantFile(readFile(dir / "out.bin"), true);
        LogCapture::clear();
        uint8_t* buffer = nullptr;
        uint32_t size = 77;
        testing::internal::CaptureStdout();
        EXPECT_EQ(U3V_ReadXml(control, &buffer, &size, 0), U3V_ERR_XML_EMPTY);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_TRUE(logged(U3V_LOG_ERROR, "U3V_ReadXml: C00B"));
        EXPECT_EQ(buffer, nullptr);
        EXPECT_EQ(size, 77u);
    }
}

TEST_F(DescriptionFileTest, WriteChunksAreSplitForACameraWithShortCommands) {
    vcam::CameraConfig config = camera(1);
    config.maxCommandTransferLength = 276;  // 256 data bytes a command
    void* control = openCamera(config);
    const fs::path path = scratch() / "short.xml";
    const std::vector<uint8_t> file = xmlOf(700, 2);
    writeFile(path, file);
    ASSERT_EQ(U3V_WriteXml(control, path.c_str(), kFile, kManifest, 1, 0x0101, nullptr), U3V_OK);

    std::vector<uint64_t> addresses;
    for (const SentCommand& c : sentCommands()) {
        EXPECT_LE(c.data.size(), 256u);
        addresses.push_back(c.address);
    }
    EXPECT_EQ(addresses, (std::vector<uint64_t>{kFile, kFile + 256, kFile + 512, kFile + 768,
                                                kManifest}));
    EXPECT_EQ(peek(kFile, 700), file);
    EXPECT_EQ(le64(&manifestTable()[24]), 700u);
}

TEST_F(DescriptionFileTest, ZipMarkFollowsTheLetterCaseOfThePath) {
    void* control = openCamera();
    const fs::path dir = scratch();
    fs::create_directories(dir / "zipped");
    const std::vector<std::pair<fs::path, bool>> cases = {
        {dir / "camera.ZIP", true},
        {dir / "zipped" / "camera.xml", true},
        {dir / "camera.Zip", false},
        {dir / "camera.xml", false},
    };
    for (const auto& [path, zipped] : cases) {
        SCOPED_TRACE(path.string());
        writeFile(path, textOf("<x/>"));
        ASSERT_EQ(U3V_WriteXml(control, path.c_str(), kFile, kManifest, 1, 0x0203, nullptr), U3V_OK);
        EXPECT_EQ(le32(&manifestTable()[12]), 0x02030000u | (zipped ? 0x0400u : 0u)) << "schema 2.3";
    }
}

TEST_F(DescriptionFileTest, FailedWritesAreRetriedInPlaceUntilTheFifth) {
    void* control = openCamera();
    const fs::path path = scratch() / "retry.xml";
    const std::vector<uint8_t> file = xmlOf(1300, 5);
    writeFile(path, file);
    auto failAt = [&](uint64_t address, int count) {
        vcam::ControlFault fault;
        fault.kind = vcam::ControlFaultKind::Status;
        fault.status = 0x8003;
        fault.address = address;
        fault.count = count;
        vcam::addControlFault(camera_, fault);
    };

    failAt(kFile + 512, 1);
    progressValues().clear();
    ASSERT_EQ(U3V_WriteXml(control, path.c_str(), kFile, kManifest, 1, 0x0101, &recordProgress),
              U3V_OK);
    std::vector<uint64_t> addresses;
    for (const SentCommand& c : sentCommands()) addresses.push_back(c.address);
    EXPECT_EQ(addresses, (std::vector<uint64_t>{kFile, kFile + 512, kFile + 512, kFile + 1024,
                                                kManifest}));
    EXPECT_TRUE(logged(U3V_LOG_ERROR, "WriteMem [100200]: 8003"));
    EXPECT_EQ(progressValues().size(), 4u) << "one call per pass";
    EXPECT_EQ(peek(kFile, 1300), file);
    auto table = manifestTable();
    EXPECT_EQ(le64(&table[24]), 1300u);
    EXPECT_EQ(hex(&table[32], 20), sha1sumOf(path));

    // Five failures: the old manifest stays.
    poke(kManifest, std::vector<uint8_t>(72, 0x5A));
    failAt(kFile + 512, 5);
    LogCapture::clear();
    EXPECT_EQ(U3V_WriteXml(control, path.c_str(), kFile, kManifest, 1, 0x0101, nullptr),
              U3V_ERR_XML_WRITE);
    EXPECT_EQ(LogCapture::texts().back(), "U3V_WriteXml: C00E");
    EXPECT_EQ(manifestTable(), std::vector<uint8_t>(72, 0x5A));

    failAt(kManifest, 1);
    LogCapture::clear();
    EXPECT_EQ(U3V_WriteXml(control, path.c_str(), kFile, kManifest, 1, 0x0101, nullptr),
              U3V_ERR_MANIFEST_WRITE);
    EXPECT_EQ(LogCapture::texts().back(), "U3V_WriteXml: C00F");

    LogCapture::clear();
    vcam::clearCalls();
    EXPECT_EQ(U3V_WriteXml(control, (scratch() / "missing.xml").c_str(), kFile, kManifest, 1,
                           0x0101, nullptr),
              U3V_ERR_XML_FILE_OPEN);
    EXPECT_EQ(LogCapture::texts(), (std::vector<std::string>{"U3V_WriteXml: C00D"}));
    EXPECT_TRUE(sentCommands().empty());
}

TEST_F(DescriptionFileTest, NullArguments) {
    void* control = openCamera();
    uint8_t* buffer = nullptr;
    uint32_t size = 3;
    EXPECT_EQ(U3V_ReadXml(nullptr, &buffer, &size, 0), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_ReadXml(control, nullptr, &size, 0), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_ReadXml(control, &buffer, nullptr, 0), U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_WriteXml(nullptr, "/dev/null", kFile, kManifest, 1, 1, nullptr),
              U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(U3V_WriteXml(control, nullptr, kFile, kManifest, 1, 1, nullptr),
              U3V_ERR_INVALID_HANDLE);
    EXPECT_EQ(size, 3u);
    EXPECT_TRUE(vcam::calls().empty());
}
