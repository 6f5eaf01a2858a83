// Lists every USB3 Vision camera on the machine with its identification.
#include <cstdio>
#include <cstring>
#include <string>

#include "ToolCommon.h"

namespace {

const char kUsage[] =
    "Usage: u3v-list [--camera ID]\n"
    "Lists every USB3 Vision camera with its identification.\n"
    "\n"
    "  --camera ID    only the camera with this GUID or serial number\n"
    "  --help         show this text\n";

// A string field of the record, which the library ends with a NUL; stay inside it anyway.
template <size_t N>
std::string field(const char (&text)[N]) {
    return std::string(text, strnlen(text, N));
}

void show(uint16_t n, const U3V_DEVICE_INFO& info) {
    using tool::printable;
    std::printf("%u: GUID %s\n", n, printable(field(info.DeviceGUID)).c_str());
    std::printf("   Vendor:        %s\n", printable(field(info.VendorName)).c_str());
    std::printf("   Model:         %s\n", printable(field(info.ModelName)).c_str());
    std::printf("   Family:        %s\n", printable(field(info.FamilyName)).c_str());
    std::printf("   Version:       %s\n", printable(field(info.DeviceVersion)).c_str());
    std::printf("   Manufacturer:  %s\n", printable(field(info.ManufacturerInfo)).c_str());
    std::printf("   Serial number: %s\n", printable(field(info.SerialNumber)).c_str());
    std::printf("   User name:     %s\n", printable(field(info.UserDefinedName)).c_str());
    std::printf("   GenCP %u.%u, USB3 Vision %u.%u, speed support 0x%02X%s\n", info.GenCPVersion >> 16,
                info.GenCPVersion & 0xFFFFu, info.U3VVersion >> 16, info.U3VVersion & 0xFFFFu, info.SpeedSupport,
                info.InUse ? ", in use" : "");
}

int run(int argc, char** argv) {
    const tool::CommonOptions common = tool::parseCommandLine(argc, argv, false, [](const std::string& a, int&) {
        throw tool::UsageError("unknown argument '" + a + "'");
    });
    if (common.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    const std::string& id = common.camera;

    uint16_t count = 0;
    const uint16_t status = U3V_DiscoveryDevices(&count);
    if (status != U3V_OK)
        throw tool::Failure("discovery failed: " + tool::statusText(status) + "; " + std::to_string(count) +
                            " camera(s) from the last complete discovery");
    if (id.empty()) {
        std::printf("%u USB3 Vision camera(s) found.\n", count);
        for (uint16_t n = 1; n <= count; ++n) {
            U3V_DEVICE_INFO info{};
            const uint16_t infoStatus = U3V_GetDeviceInfo(n, &info);
            if (infoStatus == U3V_OK) show(n, info);
            else std::printf("%u: no information (%04X)\n", n, infoStatus);
        }
        return 0;
    }
    for (uint16_t n = 1; n <= count; ++n) {
        U3V_DEVICE_INFO info{};
        if (U3V_GetDeviceInfo(n, &info) != U3V_OK) continue;
        if (id == field(info.DeviceGUID) || id == field(info.SerialNumber)) {
            show(n, info);
            return 0;
        }
    }
    throw tool::Failure("no camera with GUID or serial number '" + id + "' among the " + std::to_string(count) +
                        " found");
}

}  // namespace

int main(int argc, char** argv) { return tool::runTool("u3v-list", run, argc, argv); }
