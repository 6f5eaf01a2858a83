#include "ScriptedCamera.h"

#include <libusb.h>

#include <algorithm>
#include <type_traits>

#include "ScriptedUsb.h"

namespace fuzz {

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) { return le16(p) | (static_cast<uint32_t>(le16(p + 2)) << 16); }
uint64_t le64(const uint8_t* p) { return le32(p) | (static_cast<uint64_t>(le32(p + 4)) << 32); }

namespace {

void put16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
    v[at] = static_cast<uint8_t>(x);
    v[at + 1] = static_cast<uint8_t>(x >> 8);
}

SentCommand decode(const uint8_t* p, int len) {
    SentCommand c;
    if (len < 12) return c;
    const uint32_t prefix = le32(p);
    c.commandId = le16(p + 6);
    c.requestId = le16(p + 10);
    const uint16_t length = le16(p + 8);
    c.wellFormed = prefix == kU3vcPrefix && le16(p + 4) == 0x4000 && length == len - 12;
    if (len >= 20) c.address = le64(p + 12);
    if (c.commandId == 0x0800 && len == 24) c.readLength = le16(p + 22);
    if (c.commandId == 0x0802 && len >= 20) c.data.assign(p + 20, p + len);
    return c;
}

}  // namespace

ScriptedCamera::ScriptedCamera(FuzzInput& input, bool writtenLength)
    : in_(input), writtenLength_(writtenLength) {
    UsbScript& s = usbScript();
    s.bulkOut = [this](uint8_t, const uint8_t* data, int len) {
        commands.push_back(decode(data, len));
        return len;
    };
    s.bulkIn = [this](uint8_t, uint8_t* buf, int len, unsigned timeoutMs) {
        return answer(buf, len, timeoutMs);
    };
}

std::vector<uint8_t> ScriptedCamera::echo() {
    std::vector<uint8_t> a(12);
    const SentCommand last = commands.empty() ? SentCommand{} : commands.back();
    a[0] = 'U', a[1] = '3', a[2] = 'V', a[3] = 'C';
    if (last.commandId == 0x0800) {
        put16(a, 6, 0x0801);
        put16(a, 8, last.readLength);
        a.resize(12 + last.readLength);
        if (memory) memory(last.address, a.data() + 12, last.readLength);
        else in_.take(a.data() + 12, last.readLength);
    } else {
        put16(a, 6, 0x0803);
        if (writtenLength_) {
            put16(a, 8, 4);
            a.resize(16);
            put16(a, 14, static_cast<uint16_t>(last.data.size()));
        }
    }
    put16(a, 10, last.requestId);
    return a;
}

// Answers are recorded in order, so those of one command are a contiguous run.
std::vector<const Answer*> ScriptedCamera::answersOf(size_t k) const {
    const auto run = std::equal_range(answers.begin(), answers.end(), k + 1, [](const auto& x, const auto& y) {
        if constexpr (std::is_same_v<std::decay_t<decltype(x)>, Answer>) return x.afterCommands < y;
        else return x < y.afterCommands;
    });
    std::vector<const Answer*> out;
    for (auto it = run.first; it != run.second; ++it) out.push_back(&*it);
    return out;
}

int ScriptedCamera::answer(uint8_t* buf, int len, unsigned timeoutMs) {
    Answer rec;
    rec.afterCommands = commands.size();
    rec.asked = len;
    rec.timeoutMs = timeoutMs;
    std::vector<uint8_t> bytes;
    int error = 0;
    if (in_.exhausted()) {
        error = LIBUSB_ERROR_TIMEOUT;
    } else {
        switch (in_.u8() % 5) {
            case 0:
                bytes.resize(in_.u16());
                in_.take(bytes.data(), bytes.size());
                break;
            case 1:
                bytes = echo();
                break;
            case 2: {
                const uint8_t field = in_.u8() % 6;
                const uint16_t value = in_.u16();
                bytes = echo();
                if (field == 0) put16(bytes, 0, value);
                else if (field == 5) bytes.resize(std::min<size_t>(bytes.size(), 12 + value % 32));
                else put16(bytes, 2 + 2 * field, value);
                break;
            }
            case 3: {
                const uint16_t wait = in_.u16();
                const uint8_t cut = in_.u8() % 5;
                bytes = echo();
                bytes.resize(16);
                put16(bytes, 4, 0);
                put16(bytes, 6, 0x0805);
                put16(bytes, 8, 4);
                put16(bytes, 12, 0);
                put16(bytes, 14, wait);
                bytes.resize(12 + cut);
                break;
            }
            default: {
                static const int errors[] = {LIBUSB_ERROR_TIMEOUT, LIBUSB_ERROR_PIPE,
                                             LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_IO};
                error = errors[in_.u8() % 4];
                break;
            }
        }
        // A device that sends more than was asked for overflows the transfer.
        if (error == 0 && bytes.size() > static_cast<size_t>(len)) error = LIBUSB_ERROR_OVERFLOW;
    }
    if (error == 0) {
        std::copy(bytes.begin(), bytes.end(), buf);
        rec.result = static_cast<int>(bytes.size());
        rec.bytes = std::move(bytes);
    } else {
        rec.result = error;
    }
    answers.push_back(std::move(rec));
    return answers.back().result;
}

}  // namespace fuzz
