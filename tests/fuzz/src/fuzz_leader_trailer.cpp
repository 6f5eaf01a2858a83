// One transfer of the stream pipe, checked as the acquisition engine checks a leader and
// a trailer.
#include <memory>

#include "FuzzInput.h"
#include "stream/StreamPackets.h"

using fuzz::leN;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the bytes received, on the heap: reading past them is caught.
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[size == 0 ? 1 : size]);
    if (size != 0) std::memcpy(bytes.get(), data, size);
    const uint8_t* p = bytes.get();
    using namespace tessoral::stream;

    Leader leader;
    const LeaderCheck check = decodeLeader(p, size, leader);
    const bool magic = size >= 4 && leN(p, 4) == 0x4C563355;  // "U3VL"
    switch (check) {
        case LeaderCheck::WrongMagic:
            FUZZ_CHECK(!magic, "leader magic refused");
            break;
        case LeaderCheck::NotAnImage:
            FUZZ_CHECK(magic, "no magic, yet judged as a leader");
            FUZZ_CHECK(size < 50 || leN(p + 18, 2) != 1, "image leader of %zu bytes refused", size);
            FUZZ_CHECK(leader.nSizeX == 0 && leader.nBlockId == 0, "fields of a refused leader");
            break;
        case LeaderCheck::Ok:
            FUZZ_CHECK(magic && size >= 50 && leN(p + 18, 2) == 1, "accepted %zu bytes", size);
            FUZZ_CHECK(leader.nBlockId == leN(p + 8, 8) && leader.nTimestamp == leN(p + 20, 8) &&
                           leader.nPixelFormat == leN(p + 28, 4) && leader.nSizeX == leN(p + 32, 4) &&
                           leader.nSizeY == leN(p + 36, 4) && leader.nOffsetX == leN(p + 40, 4) &&
                           leader.nOffsetY == leN(p + 44, 4) && leader.nPaddingX == leN(p + 48, 2),
                       "leader fields misplaced");
            break;
    }

    Trailer trailer;
    trailer.nStatus = 0x77;
    const bool whole = size >= 18 && leN(p, 4) == 0x54563355;  // "U3VT"
    if (decodeTrailer(p, size, trailer)) {
        FUZZ_CHECK(whole, "accepted a trailer of %zu bytes", size);
        FUZZ_CHECK(trailer.nBlockId == leN(p + 8, 8) && trailer.nStatus == leN(p + 16, 2),
                   "trailer fields misplaced");
    } else {
        FUZZ_CHECK(!whole, "whole trailer refused");
        FUZZ_CHECK(trailer.nStatus == 0x77, "a refused trailer changed the record");
    }
    return 0;
}
