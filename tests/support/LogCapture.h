// Captures the device log messages the library delivers, from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct LogMessage {
    uint8_t level = 0;
    std::string text;
    bool operator==(const LogMessage&) const = default;
};

class LogCapture {
public:
    // Pass this as the U3V_LogCallback; every call is recorded in order.
    static int callback(uint8_t level, const char* text);

    static std::vector<LogMessage> messages();
    static std::vector<std::string> texts();  // the texts only, in order
    static void clear();
};

}  // namespace testsupport
