// One transfer of the event pipe, as the event worker decodes it before calling back.
#include <memory>

#include "FuzzInput.h"
#include "event/EventPackets.h"

using fuzz::leN;

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
        const bool complete = size >= 24 && leN(p, 4) == 0x45563355 && leN(p + 6, 2) == 0x0C00 &&
                              leN(p + 8, 2) >= 12 && size >= 12u + leN(p + 8, 2);
        FUZZ_CHECK(!complete, "complete event command of %zu bytes refused", size);
        return 0;
    }
    // Only a complete "U3VE" event command, with every field from its place in it.
    FUZZ_CHECK(size >= 24, "accepted %zu bytes", size);
    FUZZ_CHECK(leN(p, 4) == 0x45563355 && leN(p + 6, 2) == 0x0C00, "accepted another packet");
    const uint16_t length = leN(p + 8, 2);
    FUZZ_CHECK(length >= 12 && size >= 12u + length, "length %u in %zu bytes", length, size);
    FUZZ_CHECK(m.eventId == leN(p + 14, 2) && m.timestamp == leN(p + 16, 8), "fields misplaced");
    FUZZ_CHECK(m.dataLength == length - 12u, "data length %u of %u", m.dataLength, length);
    const size_t n = m.dataLength < 8 ? m.dataLength : 8;
    FUZZ_CHECK(m.data == leN(p + 24, n), "data is not the first %zu bytes sent", n);
    return 0;
}
