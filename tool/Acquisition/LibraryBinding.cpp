#include "LibraryBinding.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <iterator>
#include <string>

namespace {

constexpr const char* kNames[] = {
    "U3V_DiscoveryDevices", "U3V_GetDeviceInfo", "U3V_OpenDevice",   "U3V_CloseDevice",
    "U3V_SetDetailedLog",   "U3V_GetDetailedLog", "U3V_OpenControl", "U3V_CloseControl",
    "U3V_ReadMem",          "U3V_WriteMem",       "U3V_ReadXml",     "U3V_WriteXml",
    "U3V_MaximumDeviceResponseTime", "U3V_OpenEvent", "U3V_CloseEvent", "U3V_OpenStream",
    "U3V_CloseStream",      "U3V_AcquisitionStart", "U3V_AcquisitionStop", "U3V_GetImage",
    "U3V_GetTransferSize",  "U3V_SetTransferSize",
};
static_assert(std::size(kNames) == 22);

template <typename Fn>
bool lookUp(void* library, int row, Fn& member) {
    void* address = dlsym(library, kNames[row - 1]);
    if (address == nullptr) return false;
    member = reinterpret_cast<Fn>(address);
    return true;
}

#ifndef TESSORAL_INSTALL_LIBDIR
#define TESSORAL_INSTALL_LIBDIR "lib"
#endif

// A bare name is searched with the RUNPATH of whoever calls dlopen. When something wraps
// dlopen (sanitizers, tracers), that caller is the wrapper and our RUNPATH is lost, so the
// same places are then tried by path: the program's directory, then the installed lib.
void* openLibrary(const char* file) {
    if (void* library = dlopen(file, RTLD_NOW | RTLD_LOCAL)) return library;
    if (std::string(file).find('/') != std::string::npos) return nullptr;
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return nullptr;
    std::string dir(self, static_cast<size_t>(n));
    dir.erase(dir.rfind('/') + 1);
    for (const std::string& candidate :
         {dir + file, dir + "../" TESSORAL_INSTALL_LIBDIR "/" + file, dir + "../lib/" + file})
        if (void* library = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) return library;
    return nullptr;
}

}  // namespace

const char* boundFunctionName(int row) { return row >= 1 && row <= 22 ? kNames[row - 1] : nullptr; }

int LibraryBinding::bind(const char* file) {
    void* library = openLibrary(file);
    if (library == nullptr) return 1;
    int row = 0;
    auto step = [&](auto& member) { return lookUp(library, ++row, member); };
    if (!step(U3V_DiscoveryDevices) || !step(U3V_GetDeviceInfo) || !step(U3V_OpenDevice) ||
        !step(U3V_CloseDevice) || !step(U3V_SetDetailedLog) || !step(U3V_GetDetailedLog) ||
        !step(U3V_OpenControl) || !step(U3V_CloseControl) || !step(U3V_ReadMem) || !step(U3V_WriteMem) ||
        !step(U3V_ReadXml) || !step(U3V_WriteXml) || !step(U3V_MaximumDeviceResponseTime) ||
        !step(U3V_OpenEvent) || !step(U3V_CloseEvent) || !step(U3V_OpenStream) || !step(U3V_CloseStream) ||
        !step(U3V_AcquisitionStart) || !step(U3V_AcquisitionStop) || !step(U3V_GetImage) ||
        !step(U3V_GetTransferSize) || !step(U3V_SetTransferSize))
        return 10 + row;
    return 0;
}
