#include "DeviceLog.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "DeviceHandle.h"

namespace tessoral {

namespace {

constexpr size_t kLogBufferSize = 1024;
constexpr size_t kLogTextLimit = 511;
constexpr size_t kTraceBufferSize = 4096;

bool isTrailingSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// Formats into buf (limit characters at most) and strips trailing white space; returns the
// resulting length.
size_t formatStripped(char* buf, size_t limit, const char* format, va_list args) {
    buf[0] = '\0';
    const int r = std::vsnprintf(buf, limit + 1, format, args);
    if (r < 0) buf[0] = '\0';
    size_t n = std::strlen(buf);
    while (n > 0 && isTrailingSpace(buf[n - 1])) --n;
    buf[n] = '\0';
    return n;
}

// The platform's debugger output. Opened lazily so that a program that never sees a
// trace line keeps its own syslog identity.
void traceSink(const char* line) {
    static std::once_flag opened;
    std::call_once(opened, [] { openlog("Tessoral", LOG_PID, LOG_USER); });
    syslog(LOG_DEBUG, "%s", line);
}

}  // namespace

void DeviceLog(const DeviceHandle* device, uint8_t level, const char* format, ...) {
    if (device == nullptr) return;
    const uint8_t mask = device->LogMask;
    const U3V_LogCallback callback = device->LogCallback;
    if (mask == 0 || (mask & level) != level || callback == nullptr) return;

    std::unique_ptr<char[]> text(new (std::nothrow) char[kLogBufferSize]);
    if (!text) return;  // no buffer, no message
    va_list args;
    va_start(args, format);
    formatStripped(text.get(), kLogTextLimit, format, args);
    va_end(args);
    callback(level, text.get());
}

void DebugTrace(const char* format, ...) {
    char line[kTraceBufferSize];
    va_list args;
    va_start(args, format);
    // Leave room for "\r\n" and the terminator.
    size_t n = formatStripped(line, kTraceBufferSize - 3, format, args);
    va_end(args);
    line[n++] = '\r';
    line[n++] = '\n';
    line[n] = '\0';
    traceSink(line);
}

}  // namespace tessoral
