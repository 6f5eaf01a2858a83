#include "CameraMemory.h"

#include <algorithm>
#include <cstdio>

#include "tessoral/tessoral.h"

namespace tool {

namespace {

template <class Byte, class Call>
uint16_t inPieces(uint64_t address, Byte* data, size_t length, const char* verb, std::string& failed, Call call) {
    for (size_t done = 0; done < length;) {
        const size_t n = std::min(kMemoryPiece, length - done);
        const uint16_t status = call(address + done, static_cast<uint16_t>(n), data + done);
        if (status != U3V_OK) {
            failed = std::string(verb) + " " + std::to_string(n) + " bytes at " + hexAddress(address + done) + " failed";
            return status;
        }
        done += n;
    }
    return U3V_OK;
}

}  // namespace

std::string hexAddress(uint64_t address) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(address));
    return text;
}

uint16_t readMemory(void* control, uint64_t address, uint8_t* data, size_t length, std::string& failed) {
    return inPieces(address, data, length, "reading", failed, [&](uint64_t at, uint16_t n, uint8_t* p) {
        return U3V_ReadMem(control, at, n, p);
    });
}

uint16_t writeMemory(void* control, uint64_t address, const uint8_t* data, size_t length, std::string& failed) {
    return inPieces(address, data, length, "writing", failed, [&](uint64_t at, uint16_t n, const uint8_t* p) {
        return U3V_WriteMem(control, at, n, p);
    });
}

}  // namespace tool
