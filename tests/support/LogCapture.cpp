#include "LogCapture.h"

#include <mutex>

namespace testsupport {

namespace {
std::mutex mutex;
std::vector<LogMessage>& store() {
    static std::vector<LogMessage> messages;
    return messages;
}
}  // namespace

int LogCapture::callback(uint8_t level, const char* text) {
    std::lock_guard<std::mutex> lock(mutex);
    store().push_back({level, text != nullptr ? text : "<null>"});
    return 0;
}

std::vector<LogMessage> LogCapture::messages() {
    std::lock_guard<std::mutex> lock(mutex);
    return store();
}

std::vector<std::string> LogCapture::texts() {
    std::vector<std::string> out;
    for (const LogMessage& m : messages()) out.push_back(m.text);
    return out;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex);
    store().clear();
}

}  // namespace testsupport
