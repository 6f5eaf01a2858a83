// The tool's log. It is switched off: every record is accepted and dropped, so nothing
// the operator sees ever depends on it and no file is created.
#pragma once

#include <cstdio>

#include "Stringcls.h"

class Logging {
public:
    Logging(std::FILE* console, const char* fileName, int level, int optionA, int optionB);

    int write(int level, const char* sourceFile, const char* function, const char* format, ...)
        __attribute__((format(printf, 5, 6)));

private:
    String fileName;
    String prefix;
};

extern Logging toolLog;
