#include "SyslogCapture.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

// <syslog.h> is left out on purpose: with fortification it defines syslog() inline.

namespace testsupport {

namespace {
std::mutex mutex;
std::vector<TraceLine>& store() {
    static std::vector<TraceLine> lines;
    return lines;
}

void record(int priority, const char* format, va_list args) {
    char text[8192];
    std::vsnprintf(text, sizeof text, format, args);
    std::lock_guard<std::mutex> lock(mutex);
    store().push_back({priority, text});
}
}  // namespace

std::vector<TraceLine> SyslogCapture::lines() {
    std::lock_guard<std::mutex> lock(mutex);
    return store();
}

std::vector<std::string> SyslogCapture::texts() {
    std::vector<std::string> out;
    for (const TraceLine& l : lines()) out.push_back(l.text);
    return out;
}

void SyslogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex);
    store().clear();
}

}  // namespace testsupport

extern "C" {

void syslog(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    testsupport::record(priority, format, args);
    va_end(args);
}

void vsyslog(int priority, const char* format, va_list args) {
    testsupport::record(priority, format, args);
}

void __syslog_chk(int priority, int /*flag*/, const char* format, ...) {
    va_list args;
    va_start(args, format);
    testsupport::record(priority, format, args);
    va_end(args);
}

void __vsyslog_chk(int priority, int /*flag*/, const char* format, va_list args) {
    testsupport::record(priority, format, args);
}

}  // extern "C"
