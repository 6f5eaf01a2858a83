// One transfer of the event pipe, as the event worker decodes it before calling back.
#include <memory>

#include "FuzzInput.h"
#include "event/EventPackets.h"

namespace {
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint64_t leN(const uint8_t* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = n; i-- > 0;) v = (v << 8) | p[i];
    return v;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the bytes received, on the heap: reading past them is caught.
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[size == 0 ? 1 : size]);
    if (size != 0) std::memcpy(bytes.get(), data, size);
    const uint8_t* p = bytes.get();

    tessoral::event::Message m;
    m.eventId = 0x1234;
    m.data = 0x55;
    const bool ok = tessoral::event::decode(p, size, m);
    if (!ok) {
        // Nothing of a refused transfer reaches the callback.
        FUZZ_CHECK(m.eventId == 0x1234 && m.data == 0x55, "a refused transfer changed the message");
        // A complete event command is never refused.
        const bool complete = size >= 24 && leN(p, 4) == 0x45563355 && le16(p + 6) == 0x0C00 &&
                              le16(p + 8) >= 12 && size >= 12u + le16(p + 8);
        FUZZ_CHECK(!complete, "complete event command of %zu bytes refused", size);
        return 0;
    }
    // Only a complete "U3VE" event command, with every field from its place in it.
    FUZZ_CHECK(size >= 24, "accepted %zu bytes", size);
    FUZZ_CHECK(leN(p, 4) == 0x45563355 && le16(p + 6) == 0x0C00, "accepted another packet");
    const uint16_t length = le16(p + 8);
    FUZZ_CHECK(length >= 12 && size >= 12u + length, "length %u in %zu bytes", length, size);
    FUZZ_CHECK(m.eventId == le16(p + 14) && m.timestamp == leN(p + 16, 8), "fields misplaced");
    FUZZ_CHECK(m.dataLength == length - 12u, "data length %u of %u", m.dataLength, length);
    const size_t n = m.dataLength < 8 ? m.dataLength : 8;
    FUZZ_CHECK(m.data == leN(p + 24, n), "data is not the first %zu bytes sent", n);
    return 0;
}
