// Library load and unload: the process-wide device table and the library directory.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <cstring>
#include <new>

#include "DeviceTable.h"
#include "UsbLayer.h"

namespace tessoral {

DeviceTable* deviceTable = nullptr;
char LibraryDirectory[260] = {};

namespace {

// Directory of the file that holds this code: the path up to the first "/libTessoral.so",
// or, under another file name, up to its last separator. A directory that does not fit the
// 260 bytes would only be a wrong one when cut, so the current directory stands in for it.
void fillLibraryDirectory() {
    std::strcpy(LibraryDirectory, ".");
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&fillLibraryDirectory), &info) == 0 ||
        info.dli_fname == nullptr || info.dli_fname[0] == '\0')
        return;

    const char* path = info.dli_fname;
    char absolute[PATH_MAX];
    if (path[0] != '/' && realpath(path, absolute) != nullptr) path = absolute;

    size_t length;
    if (const char* cut = std::strstr(path, "/libTessoral.so")) {
        length = static_cast<size_t>(cut - path);
    } else if (const char* slash = std::strrchr(path, '/')) {
        length = static_cast<size_t>(slash - path);
    } else {
        return;  // a bare file name: it was found in the current directory
    }
    if (length >= sizeof LibraryDirectory) return;
    // The root directory gives an empty text: names are built as "<directory>/<file>".
    std::memcpy(LibraryDirectory, path, length);
    LibraryDirectory[length] = '\0';
}

__attribute__((constructor)) void libraryLoad() {
    // A failure here is not final: discovery tries again and reports it there.
    (void)usb::init();
    deviceTable = new (std::nothrow) DeviceTable();
    fillLibraryDirectory();
}

__attribute__((destructor)) void libraryUnload() {
    // Entries go with the table; handles the caller left open must not be used any more.
    delete deviceTable;
    deviceTable = nullptr;
}

}  // namespace

}  // namespace tessoral
