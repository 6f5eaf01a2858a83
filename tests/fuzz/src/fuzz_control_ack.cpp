// The control transactions (ReadMem, WriteMem, and the bootstrap reads of
// OpenControlInterface) against a camera that answers anything: short, long, bent and
// pending acknowledges, failed transfers. The camera's transfer limits come from the input
// too. Input: u8 flags, then either the opening's acknowledges or the channel's state,
// then operations (u8 kind: bit 0 write, bit 7 long; u16 length; u64 address), each followed by its acknowledges.
#include <cstring>
#include <memory>
#include <vector>

#include "ControlChecks.h"
#include "ScriptedCamera.h"
#include "ScriptedUsb.h"
#include "control/U3V_Control.h"

using namespace fuzz;
using tessoral::U3V_Control;

namespace {

bool verbose() {
    static const bool on = std::getenv("FUZZ_VERBOSE") != nullptr;
    return on;
}

int dropMessage(uint8_t, const char*) { return 0; }

// The bytes a write sends: one pattern for every operation, made once, so that checking
// a long write costs a memcmp per piece rather than a loop per byte.
const uint8_t* writePattern() {
    static const std::vector<uint8_t> pattern = [] {
        std::vector<uint8_t> p(65536);
        for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 7 + i / 251);
        return p;
    }();
    return pattern.data();
}

void readOp(U3V_Control& control, ScriptedCamera& cam, uint64_t address, uint16_t length) {
    constexpr uint8_t kUntouched = 0xA5;
    // Exactly length bytes on the heap: writing past them is caught.
    std::unique_ptr<uint8_t[]> dest(new uint8_t[length == 0 ? 1 : length]);
    std::fill_n(dest.get(), length, kUntouched);
    const size_t first = cam.commands.size();
    const uint16_t id = control.nRequestId;
    const uint16_t s = tessoral::ReadMem(control, address, length, dest.get());
    if (verbose()) std::fprintf(stderr, "ReadMem %u: %04X\n", length, s);
    checkTransactions(cam, first, id, s);

    if (s != 0) {
        static const std::vector<uint8_t> untouched(65536, kUntouched);
        FUZZ_CHECK(std::memcmp(dest.get(), untouched.data(), length) == 0, "a failed read changed the destination");
        return;
    }
    // The pieces cover the range in order and the data is what the acks carried.
    size_t done = 0;
    for (size_t k = first; k < cam.commands.size(); ++k) {
        const SentCommand& c = cam.commands[k];
        FUZZ_CHECK(c.commandId == 0x0800 && c.address == address + done, "piece %zu at %llx",
                   k - first, static_cast<unsigned long long>(c.address));
        FUZZ_CHECK(c.readLength <= length - done, "piece beyond the range");
        FUZZ_CHECK(c.readLength != 0 || length == 0, "empty piece");
        done += c.readLength;
    }
    FUZZ_CHECK(done == length, "read %zu of %u bytes", done, length);
    size_t at = 0;
    for (size_t k = first; k < cam.commands.size(); ++k) {
        const Answer& a = *cam.answersOf(k).back();  // the accepted one
        const size_t n = a.bytes.size() - 12;
        FUZZ_CHECK(at + n <= length && std::memcmp(dest.get() + at, a.bytes.data() + 12, n) == 0,
                   "bytes from %zu are not the camera's", at);
        at += n;
    }
}

void writeOp(U3V_Control& control, ScriptedCamera& cam, uint64_t address, uint16_t length) {
    // Exactly length bytes on the heap: reading past them is caught.
    std::unique_ptr<uint8_t[]> source(new uint8_t[length == 0 ? 1 : length]);
    std::memcpy(source.get(), writePattern(), length);
    const size_t first = cam.commands.size();
    const uint16_t id = control.nRequestId;
    const uint16_t s = tessoral::WriteMem(control, address, length, source.get());
    if (verbose()) std::fprintf(stderr, "WriteMem %u: %04X\n", length, s);
    checkTransactions(cam, first, id, s);

    // Every piece carries the caller's bytes for its address; on success all of them.
    size_t done = 0;
    for (size_t k = first; k < cam.commands.size(); ++k) {
        const SentCommand& c = cam.commands[k];
        FUZZ_CHECK(c.commandId == 0x0802 && c.address == address + done, "piece at %llx",
                   static_cast<unsigned long long>(c.address));
        FUZZ_CHECK(c.data.size() <= length - done, "piece beyond the data");
        FUZZ_CHECK(c.data.empty() || std::memcmp(c.data.data(), source.get() + done, c.data.size()) == 0,
                   "data from byte %zu changed", done);
        done += c.data.size();
    }
    if (s == 0) FUZZ_CHECK(done == length, "wrote %zu of %u bytes", done, length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    resetUsbScript();
    const uint8_t flags = in.u8();

    tessoral::DeviceHandle device;
    device.UsbHandle = scriptedHandle();
    device.ControlInterface = 0;
    device.ControlInEndpoint = 0x81;
    device.ControlOutEndpoint = 0x01;
    device.LogMask = 7;
    device.LogCallback = dropMessage;

    auto control = std::make_unique<U3V_Control>(&device);
    ScriptedCamera cam(in, (flags & 1) != 0);
    if (flags & 2) {
        // The opening reads the camera's limits and response time from its acks.
        const uint16_t s = tessoral::OpenControlInterface(*control);
        if (verbose()) std::fprintf(stderr, "OpenControlInterface: %04X\n", s);
        checkTransactions(cam, 0, 0, s);
        if (s != 0) return 0;
        FUZZ_CHECK(control->bControlOpen == 1, "opened but not open");
    } else {
        control->bControlOpen = 1;
        control->nMaxCommandTransferLength = in.u32();
        control->nMaxAckTransferLength = in.u32();
        control->bWrittenLengthField = (flags & 1) != 0;
        control->nTimeout = in.u16();
        control->nRequestId = in.u16();
    }

    for (int op = 0; op < 8 && !in.exhausted(); ++op) {
        const uint8_t kind = in.u8();
        // Up to three pieces usually; the whole 16-bit range when bit 7 asks for it (every
        // byte of such a range costs time, and they all split alike).
        uint16_t length = in.u16();
        if ((kind & 0x80) == 0) length %= 3 * 1036 + 1;
        const uint64_t address = in.u64();
        if (kind & 1) writeOp(*control, cam, address, length);
        else readOp(*control, cam, address, length);
    }
    return 0;
}
