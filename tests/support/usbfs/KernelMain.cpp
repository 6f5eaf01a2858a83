// The main of test programs on the usbfs way: the process runs under umockdev's preload
// library (restarting itself under it if needed, sanitizer runtimes first) and has the
// emulated kernel started as its libraries load, before any libusb_init; then it runs its
// tests. Programs link the library under test before vcam_usbfs, so that vcam_usbfs is
// initialised first.
#include <gtest/gtest.h>
#include <link.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "usbfs/UsbfsKernel.h"

namespace {

constexpr const char* kPreload = "libumockdev-preload.so.0";

int addRuntime(dl_phdr_info* info, size_t, void* out) {
    const char* name = info->dlpi_name;
    if (name == nullptr) return 0;
    for (const char* runtime : {"libasan.so", "libtsan.so", "libubsan.so"}) {
        if (std::strstr(name, runtime) != nullptr) {
            auto& list = *static_cast<std::string*>(out);
            list += std::string(name) + ":";
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
        std::string list;
        dl_iterate_phdr(addRuntime, &list);
        list += kPreload;
        if (preload != nullptr && *preload != '\0') list += std::string(":") + preload;
        ::setenv("LD_PRELOAD", list.c_str(), 1);
        // Each emulated ioctl ends in a short sleep in the preload; the default timer slack
        // (50 us) would make that sleep most of its cost. Kept across exec and by children.
        ::prctl(PR_SET_TIMERSLACK, 1UL);
        ::setenv("VCAM_USBFS_START", "1", 1);  // the kernel starts as its library loads
#ifdef USBFS_TSAN_SUPPRESSIONS
        if (std::getenv("TSAN_OPTIONS") == nullptr) {
            ::setenv("TSAN_OPTIONS", "suppressions=" USBFS_TSAN_SUPPRESSIONS, 1);
        }
#endif
        ::execv("/proc/self/exe", argv);
        std::fprintf(stderr, "cannot restart under %s: %s\n", kPreload, std::strerror(errno));
        return 2;
    }
    testing::InitGoogleTest(&argc, argv);
    vcam::usbfs::Kernel& kernel = vcam::usbfs::Kernel::start();
    const int result = RUN_ALL_TESTS();
    kernel.removeTestbed();
    return result;
}
