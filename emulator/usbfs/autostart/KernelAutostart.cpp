// A program that asks for it (VCAM_USBFS_START=1, under umockdev's preload library) gets
// the emulated kernel while its libraries load: a library that calls libusb_init in its
// own initialiser must already find the testbed. Linked last, so that everything else in
// this library is initialised before.
#include <cstdlib>
#include <cstring>

#include "usbfs/UsbfsKernel.h"

namespace {

__attribute__((constructor)) void startKernelOnLoad() {
    const char* wanted = std::getenv("VCAM_USBFS_START");
    const char* preload = std::getenv("LD_PRELOAD");
    if (wanted == nullptr || std::strcmp(wanted, "1") != 0) return;
    if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) return;
    vcam::usbfs::Kernel::start();
}

}  // namespace
