#include "Fileio.h"

#include <cstdint>

FileIO::FileIO(String name, uint8_t mode) : stream(nullptr) {
    const char* how = nullptr;
    switch (mode) {
        case FIO_READ: how = "rb"; break;
        case FIO_WRITE: how = "wb"; break;
        case FIO_APPEND: how = "ab"; break;
        default: break;
    }
    if (how != nullptr) stream = std::fopen(name.c_str(), how);
    if (stream == nullptr) throw 0;
}

FileIO::~FileIO() { std::fclose(stream); }

int64_t FileIO::length() {
    long end = -1;
    if (std::fseek(stream, 0, SEEK_END) == 0) end = std::ftell(stream);
    std::fseek(stream, 0, SEEK_SET);
    return end < 0 ? -1 : int64_t{end};
}

int32_t FileIO::size() {
    const int64_t end = length();
    return end > INT32_MAX ? -1 : static_cast<int32_t>(end);
}

int FileIO::read(void* buffer, int32_t n) {
    if (n <= 0) return n == 0 ? 1 : 0;
    return std::fread(buffer, 1, static_cast<size_t>(n), stream) == static_cast<size_t>(n) ? 1 : 0;
}
