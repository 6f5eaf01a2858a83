// Reading the description file (ReadXml): the manifest table address, the table, the
// file in chunks with retries, and its unzipping when the manifest says so. The camera's
// memory comes from the input, and so does the way it answers each read.
// Input: u16 the channel's next request id, u64 manifest table address, 72 table bytes, u16 n and n file bytes (placed at the
// address the table gives), then the acknowledge script of ScriptedCamera.h.
#include <memory>
#include <vector>

#include "control/DescriptionFile.h"
#include "ScriptedCamera.h"
#include "ScriptedUsb.h"

using namespace fuzz;

namespace {

bool verbose() {
    static const bool on = std::getenv("FUZZ_VERBOSE") != nullptr;
    return on;
}

int dropMessage(uint8_t, const char*) { return 0; }

struct Memory {
    uint64_t tableAddress = 0;
    uint8_t table[72] = {};
    std::vector<uint8_t> file;
    uint64_t fileAddress() const { return le64(table + 16); }

    uint8_t at(uint64_t a) const {
        if (a >= 0x1D0 && a < 0x1D8) return static_cast<uint8_t>(tableAddress >> (8 * (a - 0x1D0)));
        if (a - tableAddress < sizeof table) return table[a - tableAddress];
        if (a - fileAddress() < file.size()) return file[a - fileAddress()];
        return 0;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    resetUsbScript();
    const uint16_t requestId = in.u16();
    Memory mem;
    mem.tableAddress = in.u64();
    in.take(mem.table, sizeof mem.table);
    mem.file.resize(in.u16());
    in.take(mem.file.data(), mem.file.size());

    tessoral::DeviceHandle device;
    device.UsbHandle = scriptedHandle();
    device.ControlInEndpoint = 0x81;
    device.ControlOutEndpoint = 0x01;
    device.LogMask = 7;
    device.LogCallback = dropMessage;
    auto control = std::make_unique<tessoral::U3V_Control>(&device);
    control->bControlOpen = 1;
    control->nTimeout = 200;
    control->nRequestId = requestId;

    ScriptedCamera cam(in, false);
    cam.memory = [&mem](uint64_t address, uint8_t* out, size_t n) {
        for (size_t i = 0; i < n; ++i) out[i] = mem.at(address + i);
    };

    uint8_t* const untouched = reinterpret_cast<uint8_t*>(&mem);
    uint8_t* buffer = untouched;
    uint32_t xmlSize = 0xDEADBEEF;
    const uint16_t s = tessoral::ReadXml(*control, &buffer, &xmlSize, 0);
    if (verbose())
        std::fprintf(stderr, "ReadXml: %04X, %zu commands, %zu answers\n", s, cam.commands.size(),
                     cam.answers.size());

    // The table the library went by is the one the camera's acknowledge carried (once the
    // chunk reads began, that read was accepted).
    uint8_t table[72];
    std::memcpy(table, mem.table, sizeof table);
    if (cam.commands.size() > 2) std::memcpy(table, cam.answersOf(1).back()->bytes.data() + 12, sizeof table);
    const uint64_t fileAddress = le64(table + 16), fileSize = le64(table + 24);

    // Chunk reads never go beyond the file's last word.
    for (size_t k = 2; k < cam.commands.size(); ++k) {
        const SentCommand& c = cam.commands[k];
        FUZZ_CHECK(c.commandId == 0x0800 && c.readLength > 0 && c.readLength <= 256,
                   "chunk of %u bytes", c.readLength);
        FUZZ_CHECK(c.address - fileAddress + c.readLength <= ((fileSize & 0xFFFFFFFF) + 3) / 4 * 4,
                   "chunk at %llx beyond the file", static_cast<unsigned long long>(c.address));
    }

    if (s != 0) {
        FUZZ_CHECK(buffer == untouched && xmlSize == 0xDEADBEEF, "failure handed out a buffer");
        return 0;
    }
    FUZZ_CHECK(buffer == control->pXmlBuffer.get() && xmlSize == control->nXmlSize,
               "the buffer handed out is not the channel's");
    // The file as the accepted acknowledges delivered it: a chunk read was accepted when the
    // next one moved on (a refused one is read again at the same address).
    const uint32_t fileBytes = static_cast<uint32_t>(fileSize);
    std::vector<uint8_t> delivered(size_t{fileBytes} + 3);
    std::vector<bool> filled(delivered.size());
    for (size_t k = 2; k < cam.commands.size(); ++k) {
        const SentCommand& c = cam.commands[k];
        if (k + 1 < cam.commands.size() && cam.commands[k + 1].address == c.address) continue;
        const Answer& a = *cam.answersOf(k).back();
        FUZZ_CHECK(a.result == c.readLength + 12, "accepted chunk of %d bytes", a.result);
        const uint64_t offset = c.address - fileAddress;
        for (size_t i = 0; i < c.readLength; ++i) {
            delivered[offset + i] = a.bytes[12 + i];
            filled[offset + i] = true;
        }
    }
    for (uint32_t i = 0; i < fileBytes; ++i) FUZZ_CHECK(filled[i], "byte %u never read", i);
    delivered.resize(fileBytes);

    const bool zipped = (le32(table + 12) & 0x0400) != 0;
    if (!zipped) {
        FUZZ_CHECK(xmlSize == fileBytes, "size %u of %u", xmlSize, fileBytes);
        FUZZ_CHECK(std::memcmp(buffer, delivered.data(), xmlSize) == 0, "not the camera's bytes");
        return 0;
    }
    // Unpacked from exactly the bytes the camera sent.
    std::unique_ptr<uint8_t[]> expected;
    uint32_t expectedSize = 0;
    FUZZ_CHECK(tessoral::unzipFirstMember(delivered.data(), delivered.size(), expected,
                                          expectedSize) == 0,
               "unzipped what does not unzip");
    FUZZ_CHECK(expectedSize == xmlSize && std::memcmp(expected.get(), buffer, xmlSize) == 0,
               "unzipped text differs");
    FUZZ_CHECK(buffer[xmlSize] == 0, "no terminator");
    return 0;
}
