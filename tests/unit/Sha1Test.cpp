// SHA-1 against the FIPS 180 test vectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/Sha1.h"

namespace {

std::string hex(const platform::Sha1::Digest& d) {
    std::string out;
    char two[3];
    for (uint8_t b : d) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

std::string sha1(const std::string& s) {
    return hex(platform::Sha1::of(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}

}  // namespace

TEST(Sha1, FipsTestVectors) {
    EXPECT_EQ(sha1("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(sha1(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha1(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

// Padding spills into a second block from 56 bytes on; fed in pieces of any size the
// digest must stay that of the whole message.
TEST(Sha1, BlockEdgesWholeAndInPieces) {
    const std::pair<size_t, const char*> known[] = {
        {55, "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {56, "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
        {63, "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
        {64, "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
        {65, "11655326c708d70319be2610e8a57d9a5b959d3b"},
        {119, "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56"},
        {120, "f34c1488385346a55709ba056ddd08280dd4c6d6"},
    };
    for (const auto& [length, digest] : known) {
        const std::string message(length, 'a');
        EXPECT_EQ(sha1(message), digest) << length;
        for (size_t piece : {1u, 3u, 63u, 64u, 100u}) {
            platform::Sha1 sha;
            for (size_t at = 0; at < length; at += piece)
                sha.update(reinterpret_cast<const uint8_t*>(message.data() + at),
                           std::min(piece, length - at));
            EXPECT_EQ(hex(sha.finish()), digest) << length << " in pieces of " << piece;
        }
    }
}
