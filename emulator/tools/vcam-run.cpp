// vcam-run [--config FILE] -- PROGRAM ARGS...
// Runs an unmodified program on the system's own libusb-1.0 with the virtual world under
// it: this process plays the Linux kernel (sysfs, device nodes, usbfs ioctls) through
// umockdev, and the program runs under umockdev's preload library.
#include <signal.h>
#include <sys/wait.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/ConfigFile.h"
#include "usbfs/UsbfsKernel.h"

namespace {

constexpr const char* kPreload = "libumockdev-preload.so.0";
pid_t child = -1;

void forward(int signal) {
    if (child > 0) ::kill(child, signal);
}

int usage(FILE* out, int status) {
    std::fprintf(out,
                 "usage: vcam-run [--config FILE] -- PROGRAM [ARGS...]\n"
                 "Runs PROGRAM on the system libusb-1.0 with the virtual cameras of FILE (or of\n"
                 "VCAM_CONFIG, or one default camera) behind an emulated kernel.\n");
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::string config;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--help" || a == "-h") return usage(stdout, 0);
        if (a == "--config" && i + 1 < argc) {
            config = argv[++i];
        } else if (a.rfind("--config=", 0) == 0) {
            config = a.substr(9);
        } else {
            std::fprintf(stderr, "vcam-run: unknown option '%s'\n", a.c_str());
            return usage(stderr, 2);
        }
    }
    if (i >= argc) return usage(stderr, 2);
    if (!config.empty()) {
        // A file that cannot be used ends the run here rather than giving an empty world.
        vcam::WorldConfig parsed;
        std::string error;
        if (!vcam::ConfigFile::load(config, parsed, &error)) {
            std::fprintf(stderr, "vcam-run: %s\n", error.c_str());
            return 2;
        }
        ::setenv("VCAM_CONFIG", config.c_str(), 1);
    }

    const char* loaded = std::getenv("LD_PRELOAD");
    if (loaded == nullptr || std::strstr(loaded, "libumockdev-preload") == nullptr) {
        // The kernel side runs under the preload too: umockdev sends uevents through the
        // testbed only from there. Whatever must load first (a sanitizer runtime) stays first.
        const char* existing = std::getenv("LD_PRELOAD");
        const std::string preload =
            existing != nullptr && *existing != '\0' ? std::string(existing) + ":" + kPreload : kPreload;
        ::setenv("LD_PRELOAD", preload.c_str(), 1);
        // Each emulated ioctl ends in a short sleep in the preload; the default timer slack
        // (50 us) would make that sleep most of its cost. Kept across exec and by children.
        ::prctl(PR_SET_TIMERSLACK, 1UL);
        ::execv("/proc/self/exe", argv);
        std::fprintf(stderr, "vcam-run: cannot restart under %s: %s\n", kPreload, std::strerror(errno));
        return 2;
    }
    vcam::usbfs::Kernel& kernel = vcam::usbfs::Kernel::start();

    struct sigaction sa {};
    sa.sa_handler = forward;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    child = ::fork();
    if (child < 0) {
        std::fprintf(stderr, "vcam-run: fork: %s\n", std::strerror(errno));
        return 2;
    }
    if (child == 0) {
        ::execvp(argv[i], argv + i);
        std::fprintf(stderr, "vcam-run: %s: %s\n", argv[i], std::strerror(errno));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    kernel.removeTestbed();
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
}
