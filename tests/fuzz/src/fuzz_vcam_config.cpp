// The virtual camera's configuration file (VCAM_CONFIG), as any text.
#include <string>

#include "FuzzInput.h"
#include "config/ConfigFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    vcam::WorldConfig world;
    world.stateDir = "untouched";
    std::string error;
    const bool ok = vcam::ConfigFile::parse(text, "fuzz.ini", world, &error);
    if (!ok) {
        // "<name>:<line>: <reason>", the line within the text, the world as it was.
        FUZZ_CHECK(error.rfind("fuzz.ini:", 0) == 0, "error '%s'", error.c_str());
        const size_t colon = error.find(':', 9);
        FUZZ_CHECK(colon != std::string::npos && colon + 2 < error.size() && colon > 9,
                   "error '%s'", error.c_str());
        const long line = std::stol(error.substr(9, colon - 9));
        long lines = 1;
        for (char c : text) lines += c == '\n';
        FUZZ_CHECK(line >= 1 && line <= lines, "line %ld of %ld", line, lines);
        FUZZ_CHECK(world.stateDir == "untouched" && world.devices.empty(), "world changed");
        return 0;
    }
    FUZZ_CHECK(error.empty(), "success with error '%s'", error.c_str());
    return 0;
}
