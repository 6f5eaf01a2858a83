// A camera's control pipes played from a fuzz input, with a record of every command the
// library sent and every acknowledge it was given. Packets are decoded here on their own,
// not with the library's headers, so that a target's checks do not share its mistakes.
//
// Acknowledge script, one entry per IN transfer, each starting with a mode byte:
//   0 raw:      u16 n, then n bytes (more than the library asked for overflows)
//   1 echo:     a good acknowledge of the last command; a read's data comes from the input
//               (or from the camera's memory, when it has one)
//   2 bent:     u8 field, u16 value, then as echo with that field set (0 prefix low half,
//               1 status, 2 command id, 3 length field, 4 request id, 5 cut to value % 32
//               bytes after the header)
//   3 pending:  u16 time-out, u8 cut: a pending acknowledge of 12 + cut % 5 bytes
//   4 error:    u8 which: the transfer fails (time-out, stall, gone, I/O error)
// An input used up answers nothing more: every further transfer times out.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "FuzzInput.h"

namespace fuzz {

constexpr uint32_t kU3vcPrefix = 0x43563355;

struct SentCommand {
    bool wellFormed = false;  // prefix, flags and length field as the protocol wants
    uint16_t commandId = 0;
    uint16_t requestId = 0;
    uint64_t address = 0;
    uint16_t readLength = 0;           // read commands
    std::vector<uint8_t> data;         // write commands
};

struct Answer {  // one IN transfer on the control pipe
    size_t afterCommands = 0;  // commands sent before it: it belongs to command n - 1
    int asked = 0;            // bytes the library asked for
    unsigned timeoutMs = 0;   // time-out it gave
    int result = 0;           // bytes delivered, or a libusb error
    std::vector<uint8_t> bytes;
};

class ScriptedCamera {
public:
    // Installs itself as the USB script; writtenLength: echoed write acks carry the
    // written-length field.
    ScriptedCamera(FuzzInput& input, bool writtenLength);

    std::vector<SentCommand> commands;
    std::vector<Answer> answers;

    // The answers read for command k, in order (none for a command that failed to go out).
    std::vector<const Answer*> answersOf(size_t k) const;
    // When set, echoed read acks carry the camera's memory instead of input bytes.
    std::function<void(uint64_t address, uint8_t* out, size_t n)> memory;

private:
    int answer(uint8_t* buf, int len, unsigned timeoutMs);
    std::vector<uint8_t> echo();

    FuzzInput& in_;
    bool writtenLength_;
};

uint16_t le16(const uint8_t* p);
uint32_t le32(const uint8_t* p);
uint64_t le64(const uint8_t* p);

}  // namespace fuzz
