// The tool's owned heap text: always NUL-terminated, buffer exactly length + 1 bytes.
#pragma once

#include <cstdint>

class String {
public:
    String();
    String(const char* text);
    String(const String& other);
    explicit String(bool value);
    explicit String(int32_t value);
    ~String();

    const char* c_str() const { return data; }
    int32_t length() const { return len; }

    String& operator=(const char* text);
    String& operator=(const String& other);

    int32_t find(const char* needle) const;
    int32_t find(const String& needle) const;
    String substring(int32_t start, int32_t end) const;
    bool ends_with(const char* suffix) const;
    bool equals(const char* text) const;
    // Enlarges the text to n bytes; the caller writes the new bytes and the NUL at n.
    bool grow(int32_t n);

private:
    void assign(const char* text, int32_t n);

    int32_t allocated;
    int32_t len;
    char* data;
};
