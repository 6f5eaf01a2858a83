// Preloaded into the real brannock binary by its tests: shapes the virtual camera's world
// from the environment and, at exit, writes the command transfers the program sent.
//   VCAM_PROBE_FAIL_ADDRESS  every write command to this address gets GenCP status 0x8006
//   VCAM_PROBE_COMMANDS      file that receives one line of hex bytes per OUT transfer
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CallRecordSwitch.h"
#include "vcam/vcam.h"

namespace {

void writeCommands() {
    const char* path = std::getenv("VCAM_PROBE_COMMANDS");
    if (path == nullptr) return;
    std::FILE* f = std::fopen(path, "w");
    if (f == nullptr) return;
    for (const vcam::UsbCall& call : vcam::calls()) {
        if (call.function != "libusb_bulk_transfer" || (call.endpoint & 0x80) != 0) continue;
        for (uint8_t b : call.data) std::fprintf(f, "%02x", b);
        std::fprintf(f, "\n");
    }
    std::fclose(f);
}

__attribute__((constructor)) void shapeWorld() {
    // Touching the world first makes it outlive the handler registered below.
    vcam::calls();
    recordUsbCalls();
    if (const char* address = std::getenv("VCAM_PROBE_FAIL_ADDRESS")) {
        vcam::ControlFault fault;
        fault.kind = vcam::ControlFaultKind::Status;
        fault.address = std::strtoull(address, nullptr, 0);
        fault.count = -1;
        fault.status = 0x8006;
        vcam::addControlFault(1, fault);  // the first camera of the configured world
    }
    std::atexit(writeCommands);
}

}  // namespace
