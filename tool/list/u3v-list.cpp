// Lists every USB3 Vision camera on the machine with its identification.
#include <cstdio>

#include "tessoral/tessoral.h"

int main() {
    uint16_t count = 0;
    const uint16_t status = U3V_DiscoveryDevices(&count);
    if (status != U3V_OK) {
        std::printf("Discovery failed: %04X (%u camera(s) from the last complete discovery)\n",
                    status, count);
        return 1;
    }
    std::printf("%u USB3 Vision camera(s) found.\n", count);
    for (uint16_t n = 1; n <= count; ++n) {
        U3V_DEVICE_INFO info;
        const uint16_t infoStatus = U3V_GetDeviceInfo(n, &info);
        if (infoStatus != U3V_OK) {
            std::printf("%u: no information (%04X)\n", n, infoStatus);
            continue;
        }
        std::printf("%u: GUID %s\n", n, info.DeviceGUID);
        std::printf("   Vendor:        %s\n", info.VendorName);
        std::printf("   Model:         %s\n", info.ModelName);
        std::printf("   Family:        %s\n", info.FamilyName);
        std::printf("   Version:       %s\n", info.DeviceVersion);
        std::printf("   Manufacturer:  %s\n", info.ManufacturerInfo);
        std::printf("   Serial number: %s\n", info.SerialNumber);
        std::printf("   User name:     %s\n", info.UserDefinedName);
        std::printf("   GenCP %u.%u, USB3 Vision %u.%u, speed support 0x%02X%s\n",
                    info.GenCPVersion >> 16, info.GenCPVersion & 0xFFFFu, info.U3VVersion >> 16,
                    info.U3VVersion & 0xFFFFu, info.SpeedSupport, info.InUse ? ", in use" : "");
    }
    return 0;
}
