// The library's two diagnostic channels: the per-device message callback and the
// unconditional debug trace.
#pragma once

#include <cstdint>
#include <string_view>

namespace tessoral {

struct DeviceHandle;

// Delivers one printf-formatted message to the device's callback when its mask holds
// every bit of level; cut at 511 characters, trailing white space removed.
void DeviceLog(const DeviceHandle* device, uint8_t level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Writes one line, ending in exactly one "\r\n", to the debug output, always.
void DebugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tessoral
