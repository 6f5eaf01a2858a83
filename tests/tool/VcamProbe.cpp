// Preloaded into the real brannock binary by its tests: shapes the virtual camera's world
// from the environment and, at exit, writes the command transfers the program sent.
//   VCAM_PROBE_FAIL_ADDRESS  every write command to this address gets GenCP status 0x8006
//   VCAM_PROBE_COMMANDS      file that receives one line of hex bytes per OUT transfer
//   VCAM_PROBE_PULL_MS       the first camera is pulled out 100 ms into writing its flash
//                            (its answer to the start command read by then) and plugged in
//                            again this many milliseconds later
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "CallRecordSwitch.h"
#include "vcam/vcam.h"

namespace {

std::atomic<bool> leaving{false};
std::thread* puller = nullptr;  // never destroyed: joined at exit, before the world goes

// The operator who pulls the cable while the camera flashes, and plugs it in again.
void pullWhileFlashing(int replugMs) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!vcam::firmwareStatus(1).updating) {
        if (leaving || std::chrono::steady_clock::now() > giveUp) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    vcam::unplug(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(replugMs));
    vcam::replug(1);
}

void stopPuller() {
    leaving = true;
    if (puller != nullptr && puller->joinable()) puller->join();
}

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
    if (const char* ms = std::getenv("VCAM_PROBE_PULL_MS")) {
        puller = new std::thread(pullWhileFlashing, std::atoi(ms));
        std::atexit(stopPuller);
    }
}

}  // namespace
