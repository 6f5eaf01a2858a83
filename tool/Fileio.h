// Owner of one open file stream of the tool.
#pragma once

#include <cstdint>
#include <cstdio>

#include "Stringcls.h"

enum : uint8_t { FIO_READ = 0, FIO_WRITE = 1, FIO_APPEND = 3 };

class FileIO {
public:
    // Throws the integer 0 when the file cannot be opened or the mode is unknown.
    FileIO(String name, uint8_t mode);
    ~FileIO();
    FileIO(const FileIO&) = delete;
    FileIO& operator=(const FileIO&) = delete;

    // The file's length; -1 when it cannot be told or does not fit a signed 32-bit count.
    // Leaves the read position at the start of the file.
    int32_t size();
    // The same without the 32-bit limit.
    int64_t length();
    // 1 when all n bytes were read, 0 when fewer were.
    int read(void* buffer, int32_t n);

private:
    std::FILE* stream;
};
