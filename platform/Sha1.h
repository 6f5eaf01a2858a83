// SHA-1 (FIPS 180-4), for the digest of a description file in a manifest table: the
// library writes it, the virtual camera announces it. Digest bytes in the standard's order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace platform {

class Sha1 {
public:
    using Digest = std::array<uint8_t, 20>;

    Sha1();
    void update(const uint8_t* data, size_t length);
    Digest finish();  // the object is spent afterwards

    static Digest of(const uint8_t* data, size_t length);

private:
    void block(const uint8_t* p);

    uint32_t h_[5];
    uint8_t buffer_[64];
    size_t buffered_ = 0;
    uint64_t totalBytes_ = 0;
};

}  // namespace platform
