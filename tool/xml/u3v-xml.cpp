// Writes a camera's GenICam description file to a file or standard output.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "ToolCommon.h"

namespace {

const char kUsage[] =
    "Usage: u3v-xml [--camera ID] [--raw] [--output FILE]\n"
    "Writes the camera's GenICam description file, unpacked, to FILE or standard output.\n"
    "\n"
    "  --camera ID    the camera with this GUID or serial number (default: the first camera)\n"
    "  --raw          the file exactly as the camera stores it: a zip archive on cameras\n"
    "                 that keep it zipped\n"
    "  --output FILE  write to FILE instead of standard output\n"
    "  --verbose      show the library's messages on standard error\n"
    "  --help         show this text\n";

constexpr uint64_t kManifestTableAddress = 0x01D0;  // ABRM
constexpr size_t kManifestEntry = 72;               // entry count and first entry
constexpr uint32_t kTypeZip = 1u << 10;
// Larger than any real description file; a manifest claiming more is broken.
constexpr uint64_t kMaxFileSize = 64u << 20;

uint64_t le(const uint8_t* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}

struct RawFile {
    std::string bytes;
    bool zipped = false;
};

// The first manifest entry's file as stored, without unpacking it.
RawFile readRaw(const tool::Camera& camera) {
    uint8_t address[8];
    camera.read(kManifestTableAddress, address, sizeof address);
    uint8_t table[kManifestEntry];
    camera.read(le(address, 8), table, sizeof table);
    const uint64_t fileAddress = le(table + 16, 8);
    const uint64_t size = le(table + 24, 8);
    if (size == 0) throw tool::Failure("the camera's manifest gives a description file of 0 bytes");
    if (size > kMaxFileSize)
        throw tool::Failure("the camera's manifest gives a description file of " + std::to_string(size) +
                            " bytes, more than the 64 MiB this tool accepts");
    RawFile raw;
    raw.zipped = (le(table + 12, 4) & kTypeZip) != 0;
    raw.bytes.resize(size);
    camera.read(fileAddress, reinterpret_cast<uint8_t*>(raw.bytes.data()), raw.bytes.size());
    return raw;
}

int run(int argc, char** argv) {
    std::string output;
    bool raw = false;
    const tool::CommonOptions common = tool::parseCommandLine(argc, argv, true, [&](const std::string& a, int& i) {
        if (a == "--raw") raw = true;
        else if (a == "--output" || a == "-o") output = tool::optionValue(argc, argv, i);
        else throw tool::UsageError("unknown argument '" + a + "'");
    });
    if (common.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    tool::Camera camera(common.camera, common.verbose);
    std::string bytes;
    if (raw) {
        RawFile file = readRaw(camera);
        if (file.zipped && output.empty() && isatty(STDOUT_FILENO))
            throw tool::Failure("the camera stores its description file as a zip archive; give --output FILE");
        bytes = std::move(file.bytes);
    } else {
        bytes = camera.descriptionFile();
    }
    if (output.empty()) tool::writeStdout(bytes.data(), bytes.size());
    else tool::writeFile(output, bytes.data(), bytes.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return tool::runTool("u3v-xml", run, argc, argv); }
