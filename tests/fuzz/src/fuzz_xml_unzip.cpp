// Unpacking a zipped description file: the bytes a camera's memory held, as they are.
#include <memory>

#include "control/DescriptionFile.h"
#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the bytes received on the heap, so that reading past them is caught.
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[size == 0 ? 1 : size]);
    if (size != 0) std::memcpy(bytes.get(), data, size);

    std::unique_ptr<uint8_t[]> out;
    uint32_t outSize = 0xDEADBEEF;
    const uint16_t s = tessoral::unzipFirstMember(bytes.get(), size, out, outSize);
    if (s != 0) {
        FUZZ_CHECK(s == U3V_ERR_XML_UNZIP || s == U3V_ERR_XML_EMPTY, "status %04X", s);
        FUZZ_CHECK(!out && outSize == 0xDEADBEEF, "a failed unzip handed something out");
        return 0;
    }
    FUZZ_CHECK(out != nullptr, "success without a buffer");
    FUZZ_CHECK(outSize <= tessoral::kMaxUnzippedXmlSize, "unpacked %u bytes", outSize);
    // Text users rely on the terminator right behind the data.
    FUZZ_CHECK(out[outSize] == 0, "no terminator behind %u bytes", outSize);
    return 0;
}
