// Reading a fuzz input front to back. Past the end every read gives zeros, so a target
// never has to guard its own reads; exhausted() tells when the input is used up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : p_(data), n_(size) {}

    bool exhausted() const { return n_ == 0; }
    size_t remaining() const { return n_; }

    uint8_t u8() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    uint32_t u32() { return u16() | (static_cast<uint32_t>(u16()) << 16); }
    uint64_t u64() { return u32() | (static_cast<uint64_t>(u32()) << 32); }

    // Copies up to n bytes into out, zero-filling the rest; returns how many were real.
    size_t take(uint8_t* out, size_t n) {
        const size_t got = n < n_ ? n : n_;
        if (got != 0) std::memcpy(out, p_, got);
        if (n > got) std::memset(out + got, 0, n - got);
        p_ += got;
        n_ -= got;
        return got;
    }

    // The rest of the input, consumed.
    const uint8_t* rest(size_t& n) {
        const uint8_t* p = p_;
        n = n_;
        p_ += n_;
        n_ = 0;
        return p;
    }

private:
    const uint8_t* p_;
    size_t n_;
};

// The n bytes at p as a little-endian number, as the wire carries them.
inline uint64_t leN(const uint8_t* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = n; i-- > 0;) v = (v << 8) | p[i];
    return v;
}

}  // namespace fuzz

// A broken promise of the code under test: reported as a crash, with the reason.
#define FUZZ_CHECK(cond, ...)                                                        \
    do {                                                                             \
        if (!(cond)) {                                                               \
            std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #cond); \
            std::fprintf(stderr, __VA_ARGS__);                                       \
            std::fputc('\n', stderr);                                                \
            std::abort();                                                            \
        }                                                                            \
    } while (0)
