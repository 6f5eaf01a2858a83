#include "platform/Sha1.h"

#include <algorithm>
#include <cstring>

namespace platform {

namespace {
inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t getBe32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
}  // namespace

Sha1::Sha1() : h_{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0} {}

void Sha1::block(const uint8_t* p) {
    uint32_t w[80];
    for (int t = 0; t < 16; ++t) w[t] = getBe32(p + 4 * t);
    for (int t = 16; t < 80; ++t) w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
    for (int t = 0; t < 80; ++t) {
        uint32_t f, k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const uint32_t temp = rotl(a, 5) + f + e + k + w[t];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = temp;
    }
    h_[0] += a;
    h_[1] += b;
    h_[2] += c;
    h_[3] += d;
    h_[4] += e;
}

void Sha1::update(const uint8_t* data, size_t length) {
    if (length == 0) return;
    totalBytes_ += length;
    if (buffered_ > 0) {
        const size_t take = std::min(length, sizeof buffer_ - buffered_);
        std::memcpy(buffer_ + buffered_, data, take);
        buffered_ += take;
        data += take;
        length -= take;
        if (buffered_ < sizeof buffer_) return;
        block(buffer_);
        buffered_ = 0;
    }
    for (; length >= 64; data += 64, length -= 64) block(data);
    if (length > 0) std::memcpy(buffer_, data, length);
    buffered_ = length;
}

Sha1::Digest Sha1::finish() {
    const uint64_t bits = totalBytes_ * 8;
    static const uint8_t pad[64] = {0x80};
    // Pad to 56 bytes mod 64, then the message length in bits, big-endian.
    const size_t padLength = buffered_ < 56 ? 56 - buffered_ : 120 - buffered_;
    update(pad, padLength);
    uint8_t lengthBytes[8];
    for (int i = 0; i < 8; ++i) lengthBytes[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    update(lengthBytes, sizeof lengthBytes);

    Digest digest;
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 4; ++j)
            digest[4 * i + j] = static_cast<uint8_t>(h_[i] >> (24 - 8 * j));
    return digest;
}

Sha1::Digest Sha1::of(const uint8_t* data, size_t length) {
    Sha1 sha;
    sha.update(data, length);
    return sha.finish();
}

}  // namespace platform
