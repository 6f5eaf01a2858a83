// Reads and writes a camera's registers and memory by address.
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "ToolCommon.h"

namespace {

const char kUsage[] =
    "Usage: u3v-reg [--camera ID] [--size N] ADDRESS[=VALUE]...\n"
    "       u3v-reg [--camera ID] --dump ADDRESS LENGTH\n"
    "       u3v-reg [--camera ID] --save ADDRESS LENGTH FILE\n"
    "       u3v-reg [--camera ID] --load ADDRESS FILE\n"
    "Reads and writes the camera's registers and memory by address.\n"
    "\n"
    "  ADDRESS        prints the register at ADDRESS\n"
    "  ADDRESS=VALUE  writes VALUE to it; several are done in the order given\n"
    "  --size N       register size in bytes: 1, 2, 4 (default) or 8, little-endian\n"
    "  --dump         prints LENGTH bytes from ADDRESS as a hex dump\n"
    "  --save         writes LENGTH bytes from ADDRESS to FILE\n"
    "  --load         writes the bytes of FILE to the camera at ADDRESS\n"
    "  --camera ID    the camera with this GUID or serial number (default: the first camera)\n"
    "  --verbose      show the library's messages on standard error\n"
    "  --help         show this text\n"
    "Numbers are decimal or 0x-hexadecimal.\n";

// Bounds what one command may move, so that a typing slip cannot ask for gigabytes.
constexpr uint64_t kMaxLength = 16u << 20;

uint64_t number(const std::string& text, const char* what) {
    uint64_t v = 0;
    if (!tool::parseUnsigned(text, v)) throw tool::UsageError(std::string(what) + " '" + text + "' is not a number");
    return v;
}

uint64_t length(const std::string& text, uint64_t address) {
    const uint64_t n = number(text, "length");
    if (n == 0 || n > kMaxLength) throw tool::UsageError("length must be 1 to " + std::to_string(kMaxLength));
    if (address + n < address) throw tool::UsageError("the range runs past the end of the address space");
    return n;
}

void dump(uint64_t address, const std::vector<uint8_t>& bytes) {
    for (size_t line = 0; line < bytes.size(); line += 16) {
        std::printf("%08llX ", static_cast<unsigned long long>(address + line));
        std::string ascii;
        for (size_t i = 0; i < 16; ++i) {
            if (i == 8) std::printf(" ");
            if (line + i < bytes.size()) {
                const uint8_t b = bytes[line + i];
                std::printf(" %02x", b);
                ascii += std::isprint(b) ? static_cast<char>(b) : '.';
            } else {
                std::printf("   ");
            }
        }
        std::printf("  |%s|\n", ascii.c_str());
    }
}

int run(int argc, char** argv) {
    unsigned size = 4;
    std::vector<std::string> operands;
    enum class Mode { Registers, Dump, Save, Load } mode = Mode::Registers;
    const tool::CommonOptions common = tool::parseCommandLine(argc, argv, true, [&](const std::string& a, int& i) {
        if (a == "--size") {
            const uint64_t n = number(tool::optionValue(argc, argv, i), "size");
            if (n != 1 && n != 2 && n != 4 && n != 8) throw tool::UsageError("--size must be 1, 2, 4 or 8");
            size = static_cast<unsigned>(n);
        } else if (a == "--dump" || a == "--save" || a == "--load") {
            if (mode != Mode::Registers) throw tool::UsageError("give only one of --dump, --save and --load");
            mode = a == "--dump" ? Mode::Dump : a == "--save" ? Mode::Save : Mode::Load;
        } else if (a.size() > 1 && a[0] == '-' && !std::isdigit(static_cast<unsigned char>(a[1]))) {
            throw tool::UsageError("unknown option '" + a + "'");
        } else {
            operands.push_back(a);
        }
    });
    if (common.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    const size_t wanted = mode == Mode::Dump ? 2 : mode == Mode::Save ? 3 : mode == Mode::Load ? 2 : 0;
    if (mode != Mode::Registers && operands.size() != wanted)
        throw tool::UsageError("expected " + std::to_string(wanted) + " arguments after the option");
    if (mode == Mode::Registers && operands.empty()) throw tool::UsageError("no ADDRESS given");

    // Everything is checked before the camera is touched: a bad argument writes nothing.
    struct Access {
        uint64_t address;
        bool write;
        uint64_t value;
    };
    std::vector<Access> accesses;
    if (mode == Mode::Registers) {
        const uint64_t limit = size == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * size)) - 1;
        for (const std::string& op : operands) {
            const size_t eq = op.find('=');
            Access acc{number(op.substr(0, eq), "address"), eq != std::string::npos, 0};
            if (acc.write) {
                acc.value = number(op.substr(eq + 1), "value");
                if (acc.value > limit)
                    throw tool::UsageError("value " + op.substr(eq + 1) + " does not fit " + std::to_string(size) +
                                           " bytes");
            }
            accesses.push_back(acc);
        }
    }
    uint64_t address = 0, count = 0;
    if (mode != Mode::Registers) address = number(operands[0], "address");
    if (mode == Mode::Dump || mode == Mode::Save) count = length(operands[1], address);
    std::string loadData;
    if (mode == Mode::Load) {
        loadData = tool::readFile(operands[1]);
        if (loadData.empty() || loadData.size() > kMaxLength)
            throw tool::Failure(operands[1] + " must hold 1 to " + std::to_string(kMaxLength) + " bytes");
    }

    tool::Camera camera(common.camera, common.verbose);
    switch (mode) {
    case Mode::Registers:
        for (const Access& acc : accesses) {
            uint8_t bytes[8] = {};
            if (acc.write) {
                for (unsigned i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(acc.value >> (8 * i));
                camera.write(acc.address, bytes, size);
                continue;
            }
            camera.read(acc.address, bytes, size);
            uint64_t v = 0;
            for (unsigned i = 0; i < size; ++i) v |= static_cast<uint64_t>(bytes[i]) << (8 * i);
            std::printf("0x%08llX = 0x%0*llX (%llu)\n", static_cast<unsigned long long>(acc.address),
                        static_cast<int>(2 * size), static_cast<unsigned long long>(v),
                        static_cast<unsigned long long>(v));
        }
        break;
    case Mode::Dump:
    case Mode::Save: {
        std::vector<uint8_t> bytes(count);
        camera.read(address, bytes.data(), bytes.size());
        if (mode == Mode::Dump) dump(address, bytes);
        else tool::writeFile(operands[2], bytes.data(), bytes.size());
        break;
    }
    case Mode::Load: {
        if (address + loadData.size() < address) throw tool::UsageError("the file runs past the end of the address space");
        camera.write(address, reinterpret_cast<const uint8_t*>(loadData.data()), loadData.size());
        break;
    }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) { return tool::runTool("u3v-reg", run, argc, argv); }
