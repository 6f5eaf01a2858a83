// brannock's console output caught in a temporary file, for the tests that run its
// dialogue and camera object in-process.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "brannock.h"

class ConsoleCapture {
public:
    ConsoleCapture() : out_(std::tmpfile()) {
        if (out_ == nullptr) ADD_FAILURE() << "no temporary file for the console";
        else consoleOut = out_;
    }
    ~ConsoleCapture() {
        consoleOut = stdout;
        if (out_ != nullptr) std::fclose(out_);
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Everything printed so far.
    std::string printed() const {
        std::string text;
        if (out_ == nullptr) return text;
        std::fflush(out_);
        std::rewind(out_);
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, out_)) > 0) text.append(buffer, n);
        return text;
    }

private:
    std::FILE* out_;
};
