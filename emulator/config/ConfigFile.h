// The emulator's configuration file: an INI-style description of the world (cameras,
// other devices, the state directory). The format is documented in emulator/README.md.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "vcam/vcam.h"

namespace vcam {

struct WorldConfig {
    std::vector<std::variant<CameraConfig, DeviceConfig>> devices;  // in file order
    std::string stateDir;
    bool callRecord = false;  // record every libusb call (costly; for tests)
    KernelConfig kernel;      // the emulated kernel under a system libusb
    uint64_t usbfsMemoryBytes = 0;  // limit of submitted transfer memory; 0 = none
};

class ConfigFile {
public:
    // Parses `text`; on failure returns false and sets error to "<name>:<line>: <reason>".
    static bool parse(const std::string& text, const std::string& name, WorldConfig& out,
                      std::string* error);
    static bool load(const std::string& path, WorldConfig& out, std::string* error);
};

}  // namespace vcam
