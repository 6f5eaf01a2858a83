// Captures the library's debug trace. The test executable defines syslog() (and its
// fortified variants); that definition interposes on libc's for calls from the library,
// so every trace line lands here exactly as the library formatted it.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct TraceLine {
    int priority = 0;
    std::string text;
};

class SyslogCapture {
public:
    static std::vector<TraceLine> lines();
    static std::vector<std::string> texts();
    static void clear();
};

}  // namespace testsupport
