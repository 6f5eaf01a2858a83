#include "Stringcls.h"

#include <cstdio>
#include <cstring>

String::String() : allocated(0), len(0), data(nullptr) { assign("", 0); }

String::String(const char* text) : allocated(0), len(0), data(nullptr) {
    if (text == nullptr) text = "";
    assign(text, static_cast<int32_t>(std::strlen(text)));
}

String::String(const String& other) : allocated(0), len(0), data(nullptr) { assign(other.data, other.len); }

String::String(bool value) : String(value ? "true" : "false") {}

String::String(int32_t value) : allocated(0), len(0), data(nullptr) {
    char digits[16];
    const int n = std::snprintf(digits, sizeof digits, "%d", value);
    assign(digits, n);
}

String::~String() { delete[] data; }

// The new buffer is filled before the old one goes, so a text that points into this
// object's own buffer is still copied correctly.
void String::assign(const char* text, int32_t n) {
    char* fresh = new char[n + 1];
    std::memcpy(fresh, text, static_cast<size_t>(n));
    fresh[n] = '\0';
    delete[] data;
    data = fresh;
    len = n;
    allocated = n + 1;
}

String& String::operator=(const char* text) {
    if (text == nullptr) text = "";
    assign(text, static_cast<int32_t>(std::strlen(text)));
    return *this;
}

String& String::operator=(const String& other) {
    if (this != &other) assign(other.data, other.len);
    return *this;
}

int32_t String::find(const char* needle) const {
    if (needle == nullptr) return -1;
    const int32_t n = static_cast<int32_t>(std::strlen(needle));
    if (n > len) return -1;
    for (int32_t i = 0; i <= len - n; ++i)
        if (std::strncmp(data + i, needle, static_cast<size_t>(n)) == 0) return i;
    return -1;
}

int32_t String::find(const String& needle) const { return find(needle.data); }

String String::substring(int32_t start, int32_t end) const {
    if (start < 0) start = 0;
    if (end < 0 || end > len) end = len;
    String out;
    if (start >= len || start >= end) return out;
    out.assign(data + start, end - start);
    return out;
}

bool String::ends_with(const char* suffix) const {
    if (suffix == nullptr) return false;
    const size_t n = std::strlen(suffix);
    return n <= static_cast<size_t>(len) && std::memcmp(data + len - n, suffix, n) == 0;
}

bool String::equals(const char* text) const { return text != nullptr && std::strcmp(data, text) == 0; }

bool String::grow(int32_t n) {
    if (n <= len) return false;
    char* fresh = new char[static_cast<size_t>(n) + 1];
    std::memcpy(fresh, data, static_cast<size_t>(len) + 1);
    delete[] data;
    data = fresh;
    len = n;
    allocated = n + 1;
    return true;
}
